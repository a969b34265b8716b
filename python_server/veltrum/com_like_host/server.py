"""The WebSocket host: the task pane's files and its WebSocket on one origin,
and the transport under the shared host core.

Every connection runs on a thread of its own; the thread of the live
session is the listener: it hands responses to messaging, callback calls
to the core's workers and released callables to the registry, and resets
messaging when its session ends. One more thread accepts connections and
watches every send: a peer that takes no bytes for ``send_timeout``
seconds has its connection cut, since a blocked send would hold up every
other sender and the close.

What it guards against, besides a wrong token or a foreign Origin: a
request whose Host header is not this host's own (DNS rebinding), files
other than the pane's, the token in logs and error texts, connections that
never finish their handshake (capped, and dropped after ``OPEN_TIMEOUT``),
running out of file descriptors, and a pane that stops reading.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import hmac
import itertools
import logging
import mimetypes
import os
import re
import secrets
import selectors
import socket
import ssl
import struct
import threading
import time
import urllib.parse
import weakref
import zlib
from collections import OrderedDict
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed, InvalidHandshake
from websockets.frames import CloseCode
from websockets.sync.server import ServerConnection
from websockets.sync.server import serve as ws_serve

from . import frames, waits
from .config import ADDIN_DIR, HOSTED_OFFICE_JS, ManifestError, render_manifest, write_private
from .core import HostCore, HostFacade

log = logging.getLogger(__name__)

# A frame larger than this ends the session. The pane sends larger answers
# in parts well under it (addin/frames.mjs); one frame of this size costs
# about 200 MB while it is decoded.
MAX_FRAME = 8 * 2**20
MAX_PARTS = 2**30            # bytes of answers waiting for their last part
WS_PATH = "/ws"
CLOSE_REPLACED = 4000        # ours (private range): the pane does not reconnect after it
OFFICE_PREFIX = "/office/"
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".mjs": "text/javascript; charset=utf-8",
                 ".js": "text/javascript; charset=utf-8", ".xml": "application/xml; charset=utf-8",
                 ".png": "image/png", ".json": "application/json; charset=utf-8"}
# The pane's own files: nothing else of the package is served.
ADDIN_FILES = frozenset(["taskpane.html", "members.json"]
                        + [p.name for p in ADDIN_DIR.glob("*.mjs")])
ICON_SIZES = {"/icon-32.png": 32, "/icon-64.png": 64}
OFFICE_SUFFIXES = (".js", ".mjs")
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")

SEND_TIMEOUT = 15.0          # seconds a send may go without the peer taking a byte
CLOSE_STALL = 1.0            # the same, once the connection is being closed
SEND_PIECE = 256 * 1024      # progress is seen between pieces of a send
BIG_SEND = 2**20             # frames this large go out on a thread of their own
WATCH_INTERVAL = 0.2
OPEN_TIMEOUT = 5.0           # for the TLS and WebSocket handshakes
MAX_UNAUTHENTICATED = 32     # connections still in their handshake
ACCEPT_RETRY = 0.1           # after a failed accept (out of descriptors, say)
ACCEPT_LOG_EVERY = 10.0


_session_numbers = itertools.count(1)   # across hosts: an id base is never reused

_TOKEN_IN_TEXT = re.compile(r"(token=)[^&\s\"'#]+")


def redact(text):
    """``text`` with any token in it replaced."""
    return _TOKEN_IN_TEXT.sub(r"\1<redacted>", text)


def _client_gave_up(exc):
    seen = 0
    while exc is not None and seen < 8:
        if isinstance(exc, (EOFError, ConnectionError, TimeoutError)):
            return True
        exc, seen = exc.__cause__ or exc.__context__, seen + 1
    return False


class _LogFilter(logging.Filter):
    """Keeps the token out of the WebSocket library's log (it logs request
    lines at DEBUG); drops handshakes that the client abandoned (browsers
    open spare connections and drop them unused); and logs a client's
    malformed handshake, answered 400 already, at DEBUG rather than ERROR.
    Every other failure stays an error."""

    def filter(self, record):
        exc = record.exc_info[1] if record.exc_info else None
        if exc is not None and record.msg == "opening handshake failed":
            if _client_gave_up(exc):
                return False
            if isinstance(exc, InvalidHandshake):
                record.levelno, record.levelname = logging.DEBUG, "DEBUG"
        message = record.getMessage()
        clean = redact(message)
        if clean != message:
            record.msg, record.args = clean, None
        return True


ws_log = logging.getLogger(__name__ + ".ws")
ws_log.addFilter(_LogFilter())


class _WatchedSocket:
    """A connection's socket whose sends are watched: ``progress`` is the
    time the peer last took bytes while a send is under way (None when
    none is), so a stalled peer can be cut off from another thread."""

    def __init__(self, sock):
        self._sock = sock
        self.progress = None
        self.closing = False
        self.stalled = False

    def sendall(self, data):
        view = memoryview(data)
        try:
            for start in range(0, len(view), SEND_PIECE):
                self.progress = time.monotonic()
                self._sock.sendall(view[start:start + SEND_PIECE])
        finally:
            self.progress = None

    def abort(self):
        """Cut the connection now: a send or receive blocked on it fails."""
        _cut(self._sock)

    def __getattr__(self, name):
        return getattr(self._sock, name)


class Session:
    """One add-in connection."""

    def __init__(self, connection):
        self.connection = connection
        self.watched = connection.socket if isinstance(connection.socket, _WatchedSocket) else None
        self.number = next(_session_numbers)
        self.base = self.number * frames.ID_SPAN
        self.hello = None
        self.live = threading.Event()
        self._send_lock = threading.Lock()
        self._parts = {}             # key -> lists of the parts so far
        self._parts_bytes = 0

    def take_part(self, frame, size):
        self._parts_bytes += size
        if self._parts_bytes > MAX_PARTS:
            raise frames.FrameError("answers in parts over %d bytes" % MAX_PARTS)
        entry = self._parts.setdefault(frame["key"], [[], 0])
        entry[0].append(frame["value"])
        entry[1] += size

    def whole(self, frame):
        """``frame`` with the parts announced before it joined in."""
        count = frame.pop("parts", 0)
        key = frame.get("requestId") if frame["kind"] == "excel_response" else frame.get("id")
        pieces, size = self._parts.pop(key, ([], 0)) if count else ([], 0)
        if len(pieces) != count:
            raise frames.FrameError("%d parts for an answer that announced %d"
                                    % (len(pieces), count))
        if count:
            self._parts_bytes -= size
            frames.join_parts(pieces, frame)
        return frame

    @property
    def stalled(self):
        return self.watched is not None and self.watched.stalled

    def send(self, data, stats):
        with self._send_lock:
            self.connection.send(data, text=True)
            stats["frames_out"] += 1
            stats["bytes_out"] += len(data)

    def close(self, code=CloseCode.NORMAL_CLOSURE, reason=""):
        """Close; never waits on a peer that has stopped reading: with a
        send under way, the connection is cut at once."""
        watched = self.watched
        if watched is not None:
            watched.closing = True
            if watched.progress is not None:
                watched.abort()
                return
        try:
            self.connection.close(code, reason)
        except Exception:
            pass


class Host(HostFacade):
    """A running host, from the moment it is made until ``close()``; see
    ``serve``."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, token: str | None = None,
                 office_js: str | os.PathLike[str] | None = None,
                 certfile: str | os.PathLike[str] | None = None,
                 keyfile: str | os.PathLike[str] | None = None,
                 allowed_origins: Iterable[str] = (), callback_threads: int = 4,
                 module: Any = None, compression: str | None = None,
                 allowed_hosts: Iterable[str] = (), send_timeout: float = SEND_TIMEOUT,
                 callback_timeout: float | None = HostCore.DEFAULT_CALLBACK_TIMEOUT,
                 public_url: str | None = None,
                 request_timeout: float = waits.DEFAULT_REQUEST_TIMEOUT,
                 progress: bool | None = None) -> None:
        if (certfile is None) != (keyfile is None):
            raise ValueError("certfile and keyfile go together")
        self.token = token if token is not None else secrets.token_urlsafe(24)
        if not isinstance(self.token, str) or not self.token:
            raise ValueError("token must be a non-empty str")
        self.office_js = Path(office_js).resolve() if office_js is not None else None
        if self.office_js is not None and not self.office_js.is_file():
            raise FileNotFoundError("office_js: no such file: %s" % office_js)
        self.scheme = "https" if certfile else "http"
        self.send_timeout = float(send_timeout)
        self._allowed = {str(o).rstrip("/") for o in allowed_origins}
        self._lock = threading.Lock()
        self._session: Session | None = None
        self._connected = threading.Condition(self._lock)
        self._closed = False
        # thread -> socket, oldest first
        self._handshaking: OrderedDict[threading.Thread, socket.socket] = OrderedDict()
        self._watched: weakref.WeakSet[_WatchedSocket] = weakref.WeakSet()
        self.stats = {"frames_out": 0, "frames_in": 0, "bytes_out": 0, "bytes_in": 0,
                      "sessions": 0, "refused": 0, "bad_frames": 0, "dropped": 0,
                      "accept_errors": 0}
        self.last_error: str | None = None
        self._echoes: dict[int, tuple[threading.Event, list[Any]]] = {}
        self._echo_ids = iter(range(1, 2**62))
        self.core = HostCore(self, owner=self, module=module, callback_threads=callback_threads,
                             thread_prefix="host", callback_timeout=callback_timeout,
                             request_timeout=request_timeout, progress=progress)
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
                                    open_timeout=OPEN_TIMEOUT,
                                    # A factory, not the class the stubs expect.
                                    create_connection=self._connection,  # type: ignore[arg-type]
                                    logger=ws_log)
        except BaseException:
            self.core.stop()
            raise
        try:
            # Made here, not on the thread: it needs a descriptor of its own,
            # and the host must not depend on one being free when it starts.
            self._selector = selectors.DefaultSelector()
            self._selector.register(self._server.socket, selectors.EVENT_READ)
        except BaseException:
            self._server.socket.close()
            self.core.stop()
            raise
        self.port = self._server.socket.getsockname()[1]
        self.host = host
        url_host = "[%s]" % host if ":" in host else host
        if certfile and host in ("127.0.0.1", "::1"):
            url_host = "localhost"    # what local development certificates name
        self.origin = "%s://%s:%d" % (self.scheme, url_host, self.port)
        self._own_origins = {self.origin}
        loopback = host in ("127.0.0.1", "localhost", "::1", "0.0.0.0", "::", "")
        if loopback:
            self._own_origins |= {"%s://%s:%d" % (self.scheme, h, self.port)
                                  for h in LOOPBACK_NAMES}
        self.base, self._prefix = self.origin, ""
        allowed_hosts = list(allowed_hosts)
        if public_url is not None:
            self.base, self._prefix, public = _public(public_url)
            self._own_origins.add(public.origin)
            allowed_hosts.append(public.host)
        self._own_hosts = self._host_names(url_host, loopback, allowed_hosts)
        self.url = "%s/taskpane.html?token=%s" % (self.base, urllib.parse.quote(self.token))
        self._thread = threading.Thread(target=self._accept_loop, name="host-server", daemon=True)
        self._thread.start()

    def _host_names(self, url_host, loopback, configured):
        """The Host header values this host answers to: its own name and
        the loopback names with its port, and those the user configured
        (``name`` or ``name:port``; a bare name also with this port)."""
        default = {"http": 80, "https": 443}[self.scheme]
        names = set(LOOPBACK_NAMES) if loopback else set()
        if url_host not in ("0.0.0.0", "[::]", ""):
            names.add(url_host)
        hosts = {"%s:%d" % (n, self.port) for n in names}
        if self.port == default:
            hosts |= names
        for h in configured:
            h = str(h).strip().lower()
            if h:
                hosts.add(h)
                if not h.endswith("]") and ":" not in h.rsplit("]", 1)[-1]:
                    hosts.add("%s:%d" % (h, self.port))
        return frozenset(h.lower() for h in hosts)

    # ------------------------------------------------------------ public

    def wait_connected(self, timeout: float | None = None) -> bool:
        """True once an add-in session is live, False on time-out."""
        with self._lock:
            return self._connected.wait_for(
                lambda: self._closed or (self._session is not None and self._session.live.is_set()),
                timeout) and not self._closed

    @property
    def connected(self) -> bool:
        s = self._session
        return s is not None and s.live.is_set()

    @property
    def session_hello(self) -> dict[str, Any] | None:
        s = self._session
        return s.hello if s is not None else None

    def close(self) -> None:
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
            session.close(CloseCode.GOING_AWAY, "host closed")
        self._stop_listening()
        with self._lock:
            waiting = list(self._handshaking.values())
            self._handshaking.clear()
        for sock in waiting:
            _cut(sock)
        self._thread.join(5)

    def manifest(self) -> str:
        """manifest.xml pointing at this origin, with the token: Excel
        needs https, so a plain http host has none (ManifestError)."""
        return render_manifest(self.base, self.token)

    @property
    def manifest_url(self) -> str:
        """Where Excel's sideloading can fetch the manifest: it holds the
        token, so only a request that shows the token gets it."""
        return "%s/manifest.xml?token=%s" % (self.base, urllib.parse.quote(self.token))

    def write_manifest(self, path: str | os.PathLike[str]) -> Path:
        """Write the manifest to ``path``, readable by this user alone."""
        return write_private(path, self.manifest())

    def echo(self, payload: Any, timeout: float = 30.0) -> Any:
        """Send ``payload`` to the pane and return what it sends back (the
        bare socket and JSON, without the add-in: the benchmark's floor)."""
        session = self._live()
        event = threading.Event()
        box: list[Any] = []
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

    def disconnect(self, code: int = CloseCode.NORMAL_CLOSURE,
                   reason: str = "closed by the host") -> None:
        """End the live session, as a dropped connection would."""
        s = self._session
        if s is not None:
            s.close(code, reason)

    # ------------------------------------------------------------ transport

    def _live(self):
        s = self._session
        if s is None or not s.live.is_set():
            # The URL without its token: error texts end up in logs.
            raise RuntimeError("no add-in is connected to the host; open the task pane at the "
                               "URL the host printed (%s/taskpane.html?token=...)" % self.origin)
        return s

    def _send(self, session, data):
        try:
            session.send(data, self.stats)
        except ConnectionClosed:
            if session.stalled:
                raise RuntimeError("the add-in stopped reading: it took nothing for %.0f s, and "
                                   "its connection was dropped" % self.send_timeout) from None
            raise RuntimeError("the add-in's connection closed") from None

    def send_request(self, message: dict[str, Any], release_ids: list[int]
                     ) -> concurrent.futures.Future[None] | None:
        session = self._live()
        try:
            data = frames.encode_request(message, release_ids, session.base)
        except KeyboardInterrupt:
            raise waits.not_sent(message.get("method")) from None   # seconds for a big one
        if len(data) < BIG_SEND:
            self._send(session, data)
            return None
        # An interrupt of the caller must not cut a frame in half: the send
        # goes on here, and the caller waits for it (and may give up).
        sent: concurrent.futures.Future[None] = concurrent.futures.Future()

        def send():
            try:
                self._send(session, data)
                sent.set_result(None)
            except BaseException as e:
                sent.set_exception(e)
        threading.Thread(target=send, daemon=True, name="host-send").start()
        return sent

    def send_cancel(self, request_id: Any) -> None:
        session = self._live()
        self._send(session, frames.encode_cancel(request_id))

    def send_release(self, ids: list[int]) -> None:
        session = self._live()
        data = frames.encode_release(ids, session.base)
        if data is not None:
            self._send(session, data)

    def send_callback_result(self, call_id: Any, ok: bool, result: Any, error: str | None,
                             done: Callable[[], object]) -> None:
        # Raising, it leaves done() to the core, which counts the call off.
        session = self._live()
        self._send(session, frames.encode_callback_result(call_id, ok, result, error,
                                                          session.base))
        done()

    # ------------------------------------------------------------ HTTP

    def _process_request(self, connection, request):
        try:
            return self._route(connection, request)
        except _BadRequest as e:
            return connection.respond(400, "Bad Request: %s\n" % e)
        except Exception:
            log.exception("error answering %s", redact(request.path))
            return connection.respond(500, "Internal Server Error\n")

    def _route(self, connection, request):
        host = _one_header(request.headers, "Host")
        if host is None:
            raise _BadRequest("no Host header")
        if host.lower() not in self._own_hosts:
            # Another name that resolves here (DNS rebinding): not ours.
            self.stats["refused"] += 1
            return connection.respond(421, "Misdirected Request\n")
        parts = urllib.parse.urlsplit(request.path)
        path = parts.path
        if self._prefix and (path == self._prefix or path.startswith(self._prefix + "/")):
            # A proxy that passes its prefix on (the pane's links are relative).
            path = path[len(self._prefix):] or "/"
        if path == WS_PATH:
            return self._check_ws(connection, request, parts)
        if (request.headers.get_all("Upgrade") or [""])[0].lower() == "websocket":
            return connection.respond(404, "Not Found\n")
        return self._static(connection, urllib.parse.unquote(path), parts.query)

    def _token_ok(self, query):
        tokens = urllib.parse.parse_qs(query).get("token", [])
        return len(tokens) == 1 and hmac.compare_digest(tokens[0].encode(), self.token.encode())

    def _check_ws(self, connection, request, parts):
        # A pane runs in a browser, which always sends its Origin: a
        # connection without one is no pane, token or not.
        origin = _one_header(request.headers, "Origin")
        good = (self._token_ok(parts.query) and origin is not None
                and origin.rstrip("/") in self._own_origins | self._allowed
                and not self._closed)
        if not good:
            self.stats["refused"] += 1
            return connection.respond(403, "Forbidden\n")
        return None

    def _static(self, connection, path, query):
        if path in ("", "/"):
            resp = connection.respond(302, "")
            # Relative: right also behind a proxy under a path prefix.
            resp.headers["Location"] = "taskpane.html" + ("?" + query if query else "")
            return resp
        if path == "/manifest.xml":
            if not self._token_ok(query):
                self.stats["refused"] += 1
                return connection.respond(403, "Forbidden\n")
            try:
                return _file_response(connection, self.manifest().encode("utf-8"), ".xml")
            except ManifestError as e:
                return connection.respond(404, "%s\n" % e)
        if path in ICON_SIZES:
            return _file_response(connection, _icon(ICON_SIZES[path]), ".png")
        target = None
        if path.startswith(OFFICE_PREFIX) and self.office_js is not None:
            name = path[len(OFFICE_PREFIX):]
            if name in self._office_files():
                target = self.office_js.parent / name
        elif path[1:] in ADDIN_FILES:
            target = ADDIN_DIR / path[1:]
        if target is None:
            return connection.respond(404, "Not Found\n")
        body = target.read_bytes()
        if target.name == "taskpane.html" and target.parent == ADDIN_DIR and self.office_js:
            # Relative, as every link of the pane: right under a prefix too.
            body = body.replace(HOSTED_OFFICE_JS.encode(),
                                (OFFICE_PREFIX[1:] + self.office_js.name).encode())
        return _file_response(connection, body, target.suffix)

    def _office_files(self):
        """The scripts beside the local office.js (it loads its parts from
        there); nothing from folders below it, nothing hidden."""
        try:
            with os.scandir(self.office_js.parent) as it:
                return {e.name for e in it if e.name.endswith(OFFICE_SUFFIXES)
                        and not e.name.startswith(".") and e.is_file(follow_symlinks=False)}
        except OSError:
            return set()

    # ------------------------------------------------------------ connections

    def _connection(self, sock, protocol, *server, **options):
        # ``server``: newer releases of the library pass the server too.
        watched = _WatchedSocket(sock)
        with self._lock:                   # the accept thread reads the set
            self._watched.add(watched)
        return ServerConnection(watched, protocol, *server, **options)

    def _stop_listening(self):
        # Not the library's shutdown(): this host accepts on its own loop,
        # and newer releases' shutdown() waits for theirs to end.
        server = self._server
        server.socket.close()
        closed = getattr(server, "socket_closed", None)
        if closed is not None:
            closed.set()            # handshakes under way are refused from now on
        for name in ("shutdown_watcher", "shutdown_notifier"):
            end = getattr(server, name, None)
            try:
                if isinstance(end, int):
                    os.close(end)
                elif end is not None:
                    end.close()
            except OSError:
                pass

    def _accept_loop(self):
        listener, selector = self._server.socket, self._selector
        next_watch = last_logged = 0.0
        try:
            while not self._closed:
                ready = selector.select(WATCH_INTERVAL)
                now = time.monotonic()
                if now >= next_watch:
                    self._watch(now)
                    next_watch = now + WATCH_INTERVAL
                if not ready:
                    continue
                try:
                    sock, addr = listener.accept()
                except OSError as e:
                    if self._closed or listener.fileno() == -1:
                        break
                    # Out of descriptors, say: the next try may well work,
                    # and a listener that gives up never serves again.
                    self.stats["accept_errors"] += 1
                    if now - last_logged >= ACCEPT_LOG_EVERY:
                        last_logged = now
                        self.last_error = "accepting a connection failed: %s" % e
                        log.warning("%s; still listening", self.last_error)
                    time.sleep(ACCEPT_RETRY)
                    continue
                try:
                    self._admit(sock, addr)
                except Exception:
                    # One connection's trouble must not end the listener.
                    log.exception("connection from %s dropped", addr)
                    _cut(sock)
                    sock.close()
        finally:
            selector.close()

    def _admit(self, sock, addr):
        thread = threading.Thread(target=self._serve_one, args=(sock, addr), daemon=True,
                                  name="host-connection")
        evicted = None
        with self._lock:
            if len(self._handshaking) >= MAX_UNAUTHENTICATED:
                # The oldest waits longest for a handshake that a pane
                # makes at once: it makes room.
                _, evicted = self._handshaking.popitem(last=False)
                self.stats["dropped"] += 1
            self._handshaking[thread] = sock
        if evicted is not None:
            _cut(evicted)
        try:
            thread.start()
        except RuntimeError as e:        # no thread to be had
            with self._lock:
                self._handshaking.pop(thread, None)
            log.warning("connection dropped: %s", e)
            sock.close()

    def _serve_one(self, sock, addr):
        try:
            self._server.handler(sock, addr)
        finally:
            with self._lock:
                self._handshaking.pop(threading.current_thread(), None)

    def _watch(self, now):
        with self._lock:
            watching = list(self._watched)
        for watched in watching:
            since = watched.progress
            limit = CLOSE_STALL if watched.closing else self.send_timeout
            if since is not None and now - since > limit:
                watched.stalled = True
                if not watched.closing:
                    self.last_error = ("the add-in took nothing for %.0f s; its connection was "
                                       "dropped" % limit)
                    log.warning(self.last_error)
                watched.abort()

    # ------------------------------------------------------------ WebSocket

    def _handle(self, connection):
        self.core.mark_internal_thread()
        with self._lock:
            self._handshaking.pop(threading.current_thread(), None)
            if self._closed:
                connection.close(CloseCode.GOING_AWAY, "host closed")
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
            if e.sent is not None and e.sent.code == CloseCode.MESSAGE_TOO_BIG:
                self.last_error = "the add-in sent a frame over %d bytes" % MAX_FRAME
                log.warning("%s; session closed", self.last_error)
        except frames.FrameError as e:
            self.stats["bad_frames"] += 1
            self.last_error = "bad frame from the add-in: %s" % e
            log.warning("%s; closing the session", self.last_error)
            session.close(CloseCode.INVALID_DATA, "bad frame")
        except Exception as e:
            self.last_error = "session failed: %s: %s" % (type(e).__name__, e)
            log.exception("session %d failed", session.number)
            session.close(CloseCode.INTERNAL_ERROR, "host error")
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
            if kind == "part":
                session.take_part(frame, len(data))
                continue
            if frame.get("parts"):
                session.whole(frame)
            if kind == "excel_response":
                frame.pop("kind", None)
                self.core.on_response(frame)
            elif kind == "progress":
                self.core.on_progress(frame["requestId"], frame)
            elif kind == "callback":
                self.core.on_callback(frame.get("callId"), frame["callableId"], frame["args"],
                                      frame.get("source"))
            elif kind == "release_callables":
                self.core.on_release_callables(frame["ids"])
            elif kind == "echo":
                with self._lock:
                    waiter = self._echoes.get(frame.get("id"))
                if waiter is not None:
                    waiter[1].append(frame.get("payload"))
                    waiter[0].set()


def serve(host: str = "127.0.0.1", port: int = 0, *, token: str | None = None,
          office_js: str | os.PathLike[str] | None = None,
          certfile: str | os.PathLike[str] | None = None,
          keyfile: str | os.PathLike[str] | None = None,
          allowed_origins: Iterable[str] = (), callback_threads: int = 4,
          module: Any = None, compression: str | None = None,
          allowed_hosts: Iterable[str] = (), send_timeout: float = SEND_TIMEOUT,
          callback_timeout: float | None = HostCore.DEFAULT_CALLBACK_TIMEOUT,
          public_url: str | None = None,
          request_timeout: float = waits.DEFAULT_REQUEST_TIMEOUT,
          progress: bool | None = None) -> Host:
    """Serve the task pane and its WebSocket; a context manager.

    ``token``: the WebSocket's token (random per call unless given; the
    command line passes the user's stable one). ``office_js``: a local
    file served, with the scripts beside it, in place of the hosted
    office.js. ``certfile``/``keyfile``: serve https and wss.
    ``allowed_origins``: further origins (besides the host's own) whose
    pages may connect. The options are those of ``Host``, among them
    ``allowed_hosts``: further names (``name`` or ``name:port``) that
    requests may give as their Host, e.g. a proxy's in front of this host;
    and ``public_url``: where users reach this host through a proxy under
    a path prefix (a Jupyter server's, say); the pane URL and the manifest
    point there, and its name and origin are allowed.
    """
    return Host(host, port, token=token, office_js=office_js, certfile=certfile, keyfile=keyfile,
                allowed_origins=allowed_origins, callback_threads=callback_threads,
                module=module, compression=compression, allowed_hosts=allowed_hosts,
                send_timeout=send_timeout, callback_timeout=callback_timeout,
                public_url=public_url, request_timeout=request_timeout, progress=progress)


# ---------------------------------------------------------------- helpers

class _Public:
    def __init__(self, parts):
        self.origin = "%s://%s" % (parts.scheme, parts.netloc.lower())
        self.host = parts.netloc.lower()


def _public(url):
    """(base, path prefix, _Public) of the URL at which users reach this
    host through a proxy, e.g. ``https://hub.example.org/user/ana/com_like/``."""
    parts = urllib.parse.urlsplit(str(url))
    if parts.scheme not in ("http", "https") or not parts.netloc or parts.query or parts.fragment:
        raise ValueError("public_url must be an http(s) URL without query: %r" % (url,))
    prefix = parts.path.rstrip("/")
    return "%s://%s%s" % (parts.scheme, parts.netloc, prefix), prefix, _Public(parts)


class _BadRequest(ValueError):
    pass


def _one_header(headers, name):
    values = headers.get_all(name)
    if len(values) > 1:
        raise _BadRequest("more than one %s header" % name)
    return values[0] if values else None


def _cut(sock):
    """Shut ``sock`` down now, whoever is blocked on it. The plain socket's
    shutdown, also under TLS: the TLS one would first drop its state under
    a thread that is sending."""
    try:
        socket.socket.shutdown(sock, socket.SHUT_RDWR)
    except OSError:
        pass


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
