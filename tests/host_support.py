"""Helpers of the host tests: a wire-level add-in double (a WebSocket client
that answers with the simulated add-in) and the real thing (headless
Chromium on the pane, with the Office.js stand-in)."""

import os
import socket
import subprocess
import threading
import time
import uuid
from pathlib import Path

import pytest

from com_like_host import frames, serve
from com_like_host.browser import HOW_TO_GET, Browser, find_chromium

STANDIN = Path(frames.__file__).resolve().parent / "standin" / "office.js"


def unique_name(prefix="T"):
    return prefix + uuid.uuid4().hex[:10]


@pytest.fixture(name="clean_messaging", autouse=True)
def session_owns_messaging():
    """Replaces the suite-wide reset (tests/conftest.py) in a package whose
    host or backend owns messaging for longer than a test: resetting it
    between tests would end its session. A package's conftest opts in by
    importing it."""
    yield


def ws_url(h, token=None):
    return "%s/ws?token=%s" % (h.origin.replace("http", "ws", 1), h.token if token is None
                               else token)


class WireAddin:
    """Speaks the add-in's side of the frames over a real socket and answers
    requests with the simulated workbook. ``hold`` pauses answering.
    ``origin``: the Origin header to give (the host's own by default; None
    for none)."""

    def __init__(self, h, token=None, origin="own", hello=True):
        from websockets.sync.client import connect
        from com_like_sim.addin import SimulatedAddin
        self.addin = SimulatedAddin()
        self.addin.emit = self._emit
        self.frames = []          # every frame received, decoded
        self.hold = threading.Event()
        # As a pane in a browser would, it gives its page's origin.
        origin = h.origin if origin == "own" else origin
        self._client = connect(ws_url(h, token), origin=origin, max_size=None)
        self.ws = self._client.__enter__()
        self.lock = threading.Lock()
        if hello:
            self.send({"kind": "hello", "host": "wire-double"})
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def send(self, frame):
        with self.lock:
            self.ws.send(frames.encode(frame).decode())

    def send_raw(self, text):
        with self.lock:
            self.ws.send(text)

    def _emit(self, event):
        from com_like_sim.events import CallPython, ReleaseCallables
        if isinstance(event, CallPython):
            self.send({"kind": "callback", "callId": event.call_id,
                       "callableId": event.callable_id,
                       "args": [frames.pack(a) for a in event.args], "source": event.source})
        elif isinstance(event, ReleaseCallables):
            self.send({"kind": "release_callables", "ids": list(event.ids)})

    def _loop(self):
        try:
            for text in self.ws:
                frame = frames.decode(text, frames.HOST_KINDS)
                self.frames.append(frame)
                while self.hold.is_set():
                    time.sleep(0.01)
                kind = frame["kind"]
                release = frame.get("release") or (frame["ids"] if kind == "release" else [])
                for oid in release:
                    self.addin.handle({"method": "DEL", "caller": oid, "requestId": None})
                if kind == "request":
                    r = self.addin.handle(frame)
                    r["kind"] = "excel_response"
                    if "result" in r:
                        r["result"] = frames.pack(r["result"])
                    self.send(r)
                elif kind == "callback_result":
                    self.addin.callback_finished(frame["callId"], frame["ok"],
                                                 (frame.get("error") or {}).get("message"))
        except Exception:
            pass

    def close(self):
        self._client.__exit__(None, None, None)
        self.thread.join(5)


def make_cert(folder):
    """A self-signed certificate and key for localhost, in ``folder``."""
    cert, key = Path(folder) / "cert.pem", Path(folder) / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    return str(cert), str(key)


def need_chromium():
    if os.environ.get("COM_LIKE_NO_BROWSER"):
        # CI runs the browser tests on the oldest and newest interpreters;
        # the others, and the sanitizer and clang builds, run the rest.
        pytest.skip("browser tests switched off (COM_LIKE_NO_BROWSER)")
    missing = [p.name for p in (STANDIN, STANDIN.parent.parent / "addin" / "executor.mjs")
               if not p.is_file()]
    if missing:
        pytest.skip("not in this checkout yet: %s" % ", ".join(missing))
    if find_chromium() is None:
        if os.environ.get("CI"):
            pytest.fail(HOW_TO_GET)
        pytest.skip(HOW_TO_GET)


class Live:
    """A host serving the stand-in, with headless Chromium on its pane."""

    def __init__(self, browser_args=(), **serve_args):
        need_chromium()
        self.host = serve(office_js=STANDIN, **serve_args)
        self.browser_args = list(browser_args)
        self.browser = None
        try:
            self.open_browser()
        except BaseException:
            self.host.close()
            raise

    def open_browser(self, url=None, timeout=30):
        if self.browser is not None:
            self.browser.close()
        self.browser = Browser(url or self.host.url, extra_args=self.browser_args).start()
        if not self.host.wait_connected(timeout):
            raise AssertionError("the pane did not connect within %d s" % timeout)

    def close(self):
        try:
            if self.browser is not None:
                self.browser.close()
        finally:
            self.host.close()


def wait_until(predicate, timeout=10.0, interval=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def closes_while_sending(h, big_send, timeout=10):
    """Starts ``big_send`` on a thread, waits until its frame is going out,
    then closes ``h``: True if the close returned within ``timeout`` and
    the send failed."""
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        fut = pool.submit(big_send)
        assert wait_until(lambda: h._session is not None and h._session.watched is not None
                          and h._session.watched.progress is not None, 10)
        closer = threading.Thread(target=h.close)
        closer.start()
        closer.join(timeout)
        try:
            fut.result(5)
        except (RuntimeError, concurrent.futures.CancelledError):
            return not closer.is_alive()
        return False


def run_cell(client, code, timeout):
    """Executes ``code`` in a kernel through its client; its output as
    ``text`` (streams and plain displays), ``html`` and ``error``."""
    import types
    out = types.SimpleNamespace(text="", html="", error=None)

    def hook(msg):
        kind, content = msg["msg_type"], msg["content"]
        if kind == "stream":
            out.text += content["text"]
        elif kind in ("display_data", "execute_result"):
            out.text += content["data"].get("text/plain", "") + "\n"
            out.html += content["data"].get("text/html", "")
        elif kind == "error":
            out.error = "%s: %s" % (content["ename"], content["evalue"])

    reply = client.execute_interactive(code, timeout=timeout, output_hook=hook)
    if reply["content"]["status"] != "ok" and out.error is None:
        out.error = reply["content"].get("evalue", "failed")
    return out


def free_port():
    """A loopback port nothing listens on just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
