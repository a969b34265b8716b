"""The local host: carries com_like's requests to a simulated add-in and its
responses back, in one process.

Threads, each with one job:

* the add-in thread runs every request against the add-in, in arrival
  order, and passes the responses and anything the add-in emits (callback
  invocations, released callable ids) to the listener;
* the listener thread hands responses to ``messaging.on_message``, drops
  released ids, resolves invoked callable ids and queues the invocation;
* callback worker threads run Python callbacks; a callback may use proxies,
  because no thread it waits on is its own.

None of these threads ever waits for a response: a request made on one of
them could never be answered, so the send handler refuses it (a DEL, which
garbage collection may issue anywhere, is acknowledged at once instead).
"""

import collections
import logging
import queue
import threading
import time

from .addin import SimulatedAddin

log = logging.getLogger(__name__)

ROOT_PROXIES = ("Context", "Excel", "GetSetting", "Union", "Intersect")

_active_lock = threading.Lock()
_active = None


class CallbackError(RuntimeError):
    """Raised by ``LocalHost.check_callbacks`` for callbacks that failed."""


class LocalHost:
    """Context manager: ``with LocalHost() as host: ...`` installs the send
    handler on ``com_like.messaging`` and removes it again on exit."""

    def __init__(self, addin=None, *, workbook=None, callback_threads=1, module=None):
        if module is None:
            import com_like as module
        self._cl = module
        self.messaging = module.messaging
        self.addin = addin if addin is not None else SimulatedAddin(workbook=workbook)
        self.addin.emit = self._from_addin
        self._n_callback_threads = max(1, int(callback_threads))
        self._lock = threading.Lock()
        self._requests = collections.Counter()
        self.callback_errors = []          # (callable id, exception), oldest first
        self._pending = 0                  # callbacks emitted but not yet finished
        self._idle = threading.Condition(self._lock)
        self._epoch = 0
        self._running = False
        self._threads = []
        self._addin_thread = self._listener = None

    # ------------------------------------------------------------ lifecycle

    def start(self):
        global _active
        with _active_lock:
            if self._running:
                return self
            if _active is not None:
                raise RuntimeError("another LocalHost is running; stop it before starting one more "
                                   "(com_like has a single messaging channel)")
            _active = self
        if self._threads:
            # Restarted: the last stop reset messaging, so the add-in starts
            # a session of its own too.
            self.addin.new_session()
        self._inbox = queue.SimpleQueue()
        self._outbox = queue.SimpleQueue()
        self._callbacks = queue.SimpleQueue()
        self._addin_thread = threading.Thread(target=self._addin_loop, name="sim-addin", daemon=True)
        self._listener = threading.Thread(target=self._listen_loop, name="sim-listener", daemon=True)
        workers = [threading.Thread(target=self._callback_loop, name="sim-callback-%d" % i,
                                    daemon=True) for i in range(self._n_callback_threads)]
        self._threads = [self._addin_thread, self._listener] + workers
        for t in self._threads:
            t.start()
        self._running = True
        self._restamp_roots()
        self.messaging.set_send_handler(self._send)
        return self

    def stop(self, timeout=1.0):
        """Remove the handler, reset messaging, end the threads."""
        global _active
        if not self._running:
            return
        self._running = False
        self.messaging.set_send_handler(None)
        self._inbox.put(("stop",))
        self._outbox.put(("stop",))
        for _ in range(self._n_callback_threads):
            self._callbacks.put(("stop",))
        # Wakes workers still blocked on a request; their calls end with
        # CancelledError instead of the 30 s time-out.
        self.messaging.reset()
        self._restamp_roots()
        deadline = time.monotonic() + timeout
        for t in self._threads:
            t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self._threads if t.is_alive()]
        if stuck:
            log.warning("LocalHost.stop: threads still running after %.1f s: %s "
                        "(a callback that does not return?)", timeout, ", ".join(stuck))
        with _active_lock:
            if _active is self:
                _active = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def running(self):
        return self._running

    @property
    def workbook(self):
        return self.addin.workbook

    def reconnect(self, timeout=5.0):
        """Simulate a dropped and re-established connection: the add-in starts
        a fresh session (the workbook itself stays), messaging is reset on
        the listener thread, and the five root proxies stay usable."""
        if not self._running:
            raise RuntimeError("the host is not running")
        done = threading.Event()
        self._outbox.put(("reconnect", done))
        if threading.current_thread() is not self._listener and not done.wait(timeout):
            raise TimeoutError("reconnect did not complete within %.1f s" % timeout)

    def _do_reconnect(self):
        # Requests still queued for the old connection are lost with it;
        # their waiters are cancelled by the reset below.
        self._epoch += 1
        self._inbox.put(("new_session",))
        self.messaging.reset()
        self._restamp_roots()

    def _restamp_roots(self):
        # messaging.reset() re-stamps all five roots itself; repeating it
        # keeps them usable with a ``module`` whose reset does not.
        guid = self.messaging._guid
        for name in ROOT_PROXIES:
            proxy = getattr(self._cl, name, None)
            if proxy is not None:
                try:
                    proxy._msg_guid = guid
                except Exception:
                    log.exception("could not re-stamp com_like.%s", name)

    # ------------------------------------------------------------ requests

    def _send(self, message):
        if not self._running:
            raise RuntimeError("the local host is stopped")
        with self._lock:
            self._requests[message.get("method")] += 1
        me = threading.current_thread()
        if me is self._listener or me is self._addin_thread:
            if message.get("method") == "DEL":
                self._inbox.put(("request", self._epoch, message, None))
                self.messaging.on_message({"requestId": message.get("requestId"), "ok": True,
                                           "result": {"type": "Null", "value": None,
                                                      "isSpec": False}})
                return
            raise RuntimeError("an Excel proxy was used on the host's %s thread, which would "
                               "wait forever for its own response; use proxies from worker "
                               "threads or callbacks" % me.name)
        self._inbox.put(("request", self._epoch, message, threading.get_ident()))

    def request_counts(self):
        with self._lock:
            return dict(self._requests)

    def reset_counts(self):
        with self._lock:
            self._requests.clear()

    def format_counts(self):
        counts = self.request_counts()
        order = ["GET", "GETITEM", "SET", "CALL", "DEL"]
        keys = order + sorted(k for k in counts if k not in order)
        parts = ["%s %d" % (k, counts.get(k, 0)) for k in keys if k in order or counts.get(k)]
        return "requests: %d (%s)" % (sum(counts.values()), ", ".join(parts))

    # ------------------------------------------------------------ threads

    def _addin_loop(self):
        while True:
            item = self._inbox.get()
            kind = item[0]
            try:
                if kind == "stop":
                    return
                if kind == "request":
                    _, epoch, message, origin = item
                    if epoch != self._epoch:
                        continue
                    self._outbox.put(("response", self.addin.handle(message, origin)))
                elif kind == "new_session":
                    self.addin.new_session()
                elif kind == "callback_done":
                    try:
                        self.addin.callback_finished(*item[1:])
                    finally:
                        # Counted down only here, so that a caller of
                        # wait_callbacks also finds the add-in informed.
                        with self._lock:
                            self._pending -= 1
                            self._idle.notify_all()
            except Exception:
                log.exception("add-in thread: failed on %r", kind)

    def _from_addin(self, event):
        # Runs on the add-in thread while it handles a request, so the
        # count goes up before that request's response is delivered.
        if event[0] == "invoke":
            with self._lock:
                self._pending += 1
        self._outbox.put(event)

    def _listen_loop(self):
        while True:
            item = self._outbox.get()
            kind = item[0]
            try:
                if kind == "stop":
                    return
                if kind == "response":
                    self.messaging.on_message(item[1])
                elif kind == "invoke":
                    _, cid, args, inv = item
                    # Resolved here, in order with releases: a release that
                    # follows this invocation must not make it miss.
                    self._callbacks.put(("run", cid, self.messaging.get_callable(cid), args, inv))
                elif kind == "release":
                    self.messaging.unregister_callable(item[1])
                elif kind == "reconnect":
                    try:
                        self._do_reconnect()
                    finally:
                        item[1].set()
            except Exception:
                log.exception("listener thread: failed on %r", kind)

    def _callback_loop(self):
        while True:
            item = self._callbacks.get()
            if item[0] == "stop":
                return
            _, cid, fn, records, inv = item
            ok, error, args = True, None, None
            try:
                if fn is None:
                    raise LookupError("callable %s is not registered (released, or from before a "
                                      "reconnect)" % cid)
                args = [self._cl.Serializer.from_wire(r) for r in records]
                fn(*args)
            except Exception as e:
                ok, error = False, "%s: %s" % (type(e).__name__, e)
                log.exception("callback %s failed", cid)
                with self._lock:
                    self.callback_errors.append((cid, e))
            finally:
                args = None   # drop the argument proxies (their DELs) on this thread
                self._inbox.put(("callback_done", inv, ok, error))

    # ------------------------------------------------------------ callbacks

    def wait_callbacks(self, timeout=5.0):
        """Block until every callback the add-in has asked for so far has
        run. Returns False on time-out."""
        end = time.monotonic() + timeout
        with self._lock:
            while self._pending:
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self._idle.wait(left)
        return True

    def check_callbacks(self, timeout=5.0):
        """Wait for callbacks, then raise CallbackError if any has failed
        since the last check."""
        if not self.wait_callbacks(timeout):
            raise CallbackError("callbacks still running after %.1f s" % timeout)
        with self._lock:
            errors, self.callback_errors = self.callback_errors, []
        if errors:
            cid, first = errors[0]
            raise CallbackError("%d callback(s) failed; first: %s raised %s: %s"
                                % (len(errors), cid, type(first).__name__, first)) from first
