"""What every host does, whatever carries its messages to the add-in.

``HostCore`` installs the send handler on ``com_like.messaging``, answers a
DEL at once and forwards released object ids in batches, runs the
add-in's calls of Python callables on worker threads, drops callables the
add-in lets go of, and resets messaging when a session ends or another
replaces it. A transport (the WebSocket server, or the simulated add-in's
in-process queues) moves the messages and reports back through the
``on_*`` methods, always from its listener thread.

Transport interface (all may raise; none is called with a lock held):

* ``send_request(message, release_ids)`` on the requesting thread;
* ``send_release(ids)`` on the core's release thread;
* ``send_callback_result(call_id, ok, result_record, error_text, done)``
  on a callback worker; ``done()`` must be called once the add-in has it
  (or it is lost), which is what ``wait_callbacks`` waits for.

Threads of the transport that deliver responses mark themselves with
``mark_internal_thread``: a request made on one of them could never be
answered, so it is refused (a DEL, which garbage collection may issue
anywhere, is acknowledged at once as always).
"""

import collections
import logging
import queue
import threading
import time

from . import wire

log = logging.getLogger(__name__)

ROOT_PROXIES = ("Context", "Excel", "GetSetting", "Union", "Intersect")
FIXED_IDS = frozenset(range(6))

# Releases wait for a pause this long in the stream of DELs (or for the
# next request), so that dropping a large result costs a frame or two.
RELEASE_IDLE = 0.05
RELEASE_MAX_WAIT = 5.0
RELEASE_MAX_IDS = 200_000

_active_lock = threading.Lock()
_active = None


class CallbackError(RuntimeError):
    """Raised by ``check_callbacks`` for callbacks that failed."""


class HostCore:
    def __init__(self, transport, *, owner=None, module=None, callback_threads=1,
                 thread_prefix="host"):
        if module is None:
            import com_like as module
        self._cl = module
        self.messaging = module.messaging
        self.transport = transport
        self.owner = owner if owner is not None else self
        self._prefix = thread_prefix
        self._n_workers = max(1, int(callback_threads))
        self._internal = threading.local()
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._requests = collections.Counter()
        self.callback_errors = []          # (callable id, exception), oldest first
        self._pending = 0                  # callbacks received, not yet answered
        self._epoch = 0
        self._releases = []
        self._release_first = self._release_last = 0.0
        self._release_cv = threading.Condition(self._lock)
        self.release_frames = 0            # frames that carried only releases
        self._running = False
        self.threads = []

    # ------------------------------------------------------------ lifecycle

    def start(self):
        global _active
        with _active_lock:
            if self._running:
                return self
            if _active is not None:
                raise RuntimeError("another %s is running; stop it before starting one more "
                                   "(com_like has a single messaging channel)"
                                   % type(_active.owner).__name__)
            _active = self
        self._callbacks = queue.SimpleQueue()
        self.threads = [threading.Thread(target=self._callback_loop, daemon=True,
                                         name="%s-callback-%d" % (self._prefix, i))
                        for i in range(self._n_workers)]
        self.threads.append(threading.Thread(target=self._release_loop, daemon=True,
                                             name="%s-release" % self._prefix))
        self._running = True
        for t in self.threads:
            t.start()
        self.restamp_roots()
        self.messaging.set_send_handler(self._send)
        return self

    def stop(self, timeout=1.0):
        """Remove the handler, reset messaging (waiting callers get
        CancelledError at once), end the threads."""
        global _active
        if not self._running:
            return
        self._running = False
        self.messaging.set_send_handler(None)
        with self._lock:
            self._epoch += 1
            self._releases = []
            self._release_cv.notify_all()
        for _ in range(self._n_workers):
            self._callbacks.put(None)
        self.messaging.reset()
        self.restamp_roots()
        deadline = time.monotonic() + timeout
        for t in self.threads:
            if t is not threading.current_thread():
                t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self.threads if t.is_alive()]
        if stuck:
            log.warning("host stop: threads still running after %.1f s: %s "
                        "(a callback that does not return?)", timeout, ", ".join(stuck))
        with _active_lock:
            if _active is self:
                _active = None

    @property
    def running(self):
        return self._running

    @property
    def epoch(self):
        return self._epoch

    def mark_internal_thread(self):
        self._internal.flag = True

    def session_reset(self, then=None):
        """The add-in's session ended or another replaced it: every id,
        pending release and callable of the old one is void. ``then`` runs
        after the old session's traffic is cut off, before the reset."""
        with self._lock:
            self._epoch += 1
            self._releases = []
        if then is not None:
            then()
        self.messaging.reset()
        self.restamp_roots()

    def restamp_roots(self):
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
            raise RuntimeError("the host is stopped")
        method = message.get("method")
        with self._lock:
            self._requests[method] += 1
            if method == "DEL":
                caller = message.get("caller")
                if caller not in FIXED_IDS:
                    if not self._releases:
                        self._release_first = time.monotonic()
                    self._releases.append(caller)
                    self._release_last = time.monotonic()
                    if len(self._releases) == 1 or len(self._releases) >= RELEASE_MAX_IDS:
                        self._release_cv.notify()
        if method == "DEL":
            self.messaging.on_message(wire.ok(message.get("requestId")))
            return
        if getattr(self._internal, "flag", False):
            raise RuntimeError("an Excel proxy was used on the host's %s thread, which would "
                               "wait forever for its own response; use proxies from worker "
                               "threads or callbacks" % threading.current_thread().name)
        with self._lock:
            release, self._releases = self._releases, []
        self.transport.send_request(message, release)

    def _release_loop(self):
        self.mark_internal_thread()
        with self._lock:
            while self._running:
                if not self._releases:
                    self._release_cv.wait()
                    continue
                now = time.monotonic()
                due = min(self._release_last + RELEASE_IDLE,
                          self._release_first + RELEASE_MAX_WAIT)
                if now < due and len(self._releases) < RELEASE_MAX_IDS:
                    self._release_cv.wait(due - now)
                    continue
                ids, self._releases = self._releases, []
                self.release_frames += 1
                self._lock.release()
                try:
                    self.transport.send_release(ids)
                except Exception as e:
                    # The session is gone; its ids went with it.
                    log.debug("releases not sent: %s", e)
                finally:
                    self._lock.acquire()

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

    # ------------------------------------------------------------ from the add-in

    def on_response(self, response):
        self.messaging.on_message(response)

    def on_callback(self, call_id, callable_id, arg_records):
        # Resolved here, in order with releases: a release that follows
        # this call must not make it miss.
        fn = self.messaging.get_callable(callable_id) if type(callable_id) is str else None
        with self._lock:
            self._pending += 1
            epoch = self._epoch
        self._callbacks.put((call_id, callable_id, fn, arg_records, epoch))

    def on_release_callables(self, ids):
        for cid in ids:
            if type(cid) is str:
                self.messaging.unregister_callable(cid)

    # ------------------------------------------------------------ callbacks

    def _callback_loop(self):
        while True:
            item = self._callbacks.get()
            if item is None:
                return
            call_id, cid, fn, records, epoch = item
            if epoch != self._epoch:
                # Its session is gone, and with it whoever waited for the answer.
                self._callback_done()
                continue
            ok, error, result, args, value = True, None, None, None, None
            try:
                if fn is None:
                    raise LookupError("callable %s is not registered (released, or from before "
                                      "a reconnect)" % cid)
                args = [self._cl.Serializer.from_wire(r) for r in records]
                value = fn(*args)
                result = self._cl.Serializer.to_wire(value)
            except Exception as e:
                ok, error, result = False, "%s: %s" % (type(e).__name__, e), None
                log.exception("callback %s failed", cid)
                with self._lock:
                    self.callback_errors.append((cid, e))
            finally:
                # Drop the argument and result proxies (their DELs) here.
                args = value = None
            if epoch != self._epoch:
                self._callback_done()
                continue
            try:
                self.transport.send_callback_result(call_id, ok, result, error, self._callback_done)
            except Exception as e:
                log.debug("callback result %s not delivered: %s", call_id, e)
                self._callback_done()

    def _callback_done(self):
        with self._lock:
            self._pending -= 1
            self._idle.notify_all()

    def wait_callbacks(self, timeout=5.0):
        """Block until every callback the add-in has asked for so far has
        run and been answered. Returns False on time-out."""
        end = time.monotonic() + timeout
        with self._lock:
            while self._pending > 0:
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


class HostFacade:
    """What both transports show of their core, for user scripts and tests
    that run under either host."""

    def request_counts(self):
        return self.core.request_counts()

    def reset_counts(self):
        self.core.reset_counts()

    def format_counts(self):
        return self.core.format_counts()

    def wait_callbacks(self, timeout=5.0):
        """Block until every callback the add-in has asked for so far has
        run. Returns False on time-out."""
        return self.core.wait_callbacks(timeout)

    def check_callbacks(self, timeout=5.0):
        """Wait for callbacks, then raise CallbackError if any has failed
        since the last check."""
        return self.core.check_callbacks(timeout)

    @property
    def callback_errors(self):
        return self.core.callback_errors

    @callback_errors.setter
    def callback_errors(self, value):
        self.core.callback_errors = value
