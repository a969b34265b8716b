"""What the host refuses and protects, over real sockets: the token, the
Host header, the files it serves, private files, and faults of the network
and of the machine that must not take it down."""

import concurrent.futures
import http.client
import logging
import os
import socket
import ssl
import stat
import subprocess
import sys
import textwrap
import threading
import xml.etree.ElementTree as ET

import pytest

import com_like
from com_like_host import config, serve, server
from host_support import WireAddin, closes_while_sending, make_cert, wait_until


def request(h, path, headers=(), host=None, method="GET"):
    """(status, body) of one request; ``host`` replaces the Host header,
    ``headers`` are sent as given (repeats included)."""
    if h.scheme == "https":
        conn = http.client.HTTPSConnection("127.0.0.1", h.port, timeout=5,
                                           context=ssl._create_unverified_context())
    else:
        conn = http.client.HTTPConnection("127.0.0.1", h.port, timeout=5)
    conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    conn.putheader("Host", host if host is not None else "127.0.0.1:%d" % h.port)
    for k, v in headers:
        conn.putheader(k, v)
    conn.endheaders()
    resp = conn.getresponse()
    body = resp.read()
    conn.close()
    return resp.status, body


UPGRADE = [("Upgrade", "websocket"), ("Connection", "Upgrade"), ("Sec-WebSocket-Version", "13"),
           ("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==")]


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_cert(tmp_path_factory.mktemp("tls"))


# ---------------------------------------------------------------- the token

def test_manifest_is_served_only_with_the_token(tls):
    with serve(certfile=tls[0], keyfile=tls[1]) as h:
        assert request(h, "/manifest.xml")[0] == 403
        assert request(h, "/manifest.xml?token=wrong")[0] == 403
        code, body = request(h, "/manifest.xml?token=" + h.token)
        assert code == 200 and h.manifest_url.endswith("/manifest.xml?token=" + h.token)
    ns = {"o": "http://schemas.microsoft.com/office/appforoffice/1.1"}
    root = ET.fromstring(body)
    assert root.find("o:DefaultSettings/o:SourceLocation", ns).get("DefaultValue") == h.url
    hi_res = root.find("o:HighResolutionIconUrl", ns).get("DefaultValue")
    assert hi_res.endswith("/icon-64.png")
    order = [el.tag.split("}")[1] for el in root]
    assert order.index("Id") < order.index("Hosts") < order.index("DefaultSettings") \
        < order.index("Permissions")


def test_plain_http_host_has_no_manifest(host, tmp_path):
    code, body = request(host, "/manifest.xml?token=" + host.token)
    assert code == 404 and b"https" in body
    with pytest.raises(config.ManifestError, match="https"):
        host.write_manifest(tmp_path / "manifest.xml")


@pytest.mark.parametrize("path, size", [("/icon-32.png", 32), ("/icon-64.png", 64)])
def test_icons_have_the_sizes_the_manifest_names(host, path, size):
    code, body = request(host, path)
    assert code == 200 and body[16:24] == size.to_bytes(4, "big") * 2


def test_token_stays_out_of_the_library_log(wire, host, caplog):
    with caplog.at_level(logging.DEBUG, logger="com_like_host"):
        second = WireAddin(host)          # a full handshake, logged at DEBUG
        assert wait_until(lambda: host.connected)
        request(host, "/manifest.xml?token=" + host.token)
        second.close()
    logged = [r.getMessage() for r in caplog.records]
    assert any("/ws?token=<redacted>" in m for m in logged)
    assert not any(host.token in m for m in logged)


# ---------------------------------------------------------------- Host header, files

@pytest.mark.parametrize("path, headers", [
    ("/taskpane.html", ()),
    ("/frames.mjs", ()),
    ("/", ()),
    ("/manifest.xml?token=T", ()),
    ("/ws?token=T", UPGRADE),
])
@pytest.mark.parametrize("host_header, status", [
    ("rebind.attacker.example:{port}", 421),
    ("127.0.0.1.attacker.example:{port}", 421),
    ("localhost:1", 421),
    ("localhost:{port}", None),
    ("127.0.0.1:{port}", None),
    ("[::1]:{port}", None),
])
def test_only_the_hosts_own_names_are_served(host, path, headers, host_header, status):
    headers = list(headers) + [("Origin", host.origin)]
    code, _ = request(host, path.replace("T", host.token), headers,
                      host=host_header.format(port=host.port))
    if status is None:
        assert code != 421
    else:
        assert code == status


def test_configured_host_names_are_served():
    with serve(allowed_hosts=["excel.example.org"]) as h:
        assert request(h, "/taskpane.html", host="excel.example.org")[0] == 200
        assert request(h, "/taskpane.html", host="excel.example.org:%d" % h.port)[0] == 200
        assert request(h, "/taskpane.html", host="other.example.org")[0] == 421


def test_only_the_panes_files_are_served(tmp_path):
    (tmp_path / "office.js").write_text("globalThis.Office = {};")
    (tmp_path / "helper.js").write_text("1;")
    (tmp_path / "notes.txt").write_text("private")
    (tmp_path / ".hidden.js").write_text("1;")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "deep.js").write_text("1;")
    with serve(office_js=tmp_path / "office.js") as h:
        served = {p: request(h, p)[0] for p in (
            "/office/office.js", "/office/helper.js", "/office/notes.txt", "/office/.hidden.js",
            "/office/sub/deep.js", "/office/sub%2fdeep.js", "/manifest.xml.tmpl",
            "/taskpane.html", "/executor.mjs", "/" + "a" * 300 + ".mjs", "/manifest.xml")}
    assert served == {"/office/office.js": 200, "/office/helper.js": 200,
                      "/office/notes.txt": 404, "/office/.hidden.js": 404,
                      "/office/sub/deep.js": 404, "/office/sub%2fdeep.js": 404,
                      "/manifest.xml.tmpl": 404, "/taskpane.html": 200, "/executor.mjs": 200,
                      "/" + "a" * 300 + ".mjs": 404, "/manifest.xml": 403}


# ---------------------------------------------------------------- bad requests, server errors

@pytest.mark.parametrize("path, headers, status", [
    ("/taskpane.html", [("Host", "127.0.0.1:{port}")], 400),        # two Host headers
    ("/ws?token=T", UPGRADE + [("Origin", "{origin}"), ("Origin", "{origin}")], 400),
    ("/" + "x" * 300, [], 404),
    ("/office/" + "x" * 300 + ".js", [], 404),
])
def test_bad_requests_get_a_4xx(host, path, headers, status):
    headers = [(k, v.format(port=host.port, origin=host.origin)) for k, v in headers]
    assert request(host, path.replace("T", host.token), headers)[0] == status


def test_a_real_server_error_is_logged(host, caplog, monkeypatch):
    def broken(*args):
        raise OSError("disk gone")
    monkeypatch.setattr(host, "_static", broken)
    with caplog.at_level(logging.ERROR, logger="com_like_host"):
        assert request(host, "/taskpane.html?token=" + host.token)[0] == 500
    record, = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert record.exc_info and "disk gone" in str(record.exc_info[1])
    assert host.token not in record.getMessage()


# ---------------------------------------------------------------- private files

@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
def test_files_holding_the_token_are_private(tmp_path, tls):
    folder = tmp_path / "cfg"
    token = config.stable_token(folder / "token")
    assert config.stable_token(folder / "token") == token and len(token) >= 24
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    assert stat.S_IMODE((folder / "token").stat().st_mode) == 0o600
    with serve(token=token, certfile=tls[0], keyfile=tls[1]) as h:
        target = tmp_path / "manifest.xml"
        target.write_text("old")
        target.chmod(0o644)
        h.write_manifest(target)
    assert stat.S_IMODE(target.stat().st_mode) == 0o600 and token in target.read_text()


@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
def test_loose_token_file_and_folder_are_repaired_with_a_warning(tmp_path):
    folder = tmp_path / "cfg"
    first = config.stable_token(folder / "token")
    (folder / "token").chmod(0o644)
    folder.chmod(0o755)
    with pytest.warns(RuntimeWarning) as warned:
        assert config.stable_token(folder / "token") == first
    assert len(warned) == 2
    assert stat.S_IMODE((folder / "token").stat().st_mode) == 0o600
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="needs root to chown")
def test_token_file_of_another_user_is_refused(tmp_path):
    folder = tmp_path / "cfg"
    config.stable_token(folder / "token")
    os.chown(folder / "token", 65534, 65534)
    with pytest.raises(PermissionError, match="another user"):
        config.stable_token(folder / "token")


# ---------------------------------------------------------------- a peer that stops reading

class StalledPane:
    """A pane that says hello and then never reads again: a raw socket
    with a small receive buffer, the handshake done by hand."""

    def __init__(self, h):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(5)
        self.sock.connect(("127.0.0.1", h.port))
        lines = ["GET /ws?token=%s HTTP/1.1" % h.token, "Host: 127.0.0.1:%d" % h.port,
                 "Origin: %s" % h.origin] + ["%s: %s" % kv for kv in UPGRADE[:4]]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            reply += self.sock.recv(1)
        assert reply.startswith(b"HTTP/1.1 101")
        self.send_text(b'{"kind": "hello", "host": "stalled"}')

    def send_text(self, payload):
        mask = b"\x01\x02\x03\x04"
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(bytes([0x81, 0x80 | len(payload)]) + mask + masked)

    def close(self):
        self.sock.close()


def test_a_pane_that_stops_reading_is_cut_off_and_replaced():
    with serve(send_timeout=0.5) as h:
        stalled = StalledPane(h)
        assert h.wait_connected(5)
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            # A 20 MB request; a stalled pane answers none, so a root's SET.
            big = pool.submit(setattr, com_like.Excel, "data", [["x" * 1000] * 1000] * 20)
            with pytest.raises(RuntimeError, match="stopped reading"):
                big.result(10)
        assert "took nothing" in h.last_error
        fresh = WireAddin(h)                 # a new pane becomes live
        assert wait_until(lambda: h.connected, 5)
        assert com_like.Context.workbook.worksheets.getActiveWorksheet().name == "Sheet1"
        fresh.close()
        stalled.close()


def test_close_does_not_wait_on_a_stalled_pane():
    h = serve()                              # the default send time-out: close must not wait
    stalled = StalledPane(h)
    try:
        assert h.wait_connected(5)
        assert closes_while_sending(
            h, lambda: setattr(com_like.Excel, "data", [["x" * 1000] * 1000] * 20), timeout=5)
    finally:
        h.close()
        stalled.close()


# ---------------------------------------------------------------- connections that never authenticate

def test_idle_connections_are_capped_and_the_pane_still_connects(host):
    threads_before = threading.active_count()
    idle = []
    try:
        for _ in range(200):
            s = socket.create_connection(("127.0.0.1", host.port), timeout=5)
            idle.append(s)
        assert wait_until(lambda: host.stats["dropped"] >= 200 - server.MAX_UNAUTHENTICATED, 10)
        assert threading.active_count() - threads_before <= 2 * server.MAX_UNAUTHENTICATED + 4
        pane = WireAddin(host)
        assert wait_until(lambda: host.connected, 5)
        assert com_like.Context.workbook.worksheets.getActiveWorksheet().name == "Sheet1"
        pane.close()
    finally:
        for s in idle:
            s.close()


@pytest.mark.skipif(os.name != "posix", reason="file descriptor limits")
def test_listener_survives_running_out_of_descriptors(tmp_path):
    script = textwrap.dedent("""
        import resource, socket, time
        from com_like_host import serve
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        h = serve()
        client = socket.socket()          # made first: connecting needs no more descriptors
        client.settimeout(10)
        hog = []
        while True:
            try:
                hog.append(open("/dev/null"))
            except OSError:
                break
        client.connect(("127.0.0.1", h.port))   # the listener cannot take it now
        deadline = time.monotonic() + 10
        while h.stats["accept_errors"] < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
        errors = h.stats["accept_errors"]
        for f in hog:
            f.close()
        client.sendall(("GET /ws?token=%s HTTP/1.1\\r\\nHost: 127.0.0.1:%d\\r\\nOrigin: %s\\r\\n"
                        "Upgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
                        "Sec-WebSocket-Version: 13\\r\\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\n\\r\\n"
                        % (h.token, h.port, h.origin)).encode())
        print(errors, client.recv(12).decode())
        h.close()
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    errors, status = out.stdout.split(" ", 1)
    assert int(errors) >= 1 and status.strip() == "HTTP/1.1 101", out.stdout


def test_behind_a_proxy_under_a_path_prefix(tls):
    public = "https://hub.example.org/user/ana/com_like/"
    with serve(public_url=public, certfile=tls[0], keyfile=tls[1]) as h:
        assert h.url == public + "taskpane.html?token=" + h.token
        hub = "hub.example.org"
        assert request(h, "/taskpane.html", host=hub)[0] == 200                  # prefix taken off
        assert request(h, "/user/ana/com_like/taskpane.html", host=hub)[0] == 200   # or passed on
        assert request(h, "/taskpane.html", host="other.example.org")[0] == 421
        code, body = request(h, "/manifest.xml?token=" + h.token, host=hub)
    ns = {"o": "http://schemas.microsoft.com/office/appforoffice/1.1"}
    root = ET.fromstring(body)
    assert root.find("o:DefaultSettings/o:SourceLocation", ns).get("DefaultValue") == h.url
    assert root.find("o:AppDomains/o:AppDomain", ns).text == "https://hub.example.org"
    assert root.find("o:IconUrl", ns).get("DefaultValue") == public + "icon-32.png"
