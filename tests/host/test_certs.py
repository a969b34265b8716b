"""The development CA and localhost certificate of ``certs``: trusted by
Python's ssl and by Chromium, renewed before they expire, keys private."""

import datetime
import os
import shutil
import socket
import ssl
import stat
import subprocess

import pytest

from com_like_host import serve
from com_like_host.certs import CA_DAYS, ensure_certs
from host_support import Live

DAY = datetime.timedelta(days=1)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    files, done = ensure_certs(directory=tmp_path_factory.mktemp("certs"))
    assert len(done) == 2
    return files


def handshake(port, ca, server_hostname):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)     # verifies and checks the name
    context.load_verify_locations(cafile=str(ca))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname=server_hostname) as tls:
            return tls.version()


@pytest.mark.parametrize("name", ["localhost", "127.0.0.1"])
def test_a_client_that_trusts_only_the_ca_accepts_the_host(made, name):
    with serve(certfile=str(made.cert), keyfile=str(made.key)) as h:
        assert h.origin.startswith("https://localhost:")
        assert handshake(h.port, made.ca, name)


@pytest.mark.parametrize("name", ["localhost", "example.com"])
def test_another_ca_or_another_name_is_refused(made, tmp_path, name):
    other, _ = ensure_certs(directory=tmp_path)
    ca = other.ca if name == "localhost" else made.ca
    with serve(certfile=str(made.cert), keyfile=str(made.key)) as h:
        with pytest.raises(ssl.SSLCertVerificationError):
            handshake(h.port, ca, name)


@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
def test_keys_are_private(made):
    for key in (made.key, made.ca_key):
        assert stat.S_IMODE(key.stat().st_mode) == 0o600
    assert stat.S_IMODE(made.ca.parent.stat().st_mode) == 0o700


@pytest.mark.parametrize("made_ago, done, ca_kept", [
    (0, [], True),                                              # fresh: left alone
    (350, ["renewed the certificate"], True),      # leaf within 30 days of its end
    (CA_DAYS - 10, ["renewed the CA", "made a certificate for localhost, 127.0.0.1, ::1"],
     False),                                                    # the CA near its end
])
def test_renews_what_expires_soon(tmp_path, made_ago, done, ca_kept):
    now = datetime.datetime.now(datetime.timezone.utc)
    files, _ = ensure_certs(directory=tmp_path, now=now - made_ago * DAY)
    old_ca, old_cert = files.ca.read_bytes(), files.cert.read_bytes()
    _, did = ensure_certs(directory=tmp_path, now=now)
    assert did == done
    assert (files.ca.read_bytes() == old_ca) == ca_kept
    assert (files.cert.read_bytes() == old_cert) == (not done)
    with serve(certfile=str(files.cert), keyfile=str(files.key)) as h:
        assert handshake(h.port, files.ca, "localhost")


def test_a_certificate_of_another_ca_is_reissued(tmp_path):
    files, _ = ensure_certs(directory=tmp_path)
    old_cert = files.cert.read_bytes()
    ensure_certs(directory=tmp_path / "other")
    shutil.copy(tmp_path / "other" / "ca.pem", files.ca)
    shutil.copy(tmp_path / "other" / "ca-key.pem", files.ca_key)
    _, did = ensure_certs(directory=tmp_path)
    assert did == ["made a certificate for localhost, 127.0.0.1, ::1"]
    assert files.cert.read_bytes() != old_cert


def test_chromium_that_trusts_the_ca_connects_over_wss(made, tmp_path, monkeypatch):
    """Chromium on Linux takes its trust from the NSS database under $HOME;
    a throw-away HOME holds one that trusts the CA, and nothing else is
    relaxed (no --ignore-certificate-errors)."""
    if shutil.which("certutil") is None:
        message = "certutil not found: apt-get install libnss3-tools"
        pytest.fail(message) if os.environ.get("CI") else pytest.skip(message)
    nssdb = tmp_path / ".pki" / "nssdb"
    nssdb.mkdir(parents=True)
    for cmd in (["-N", "--empty-password"],
                ["-A", "-t", "C,,", "-n", "com_like test CA", "-i", str(made.ca)]):
        subprocess.run(["certutil", "-d", "sql:%s" % nssdb] + cmd, check=True,
                       capture_output=True, timeout=60)
    monkeypatch.setenv("HOME", str(tmp_path))
    env = Live(certfile=str(made.cert), keyfile=str(made.key))
    try:
        assert env.host.url.startswith("https://localhost:")
        assert env.host.connected
    finally:
        env.close()

