"""A local development CA and a certificate for localhost, made with the
``cryptography`` library: ``python -m com_like_host certs``.

Excel loads a pane only over https, and the pane's ``wss://`` must be
trusted too. The CA and the certificate live in the config directory's
``certs`` folder, private to the user, keys 0600. The CA may sign only
for localhost and the loopback addresses (name constraints), so that its
key, kept in a user's file, cannot vouch for any other site once the CA
is trusted. Nothing is added to a trust store unless asked (``--install``).
"""

import datetime
import getpass
import ipaddress
import os
import shlex
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from .config import config_dir, private_dir, read_private, write_private

CA_DAYS = 5 * 365
CERT_DAYS = 365             # well under the 825 days macOS accepts for a server certificate
RENEW_WITHIN = datetime.timedelta(days=30)
DNS_NAMES = ("localhost",)
IP_ADDRESSES = ("127.0.0.1", "::1")
NSS_NICKNAME = "com_like_host development CA"
LINUX_CA_FILE = "/usr/local/share/ca-certificates/com_like_host-ca.crt"


@dataclass(frozen=True)
class CertFiles:
    """Where the CA, its key, the localhost certificate and its key are kept."""
    ca: Path
    ca_key: Path
    cert: Path
    key: Path


def cert_files(*, directory: "Path | str | None" = None) -> CertFiles:
    d = Path(directory) if directory is not None else config_dir() / "certs"
    return CertFiles(d / "ca.pem", d / "ca-key.pem", d / "localhost.pem", d / "localhost-key.pem")


def made_pair(*, directory: "Path | str | None" = None) -> "tuple[str, str] | None":
    """(certfile, keyfile) made by ``certs``, or None if they are not there."""
    f = cert_files(directory=directory)
    if f.cert.is_file() and f.key.is_file():
        return str(f.cert), str(f.key)
    return None


def _now():
    return datetime.datetime.now(datetime.timezone.utc)


def expiry_warning(certfile: "Path | str", *, now: "datetime.datetime | None" = None,
                   within: datetime.timedelta = RENEW_WITHIN) -> "str | None":
    """A sentence if ``certfile`` has expired or expires within ``within``."""
    now = now or _now()
    try:
        cert = x509.load_pem_x509_certificate(Path(certfile).read_bytes())
    except (OSError, ValueError) as e:
        return "cannot read certificate %s: %s" % (certfile, e)
    left = cert.not_valid_after_utc - now
    if left <= datetime.timedelta(0):
        return ("certificate %s expired on %s: renew it with `python -m com_like_host certs`"
                % (certfile, cert.not_valid_after_utc.date()))
    if left < within:
        return ("certificate %s expires on %s: renew it with `python -m com_like_host certs`"
                % (certfile, cert.not_valid_after_utc.date()))
    return None


def _new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption()).decode("ascii")


def _cert_pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM).decode("ascii")


def _loopback_names():
    return ([x509.DNSName(n) for n in DNS_NAMES]
            + [x509.IPAddress(ipaddress.ip_address(a)) for a in IP_ADDRESSES])


def _make_ca(now):
    key = _new_key()
    name = x509.Name([
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "com_like_host"),
        x509.NameAttribute(NameOID.COMMON_NAME,
                           "com_like_host development CA (%s)" % getpass.getuser()),
    ])
    permitted = ([x509.DNSName(n) for n in DNS_NAMES]
                 + [x509.IPAddress(ipaddress.ip_network(a)) for a in IP_ADDRESSES])
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=CA_DAYS))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True, crl_sign=True,
                                         encipher_only=False, decipher_only=False),
                           critical=True)
            .add_extension(x509.NameConstraints(permitted_subtrees=permitted,
                                                excluded_subtrees=None), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .sign(key, hashes.SHA256()))
    return cert, key


def _make_cert(ca, ca_key, now):
    key = _new_key()
    not_after = min(now + datetime.timedelta(days=CERT_DAYS), ca.not_valid_after_utc)
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
            .issuer_name(ca.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(_loopback_names()), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=True, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=False,
                                         crl_sign=False, encipher_only=False,
                                         decipher_only=False), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    return cert, key


def _load_pair(cert_path, key_path):
    """(cert, key) if both load and belong together, else None."""
    try:
        cert = x509.load_pem_x509_certificate(cert_path.read_bytes())
        key = serialization.load_pem_private_key(read_private(key_path).encode("ascii"), None)
    except (OSError, ValueError, TypeError):
        return None
    if cert.public_key().public_numbers() != key.public_key().public_numbers():
        return None
    return cert, key


def _fresh(cert, now, within):
    return cert.not_valid_after_utc - now >= within and cert.not_valid_before_utc <= now


def ensure_certs(*, directory: "Path | str | None" = None, force: bool = False,
                 renew_within: datetime.timedelta = RENEW_WITHIN,
                 now: "datetime.datetime | None" = None) -> "tuple[CertFiles, list[str]]":
    """Make the CA and the localhost certificate, or renew whichever is
    missing, damaged or expires within ``renew_within`` (a new CA means a
    new certificate). Returns the files and what was done."""
    now = now or _now()
    files = cert_files(directory=directory)
    if directory is None:
        private_dir(config_dir())
    private_dir(files.ca.parent)
    done = []
    ca = None if force else _load_pair(files.ca, files.ca_key)
    if ca is None or not _fresh(ca[0], now, renew_within):
        done.append("renewed the CA" if ca is not None else "made a CA")
        ca = _make_ca(now)
        write_private(files.ca_key, _key_pem(ca[1]))
        files.ca.write_text(_cert_pem(ca[0]), encoding="ascii")
    leaf = None if done else _load_pair(files.cert, files.key)
    if leaf is not None:
        try:
            leaf[0].verify_directly_issued_by(ca[0])
        except (ValueError, TypeError, InvalidSignature):
            leaf = None
    if leaf is None or not _fresh(leaf[0], now, renew_within):
        done.append("renewed the certificate" if leaf is not None else
                    "made a certificate for %s" % ", ".join(DNS_NAMES + IP_ADDRESSES))
        leaf = _make_cert(ca[0], ca[1], now)
        write_private(files.key, _key_pem(leaf[1]))
        files.cert.write_text(_cert_pem(leaf[0]), encoding="ascii")
    return files, done


def trust_steps(ca: "Path | str") -> "dict[str, list[list[str]]]":
    """The commands that make this user's system trust ``ca``, per platform
    (``win32``, ``darwin``, ``linux``)."""
    ca = str(ca)
    return {
        "win32": [["certutil", "-user", "-addstore", "Root", ca]],
        "darwin": [["security", "add-trusted-cert", "-r", "trustRoot", "-k",
                    os.path.expanduser("~/Library/Keychains/login.keychain-db"), ca]],
        "linux": [["sudo", "cp", ca, LINUX_CA_FILE], ["sudo", "update-ca-certificates"],
                  # Chromium and Firefox on Linux read their own NSS database
                  ["certutil", "-d", "sql:" + os.path.expanduser("~/.pki/nssdb"), "-A",
                   "-t", "C,,", "-n", NSS_NICKNAME, "-i", ca]],
    }


def _platform():
    return "linux" if sys.platform.startswith("linux") else sys.platform


def _show(cmd):
    return subprocess.list2cmdline(cmd) if _platform() == "win32" else shlex.join(cmd)


def install_ca(ca: "Path | str") -> None:
    """Run this platform's trust steps for ``ca`` (asked for by --install)."""
    steps = trust_steps(ca).get(_platform())
    if steps is None:
        raise RuntimeError("no known trust store on %s: trust %s by hand" % (sys.platform, ca))
    for cmd in steps:
        if cmd[0] == "sudo" and (os.name == "posix" and os.geteuid() == 0):
            cmd = cmd[1:]
        if cmd[0] == "certutil" and _platform() == "linux" and not (
                shutil.which("certutil") and Path(cmd[2][4:]).is_dir()):
            print("skipped (no NSS database or certutil): %s" % _show(cmd))
            continue
        print("running: %s" % _show(cmd), flush=True)
        subprocess.run(cmd, check=True)


def main(*, install: bool = False, force: bool = False) -> int:
    files, done = ensure_certs(force=force)
    summary = "; ".join(done)
    print(summary[:1].upper() + summary[1:] + "." if done else "The CA and the certificate are "
          "up to date.")
    print("CA:          %s\ncertificate: %s\nkey:         %s" % (files.ca, files.cert, files.key))
    print("`serve` and `run` now use this certificate by default (--no-tls to opt out).")
    if install:
        try:
            install_ca(files.ca)
        except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
            print("error: could not install the CA: %s" % e, file=sys.stderr)
            return 1
        print("The CA is trusted now; restart Excel (and browsers) to pick it up.")
        return 0
    if any(d.startswith(("made a CA", "renewed the CA")) for d in done) or force:
        print("\nTrust the CA once (re-run with --install to do it here), then restart Excel:")
    else:
        print("\nIf you have not yet trusted the CA, do it once (or re-run with --install):")
    names = {"win32": "Windows", "darwin": "macOS", "linux": "Linux"}
    for plat, steps in trust_steps(files.ca).items():
        mark = "  (this machine)" if plat == _platform() else ""
        print("  %s%s:" % (names[plat], mark))
        for cmd in steps:
            print("    %s" % (subprocess.list2cmdline(cmd) if plat == "win32" else shlex.join(cmd)))
    return 0
