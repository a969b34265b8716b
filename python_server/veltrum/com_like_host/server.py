"""The WebSocket host: the task pane's files and its WebSocket on one origin,
and the transport under the shared host core.

Every connection runs on a thread of its own (websockets' threaded
server); the thread of the live session is the listener: it hands
responses to messaging, callback calls to the core's workers and released
callables to the registry, and resets messaging when its session ends.
"""

import dataclasses
import hmac
import itertools
import logging
import mimetypes
import os
import posixpath
import secrets
import ssl
import struct
import threading
import urllib.parse
import zlib
from pathlib import Path

from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.sync.server import serve as ws_serve

from . import frames
from .config import ADDIN_DIR, HOSTED_OFFICE_JS, render_manifest
from .core import HostCore, HostFacade

log = logging.getLogger(__name__)

MAX_FRAME = 256 * 2**20      # a frame larger than this ends the session
WS_PATH = "/ws"
CLOSE_REPLACED = 4000        # the pane does not reconnect after this one
OFFICE_PREFIX = "/office/"
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".mjs": "text/javascript; charset=utf-8",
                 ".js": "text/javascript; charset=utf-8", ".xml": "application/xml; charset=utf-8",
                 ".css": "text/css; charset=utf-8", ".json": "application/json",
                 ".png": "image/png"}


_session_numbers = itertools.count(1)   # across hosts: an id base is never reused


class _QuietHandshakes(logging.Filter):
    # Browsers open spare connections and drop them unused; that is no error.
    def filter(self, record):
        return record.getMessage() != "opening handshake failed"


ws_log = logging.getLogger(__name__ + ".ws")
ws_log.addFilter(_QuietHandshakes())


class Session:
    """One add-in connection."""

    def __init__(self, connection):
        self.connection = connection
        self.number = next(_session_numbers)
        self.base = self.number * frames.ID_SPAN
        self.hello = None
        self.live = threading.Event()
        self._send_lock = threading.Lock()

    def send(self, data, stats):
        with self._send_lock:
            self.connection.send(data, text=True)
            stats["frames_out"] += 1
            stats["bytes_out"] += len(data)

    def close(self, code=1000, reason=""):
        try:
            self.connection.close(code, reason)
        except Exception:
            pass


class Host(HostFacade):
    """A running host; see ``serve``."""

    def __init__(self, host="127.0.0.1", port=0, token=None, office_js=None, certfile=None,
                 keyfile=None, allowed_origins=(), *, callback_threads=4, module=None,
                 compression=None, callback_timeout=HostCore.DEFAULT_CALLBACK_TIMEOUT):
        if (certfile is None) != (keyfile is None):
            raise ValueError("certfile and keyfile go together")
        self.token = token if token is not None else secrets.token_urlsafe(24)
        if not isinstance(self.token, str) or not self.token:
            raise ValueError("token must be a non-empty str")
        self.office_js = Path(office_js).resolve() if office_js is not None else None
        if self.office_js is not None and not self.office_js.is_file():
            raise FileNotFoundError("office_js: no such file: %s" % office_js)
        self.scheme = "https" if certfile else "http"
        self._allowed = {str(o).rstrip("/") for o in allowed_origins}
        self._lock = threading.Lock()
        self._session = None
        self._connected = threading.Condition(self._lock)
        self._closed = False
        self.stats = {"frames_out": 0, "frames_in": 0, "bytes_out": 0, "bytes_in": 0,
                      "sessions": 0, "refused": 0, "bad_frames": 0}
        self.last_error = None
        self._echoes = {}
        self._echo_ids = iter(range(1, 2**62))
        self.core = HostCore(self, owner=self, module=module, callback_threads=callback_threads,
                             thread_prefix="host", callback_timeout=callback_timeout)
        self.core.start()
        try:
            context = None
            if certfile:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(certfile, keyfile)
            self._server = ws_serve(self._handle, host, port, ssl=context,
                                    process_request=self._process_request,
                                    max_size=MAX_FRAME, compression=compression,
                                    ping_interval=20, ping_timeout=60, close_timeout=2,
                                    logger=ws_log)
        except BaseException:
            self.core.stop()
            raise
        self.port = self._server.socket.getsockname()[1]
        self.host = host
        url_host = "[%s]" % host if ":" in host else host
        if certfile and host in ("127.0.0.1", "::1"):
            url_host = "localhost"    # what local development certificates name
        self.origin = "%s://%s:%d" % (self.scheme, url_host, self.port)
        self._own_origins = {self.origin}
        if host in ("127.0.0.1", "localhost", "::1"):
            self._own_origins |= {"%s://%s:%d" % (self.scheme, h, self.port)
                                  for h in ("127.0.0.1", "localhost", "[::1]")}
        self.url = "%s/taskpane.html?token=%s" % (self.origin, urllib.parse.quote(self.token))
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        name="host-server", daemon=True)
        self._thread.start()

    # ------------------------------------------------------------ public

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def wait_connected(self, timeout=None):
        """True once an add-in session is live, False on time-out."""
        with self._lock:
            return self._connected.wait_for(
                lambda: self._closed or (self._session is not None and self._session.live.is_set()),
                timeout) and not self._closed

    @property
    def connected(self):
        s = self._session
        return s is not None and s.live.is_set()

    @property
    def session_hello(self):
        s = self._session
        return s.hello if s is not None else None

    def close(self):
        """Stop serving, remove the send handler, reset messaging (waiting
        callers get CancelledError at once)."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            session, self._session = self._session, None
            self._connected.notify_all()
        self.core.stop()
        if session is not None:
            session.close(1001, "host closed")
        self._server.shutdown()
        self._thread.join(5)

    def manifest(self):
        """manifest.xml pointing at this origin and token (Excel needs https)."""
        return render_manifest(self.origin, self.token)

    def write_manifest(self, path):
        Path(path).write_text(self.manifest(), encoding="utf-8")
        return Path(path)

    def echo(self, payload, timeout=30.0):
        """Send ``payload`` to the pane and return what it sends back (the
        bare socket and JSON, without the add-in: the benchmark's floor)."""
        session = self._live()
        event, box = threading.Event(), []
        with self._lock:
            eid = next(self._echo_ids)
            self._echoes[eid] = (event, box)
        try:
            self._send(session, frames.encode({"kind": "echo", "id": eid, "payload": payload}))
            if not event.wait(timeout):
                raise TimeoutError("no echo within %.1f s" % timeout)
            if not box:
                raise RuntimeError("the add-in's connection closed")
            return box[0]
        finally:
            with self._lock:
                self._echoes.pop(eid, None)

    def disconnect(self, code=1000, reason="closed by the host"):
        """End the live session, as a dropped connection would."""
        s = self._session
        if s is not None:
            s.close(code, reason)

    # ------------------------------------------------------------ transport

    def _live(self):
        s = self._session
        if s is None or not s.live.is_set():
            raise RuntimeError("no add-in is connected to the host; open the task pane (%s)"
                               % self.url)
        return s

    def _send(self, session, data):
        try:
            session.send(data, self.stats)
        except ConnectionClosed:
            raise RuntimeError("the add-in's connection closed") from None

    def send_request(self, message, release_ids):
        session = self._live()
        self._send(session, frames.encode_request(message, release_ids, session.base))

    def send_release(self, ids):
        session = self._live()
        data = frames.encode_release(ids, session.base)
        if data is not None:
            self._send(session, data)

    def send_callback_result(self, call_id, ok, result, error, done):
        try:
            session = self._live()
            self._send(session, frames.encode_callback_result(call_id, ok, result, error,
                                                              session.base))
        finally:
            done()

    # ------------------------------------------------------------ HTTP

    def _process_request(self, connection, request):
        parts = urllib.parse.urlsplit(request.path)
        if parts.path == WS_PATH:
            return self._check_ws(connection, request, parts)
        if request.headers.get("Upgrade", "").lower() == "websocket":
            return connection.respond(404, "Not Found\n")
        return self._static(connection, urllib.parse.unquote(parts.path), parts.query)

    def _check_ws(self, connection, request, parts):
        tokens = urllib.parse.parse_qs(parts.query).get("token", [])
        good = len(tokens) == 1 and hmac.compare_digest(tokens[0].encode(), self.token.encode())
        origin = request.headers.get("Origin")
        if origin is not None and origin.rstrip("/") not in self._own_origins | self._allowed:
            good = False
        if self._closed:
            good = False
        if not good:
            self.stats["refused"] += 1
            return connection.respond(403, "Forbidden\n")
        return None

    def _static(self, connection, path, query):
        if path in ("", "/"):
            resp = connection.respond(302, "")
            resp.headers["Location"] = "/taskpane.html" + ("?" + query if query else "")
            return resp
        if path == "/manifest.xml":
            return _file_response(connection, self.manifest().encode("utf-8"), ".xml")
        if path in ("/icon-32.png", "/icon-80.png"):
            return _file_response(connection, _icon(32 if "32" in path else 80), ".png")
        if path.startswith(OFFICE_PREFIX) and self.office_js is not None:
            target = _safe_join(self.office_js.parent, path[len(OFFICE_PREFIX):])
        else:
            target = _safe_join(ADDIN_DIR, path.lstrip("/"))
        if target is None or not target.is_file() or target.suffix not in CONTENT_TYPES:
            return connection.respond(404, "Not Found\n")
        body = target.read_bytes()
        if target.name == "taskpane.html" and target.parent == ADDIN_DIR and self.office_js:
            body = body.replace(HOSTED_OFFICE_JS.encode(),
                                (OFFICE_PREFIX + self.office_js.name).encode())
        return _file_response(connection, body, target.suffix)

    # ------------------------------------------------------------ WebSocket

    def _handle(self, connection):
        self.core.mark_internal_thread()
        with self._lock:
            if self._closed:
                connection.close(1001, "host closed")
                return
            session = Session(connection)
            old, self._session = self._session, session
            self.stats["sessions"] += 1
        if old is not None:
            # A new authenticated connection replaces the old one: whatever
            # was waiting on the old one is cancelled by the reset.
            old.close(CLOSE_REPLACED, "replaced by a new connection")
            self.core.session_reset()
        try:
            self._listen(session)
        except ConnectionClosed as e:
            if e.sent is not None and e.sent.code == 1009:
                self.last_error = "the add-in sent a frame over %d bytes" % MAX_FRAME
                log.warning("%s; session closed", self.last_error)
        except frames.FrameError as e:
            self.stats["bad_frames"] += 1
            self.last_error = "bad frame from the add-in: %s" % e
            log.warning("%s; closing the session", self.last_error)
            session.close(1007, "bad frame")
        except Exception as e:
            self.last_error = "session failed: %s: %s" % (type(e).__name__, e)
            log.exception("session %d failed", session.number)
            session.close(1011, "host error")
        finally:
            with self._lock:
                current = self._session is session
                if current:
                    self._session = None
                self._connected.notify_all()
            if current and not self._closed:
                self.core.session_reset()
            if current:
                with self._lock:
                    for event, _ in self._echoes.values():
                        event.set()

    def _listen(self, session):
        conn = session.connection
        while True:
            data = conn.recv(decode=False)
            self.stats["frames_in"] += 1
            self.stats["bytes_in"] += len(data)
            frame = frames.decode(data, base=session.base)
            kind = frame["kind"]
            if kind == "hello":
                session.hello = frame
                session.live.set()
                with self._lock:
                    self._connected.notify_all()
                continue
            if not session.live.is_set():
                raise frames.FrameError("%s before hello" % kind)
            if self._session is not session:
                return
            if kind == "excel_response":
                frame.pop("kind", None)
                self.core.on_response(frame)
            elif kind == "callback":
                self.core.on_callback(frame.get("callId"), frame["callableId"], frame["args"])
            elif kind == "release_callables":
                self.core.on_release_callables(frame["ids"])
            elif kind == "echo":
                with self._lock:
                    waiter = self._echoes.get(frame.get("id"))
                if waiter is not None:
                    waiter[1].append(frame.get("payload"))
                    waiter[0].set()


def serve(host="127.0.0.1", port=0, token=None, office_js=None, certfile=None, keyfile=None,
          allowed_origins=()):
    """Serve the task pane and its WebSocket; a context manager.

    ``token``: the WebSocket's token (random per call unless given; the
    command line passes the user's stable one). ``office_js``: a local
    file served, with its folder, in place of the hosted office.js.
    ``certfile``/``keyfile``: serve https and wss. ``allowed_origins``:
    further origins (besides the host's own) whose pages may connect.
    """
    return Host(host, port, token, office_js, certfile, keyfile, allowed_origins)


# ---------------------------------------------------------------- helpers

def _safe_join(root, rel):
    """``root/rel`` if it names a file inside ``root``; None for anything
    that tries to leave it (``..``, absolute paths, hidden names, links out)."""
    if "\\" in rel or "\0" in rel:
        return None
    norm = posixpath.normpath("/" + rel).lstrip("/")
    if not norm or norm != rel or any(p.startswith(".") for p in norm.split("/")):
        return None
    root = Path(root).resolve()
    target = (root / norm).resolve()
    if os.path.commonpath([str(root), str(target)]) != str(root):
        return None
    return target


def _file_response(connection, body, suffix):
    resp = connection.respond(200, "")
    headers = Headers()
    for k, v in resp.headers.raw_items():
        if k.lower() not in ("content-type", "content-length"):
            headers[k] = v
    headers["Content-Type"] = CONTENT_TYPES.get(suffix) or mimetypes.types_map.get(
        suffix, "application/octet-stream")
    headers["Content-Length"] = str(len(body))
    headers["Cache-Control"] = "no-store"
    headers["X-Content-Type-Options"] = "nosniff"
    return dataclasses.replace(resp, headers=headers, body=body)


def _icon(size, rgb=(0x21, 0x73, 0x46)):
    """A plain square PNG (the manifest wants icons; no image files shipped)."""
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))
    row = b"\0" + bytes(rgb) * size
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * size))
            + chunk(b"IEND", b""))
