"""What every host does, whatever carries its messages to the add-in.

``HostCore`` installs the send handler on ``com_like.messaging``, answers a
DEL at once and forwards released object ids in batches, runs the
add-in's calls of Python callables on worker threads, drops callables the
add-in lets go of, and resets messaging when a session ends or another
replaces it. A transport (the WebSocket server, or the simulated add-in's
in-process queues) moves the messages and reports back through the
``on_*`` methods, always from its listener thread; what it must provide is
``transport.Transport``.

The core waits for each answer itself (``waits``) and hands it to messaging
before the send handler returns: its limit, ``request_timeout``, counts
from the add-in's last progress report. An answer that arrives after its
caller stopped waiting hands its objects to nobody, so they are released.
A callback running past ``callback_timeout`` is answered as failed by the
watchdog thread, and a new worker replaces the one it holds.

Callbacks run on ``callback_threads`` workers, so several may run at once,
except that the calls of one event source (the add-in names it, e.g. one
worksheet's changes) run one at a time in the order they arrived: each
waits in its source's lane until the one before it has returned (or was
given up at its time limit). Calls with no source (a Python function that
Office.js calls from inside a call) never wait behind an event: they may be
what that event's handler is waiting for.

Threads of the transport that deliver responses mark themselves with
``mark_internal_thread``: a request made on one of them could never be
answered, so it is refused (a DEL, which garbage collection may issue
anywhere, is acknowledged at once as always).
"""

from __future__ import annotations

import builtins
import collections
import itertools
import logging
import math
import queue
import threading
import time
import traceback
from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeVar

from . import progress as progress_bar
from .transport import Transport
from .wire import FIXED_IDS, ROOT_PROXIES
from . import waits as waits_mod
from . import wire

log = logging.getLogger(__name__)


# Releases wait for a pause this long in the stream of DELs (or for the
# next request), so that dropping a large result costs a frame or two.
RELEASE_IDLE = 0.05
RELEASE_MAX_WAIT = 5.0
RELEASE_MAX_IDS = 200_000

# A callback running longer than the host's callback_timeout is answered as
# failed and its thread given up; a new worker takes its place, up to this
# many given-up threads still running at once.
DEFAULT_CALLBACK_TIMEOUT = 60.0
MAX_ABANDONED = 16

# Failed callbacks kept for check_callbacks: the first and the last few.
KEEP_FIRST_ERRORS = 5
KEEP_LAST_ERRORS = 5

PLAIN_TAGS = frozenset(("Null", "Undefined", "Bool", "Int", "Float", "String", "Date", "Bytes"))

_active_lock = threading.Lock()
_active = None


def _refuse_stopped(message):
    raise RuntimeError("No send handler registered: the host was stopped")


class CallbackError(RuntimeError):
    """Raised by ``check_callbacks`` for callbacks that failed."""


class CallbackTimeout(TimeoutError):
    """What a callback past the host's time limit is recorded as."""


StuckCallback = collections.namedtuple("StuckCallback", "callable_id seconds")


class CallbackErrors(list):
    """``(callable id, exception)`` of failed callbacks, oldest first: the
    first and the last few are kept, ``dropped`` counts those let go in
    between and ``total`` all of them."""

    def __init__(self, iterable: Iterable[tuple[Any, BaseException]] = ()) -> None:
        super().__init__(iterable)
        self.dropped = 0

    @property
    def total(self) -> int:
        return len(self) + self.dropped

    def add(self, entry: tuple[Any, BaseException]) -> tuple[Any, BaseException] | None:
        """Append; returns the entry let go to stay in bounds (None if
        none), for the caller to drop with no lock held."""
        self.append(entry)
        if len(self) > KEEP_FIRST_ERRORS + KEEP_LAST_ERRORS:
            self.dropped += 1
            return self.pop(KEEP_FIRST_ERRORS)
        return None

    def clear(self) -> None:
        super().clear()
        self.dropped = 0

    def __delitem__(self, key):
        super().__delitem__(key)
        if not self:
            self.dropped = 0


def release_frames(exc: BaseException | None) -> None:
    """Clears the locals of the finished frames of ``exc``'s traceback and
    of every exception chained to it: a kept error must not keep the
    callback's proxies (and their add-in objects) alive."""
    group = getattr(builtins, "BaseExceptionGroup", ())
    seen, todo = set(), [exc]
    while todo:
        e = todo.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        traceback.clear_frames(e.__traceback__)
        todo += (e.__cause__, e.__context__)
        if group and isinstance(e, group):
            todo.extend(e.exceptions)


def handed_out(record: Any) -> list[int]:
    """The add-in object ids a result record hands out (references, and
    arrays and dicts that stand for an object), nested ones included."""
    ids, todo = [], [record]
    while todo:
        r = todo.pop()
        if type(r) is not dict:
            continue
        tag = r.get("type")
        if r.get("isSpec"):
            if tag not in PLAIN_TAGS and tag != "Python_Function":
                ids.append(r.get("value"))
            continue
        if tag in ("Array", "Dict"):
            ids.append(r.get("id"))
            items = r.get("value")
            if type(items) is list:
                todo.extend(items)
            elif type(items) is dict:
                todo.extend(items.values())
    return [i for i in ids if type(i) is int and i not in FIXED_IDS]


def _seconds(value, name="callback_timeout"):
    if value is None:
        return None
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value <= 0):
        raise ValueError("%s must be a number of seconds > 0 or None, got %r" % (name, value))
    return float(value)


class _Call:
    __slots__ = ("call_id", "cid", "epoch", "lane", "started")

    def __init__(self, call_id, cid, epoch, lane):
        self.call_id, self.cid, self.epoch, self.lane = call_id, cid, epoch, lane
        self.started = time.monotonic()


class _Workers:
    """The callback workers of one ``start``; a given-up thread that returns
    after a ``stop`` finds its run stopped."""

    def __init__(self):
        self.queue = queue.SimpleQueue()
        self.stopped = False
        self.live = 0          # threads taking calls
        self.running = {}      # thread ident -> _Call running on it
        self.abandoned = {}    # thread ident -> _Call past its time limit, still running
        # (epoch, event source) -> calls waiting behind the one of that
        # source now queued or running; a key is present while one is.
        self.lanes = {}

    def next_in_lane(self, lane):
        """The call that may start now that ``lane``'s call is over (None:
        the lane is idle). Called with the core's lock held."""
        if lane is None:
            return None
        waiting = self.lanes.get(lane)
        if waiting:
            return waiting.popleft()
        self.lanes.pop(lane, None)
        return None

    def flush_lanes(self):
        """Every waiting call, lanes emptied: for a session that ended, whose
        calls are only counted off. Called with the core's lock held."""
        items = [item for waiting in self.lanes.values() for item in waiting]
        self.lanes.clear()
        return items


class HostCore:
    DEFAULT_CALLBACK_TIMEOUT = DEFAULT_CALLBACK_TIMEOUT

    # ``module``: com_like, or anything with its messaging and root proxies.
    def __init__(self, transport: Transport, *, owner: object | None = None, module: Any = None,
                 callback_threads: int = 1, thread_prefix: str = "host",
                 callback_timeout: float | None = DEFAULT_CALLBACK_TIMEOUT,
                 request_timeout: float = waits_mod.DEFAULT_REQUEST_TIMEOUT,
                 progress: bool | None = None) -> None:
        if module is None:
            import com_like as module
        self._cl = module
        self.messaging = module.messaging
        self.transport = transport
        self.owner = owner if owner is not None else self
        self._prefix = thread_prefix
        self._n_workers = max(1, int(callback_threads))
        self.callback_timeout = _seconds(callback_timeout)
        self.request_timeout = _seconds(request_timeout, "request_timeout")
        if self.request_timeout is None:
            raise ValueError("request_timeout must be a number of seconds > 0")
        self.progress = progress           # bool, or None: when output is interactive
        self.waits = waits_mod.Waits()
        self.cancel_grace = waits_mod.CANCEL_GRACE
        self._internal = threading.local()
        # Re-entrant: garbage collection may run a dropped proxy's finaliser
        # on a thread inside one of the sections below, and its DEL comes
        # back into _send there. That path only counts and queues the id.
        self._lock = threading.RLock()
        self._idle = threading.Condition(self._lock)
        self._requests = self._no_requests()
        self._errors = CallbackErrors()
        self._pending = 0                  # callbacks received, not yet answered
        self._epoch = 0
        self._releases: list[int] = []
        self._release_first = self._release_last = 0.0
        self._release_cv = threading.Condition(self._lock)
        self._watch_cv = threading.Condition(self._lock)
        self.release_frames = 0            # frames that carried only releases
        self._running = False
        self.last_reset: float | None = None   # time.time() of the last session reset
        self._workers = _Workers()
        self._worker_numbers = itertools.count()
        self.threads: list[threading.Thread] = []

    # ------------------------------------------------------------ lifecycle

    def start(self) -> HostCore:
        global _active
        with _active_lock:
            if self._running:
                return self
            if _active is not None:
                raise RuntimeError("another %s is running; stop it before starting one more "
                                   "(com_like has a single messaging channel)"
                                   % type(_active.owner).__name__)
            _active = self
        run = self._workers = _Workers()
        run.live = self._n_workers
        self._worker_numbers = itertools.count()
        self.threads = [self._worker_thread(run) for _ in range(self._n_workers)]
        self.threads.append(threading.Thread(target=self._release_loop, daemon=True,
                                             name="%s-release" % self._prefix))
        if self.callback_timeout is not None:
            self.threads.append(threading.Thread(target=self._watch_loop, args=(run,),
                                                 daemon=True, name="%s-watchdog" % self._prefix))
        self._running = True
        for t in self.threads:
            t.start()
        self.restamp_roots()
        self.messaging.set_send_handler(self._send)
        return self

    def stop(self, timeout: float = 1.0) -> None:
        """Remove the handler, reset messaging (waiting callers get
        CancelledError at once), end the threads."""
        global _active
        if not self._running:
            return
        self._running = False
        # Not None: a request that already found a handler calls it again
        # (it is read twice), and must get this error, not "'NoneType'
        # object is not callable".
        self.messaging.set_send_handler(_refuse_stopped)
        run = self._workers
        with self._lock:
            self._epoch += 1
            self._releases = []
            self._release_cv.notify_all()
            run.stopped = True
            self._watch_cv.notify_all()
            given_up = dict(run.abandoned)      # thread ident -> _Call
            ends = run.live + len(given_up)
            waiting = run.flush_lanes()
        for item in waiting:
            run.queue.put(item)
        for _ in range(ends):
            run.queue.put(None)
        self.messaging.reset()
        self.waits.cancel_all()
        self.restamp_roots()
        deadline = time.monotonic() + timeout
        for t in self.threads:
            if t is not threading.current_thread() and t.ident not in given_up:
                t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self.threads if t.is_alive() and t.ident not in given_up]
        if stuck:
            log.warning("host stop: threads still running after %.1f s: %s "
                        "(a callback that does not return?)", timeout, ", ".join(stuck))
        if given_up:
            log.warning("host stop: %d callback(s) past their time limit still running: %s",
                        len(given_up), ", ".join(str(c.cid) for c in given_up.values()))
        with _active_lock:
            if _active is self:
                _active = None

    @property
    def running(self) -> bool:
        return self._running

    @property
    def epoch(self) -> int:
        return self._epoch

    def mark_internal_thread(self) -> None:
        self._internal.flag = True

    def session_reset(self, then: Callable[[], object] | None = None) -> None:
        """The add-in's session ended or another replaced it: every id,
        pending release and callable of the old one is void. ``then`` runs
        after the old session's traffic is cut off, before the reset."""
        run = self._workers
        with self._lock:
            self._epoch += 1
            self._releases = []
            waiting = run.flush_lanes()
        self.last_reset = time.time()
        for item in waiting:
            run.queue.put(item)     # counted off: their session is gone
        if then is not None:
            then()
        self.messaging.reset()
        self.waits.cancel_all()
        self.restamp_roots()

    def restamp_roots(self) -> None:
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
                    self._queue_releases_locked([caller])
        if method == "DEL":
            self.messaging.on_message(wire.ok(message.get("requestId")))
            return
        if getattr(self._internal, "flag", False):
            raise RuntimeError("an Excel proxy was used on the host's %s thread, which would "
                               "wait forever for its own response; use proxies from worker "
                               "threads or callbacks" % threading.current_thread().name)
        with self._lock:
            release, self._releases = self._releases, []
            epoch = self._epoch
        rid = message.get("requestId")
        wait = self.waits.add(rid, method)
        try:
            sending = self.transport.send_request(message, release)
        except BaseException:
            self.waits.drop(wait)
            # The frame did not go out (a stale argument, a value that does
            # not encode, a closed session): its releases are still owed.
            if release:
                self._queue_releases(release, epoch)
            raise
        bar = progress_bar.Progress(progress_bar.wanted(self.progress),
                                    "writing" if method == "SET" else "reading",
                                    started=wait.last)
        response, error = self.waits.wait(wait, sending, self.request_timeout,
                                          self._send_cancel, bar, self.cancel_grace)
        if response is not None:
            self.messaging.on_message(response)
            if error is not None:
                # Nobody will decode it: what it hands out is held by no proxy.
                ids = handed_out(response.get("result"))
                if ids:
                    self._queue_releases(ids, epoch)
        if error is not None:
            raise error

    def _send_cancel(self, rid):
        # On a thread of its own: the frame may queue behind a large one.
        threading.Thread(target=self._cancel_quietly, args=(rid,), daemon=True,
                         name="%s-cancel" % self._prefix).start()

    def _cancel_quietly(self, rid):
        try:
            self.transport.send_cancel(rid)
        except Exception as e:
            log.debug("cancel of %r not sent: %s", rid, e)

    def _queue_releases_locked(self, ids, front=False):
        now = time.monotonic()
        was = len(self._releases)
        if not was:
            self._release_first = now
        if front:
            self._releases[:0] = ids
        else:
            self._releases.extend(ids)
        self._release_last = now
        if not was or len(self._releases) >= RELEASE_MAX_IDS:
            self._release_cv.notify()

    def _queue_releases(self, ids, epoch):
        """Queue ``ids`` for release unless their session has ended since."""
        with self._lock:
            if epoch == self._epoch and self._running:
                self._queue_releases_locked(ids, front=True)

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

    @staticmethod
    def _no_requests() -> collections.Counter[str]:
        # "DEL" is there from the start, so that a DEL counted by a finaliser
        # while a copy is being made changes a value, never the keys.
        return collections.Counter(DEL=0)

    def request_counts(self) -> dict[str, int]:
        with self._lock:
            return {k: v for k, v in self._requests.items() if v}

    def reset_counts(self) -> None:
        with self._lock:
            self._requests = self._no_requests()

    def format_counts(self) -> str:
        counts = self.request_counts()
        order = ["GET", "GETITEM", "SET", "CALL", "DEL"]
        keys = order + sorted(k for k in counts if k not in order)
        parts = ["%s %d" % (k, counts.get(k, 0)) for k in keys if k in order or counts.get(k)]
        return "requests: %d (%s)" % (sum(counts.values()), ", ".join(parts))

    # ------------------------------------------------------------ from the add-in

    def on_response(self, response: dict[str, Any]) -> None:
        if self.waits.answer(response):
            return
        epoch = self._epoch
        told = self.waits.given_up(response.get("requestId"))
        if told is not None and response.get("ok"):
            log.warning("request %r, which its caller was told had %s, completed after all",
                        response.get("requestId"), told)
        try:
            waiter = self.messaging.waiters.get(response.get("requestId"))
        except Exception:
            # Who waits cannot be told: leave its objects alone.
            self.messaging.on_message(response)
            return
        self.messaging.on_message(response)
        if waiter is not None and told is None and _delivered(waiter, response):
            return
        # Nobody waits for it (its request timed out): whatever it hands out
        # is held by no proxy, so the add-in may let it go.
        ids = handed_out(response.get("result"))
        if ids:
            log.debug("late answer to request %r: releasing %d object(s)",
                      response.get("requestId"), len(ids))
            self._queue_releases(ids, epoch)

    def on_progress(self, request_id: Any, report: Any) -> None:
        """The add-in's report of how far a request has got: it moves the
        request's time limit on."""
        self.waits.progress(request_id, report)

    def on_callback(self, call_id: Any, callable_id: Any, arg_records: Any,
                    source: str | None = None) -> None:
        """A call of a Python function; ``source`` (text) names the event
        source whose handler it is, None for other calls."""
        # Resolved here, in order with releases: a release that follows
        # this call must not make it miss.
        fn = self.messaging.get_callable(callable_id) if type(callable_id) is str else None
        run = self._workers
        with self._lock:
            self._pending += 1
            epoch = self._epoch
            lane = (epoch, source) if type(source) is str else None
            item = (call_id, callable_id, fn, arg_records, epoch, lane)
            if lane is not None:
                waiting = run.lanes.get(lane)
                if waiting is not None:
                    waiting.append(item)    # after the one of its source now running
                    return
                run.lanes[lane] = collections.deque()
        run.queue.put(item)

    def on_release_callables(self, ids: Iterable[Any]) -> None:
        for cid in ids:
            if type(cid) is str:
                self.messaging.unregister_callable(cid)

    # ------------------------------------------------------------ callbacks

    @property
    def callback_errors(self) -> CallbackErrors:
        return self._errors

    @callback_errors.setter
    def callback_errors(self, value: Iterable[tuple[Any, BaseException]]) -> None:
        self._errors = value if isinstance(value, CallbackErrors) else CallbackErrors(value)

    def _worker_thread(self, run):
        return threading.Thread(target=self._callback_loop, args=(run,), daemon=True,
                                name="%s-callback-%d" % (self._prefix, next(self._worker_numbers)))

    def _callback_loop(self, run):
        me = threading.get_ident()
        while True:
            item = run.queue.get()
            if item is None:
                return
            call_id, cid, fn, records, epoch, lane = item
            if epoch != self._epoch:
                # Its session is gone, and with it whoever waited for the answer.
                with self._lock:
                    after = run.next_in_lane(lane)
                if after is not None:
                    run.queue.put(after)
                self._callback_done()
                continue
            with self._lock:
                run.running[me] = _Call(call_id, cid, epoch, lane)
                self._watch_cv.notify()
            ok, error, result, args, value, failure = True, None, None, None, None, None
            try:
                if fn is None:
                    raise LookupError("callable %s is not registered (released, or from before "
                                      "a reconnect)" % cid)
                args = [self._cl.Serializer.from_wire(r) for r in records]
                value = fn(*args)
                result = self._cl.Serializer.to_wire(value)
            except Exception as e:
                ok, error, result, failure = False, "%s: %s" % (type(e).__name__, e), None, e
                log.exception("callback %s failed", cid)
            finally:
                # Drop the argument and result proxies (their DELs) here.
                args = value = None
            if failure is not None:
                release_frames(failure)
            evicted = after = None
            with self._lock:
                late = run.abandoned.pop(me, None)
                if late is None:
                    del run.running[me]
                    if failure is not None:
                        evicted = self._errors.add((cid, failure))
                    # The next call of its source may start (a call given
                    # up at its time limit let the next one go already).
                    after = run.next_in_lane(lane)
                else:
                    stay = not run.stopped and run.live < self._n_workers
                    if stay:
                        run.live += 1
            # What the record let go of, and the failure, are dropped here,
            # outside the lock: their finalizers may send DELs.
            del evicted, failure
            if after is not None:
                run.queue.put(after)
            if late is not None:
                # Already answered as failed by the watchdog.
                log.warning("callback %s returned after %.1f s, past its time limit; its "
                            "answer was already given", cid, time.monotonic() - late.started)
                if not stay:
                    return
                continue
            if epoch != self._epoch:
                self._callback_done()
                continue
            try:
                self.transport.send_callback_result(call_id, ok, result, error, self._callback_done)
            except Exception as e:
                log.debug("callback result %s not delivered: %s", call_id, e)
                self._callback_done()

    def _watch_loop(self, run):
        self.mark_internal_thread()
        limit = self.callback_timeout
        while True:
            with self._lock:
                if run.stopped:
                    return
                now = time.monotonic()
                expired = [(t, c) for t, c in run.running.items() if now - c.started >= limit]
                if not expired:
                    due = min((c.started + limit for c in run.running.values()), default=None)
                    self._watch_cv.wait(None if due is None else due - now)
                    continue
                spawn = 0
                after = []
                for t, c in expired:
                    del run.running[t]
                    run.abandoned[t] = c
                    run.live -= 1
                    if len(run.abandoned) <= MAX_ABANDONED:
                        run.live += 1
                        spawn += 1
                    nxt = run.next_in_lane(c.lane)
                    if nxt is not None:
                        after.append(nxt)
                n_abandoned = len(run.abandoned)
            for item in after:
                run.queue.put(item)
            for _, call in expired:
                self._give_up(call, limit)
            if spawn < len(expired):
                log.error("%d callbacks are past their time limit and still running (at most %d "
                          "get a replacement worker); later callbacks wait for a free worker",
                          n_abandoned, MAX_ABANDONED)
            for _ in range(spawn):
                t = self._worker_thread(run)
                self.threads.append(t)
                t.start()

    def _give_up(self, call, limit):
        exc = CallbackTimeout("callback %s did not return within %g s; it was answered as "
                              "failed and its thread given up" % (call.cid, limit))
        log.error("%s", exc)
        with self._lock:
            evicted = self._errors.add((call.cid, exc))
        evicted = None  # noqa: F841  (dropped with no lock held)
        if call.epoch != self._epoch:
            self._callback_done()
            return
        try:
            self.transport.send_callback_result(call.call_id, False, None,
                                                "%s: %s" % (type(exc).__name__, exc),
                                                self._callback_done)
        except Exception as e:
            log.debug("callback result %s not delivered: %s", call.call_id, e)
            self._callback_done()

    def stuck_callbacks(self) -> list[StuckCallback]:
        """The callbacks past the time limit that are still running, as
        ``(callable_id, seconds)`` running, longest first."""
        now = time.monotonic()
        with self._lock:
            calls = list(self._workers.abandoned.values())
        return sorted((StuckCallback(c.cid, now - c.started) for c in calls),
                      key=lambda s: -s.seconds)

    def _callback_done(self):
        with self._lock:
            self._pending -= 1
            self._idle.notify_all()

    def wait_callbacks(self, timeout: float = 5.0) -> bool:
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

    def check_callbacks(self, timeout: float = 5.0) -> None:
        """Wait for callbacks, then raise CallbackError if any has failed
        since the last check."""
        if not self.wait_callbacks(timeout):
            raise CallbackError("callbacks still running after %.1f s" % timeout)
        with self._lock:
            errors, self._errors = self._errors, CallbackErrors()
        if errors:
            cid, first = errors[0]
            total = errors.total if isinstance(errors, CallbackErrors) else len(errors)
            raise CallbackError("%d callback(s) failed; first: %s raised %s: %s"
                                % (total, cid, type(first).__name__, first)) from first


def _delivered(future, response):
    """Whether messaging handed ``response`` to the caller waiting on ``future``."""
    try:
        return (future.done() and not future.cancelled() and future.exception(0) is None
                and future.result(0) is response)
    except Exception:
        return False


STALE_TEXT = "Excel Object used after messaging context was stopped"


def stale_note(host: object, exc: BaseException) -> str | None:
    """Words for a user who met a proxy of an earlier connection (the
    module's own text is fixed and short); None for any other error."""
    if not isinstance(exc, RuntimeError) or str(exc) != STALE_TEXT:
        return None
    when = getattr(getattr(host, "core", None), "last_reset", None)
    at = (" at %s" % time.strftime("%H:%M:%S", time.localtime(when))) if when else ""
    return ("This Excel object belonged to the task pane's earlier connection, which ended%s "
            "(the pane reconnected, or the host restarted): the add-in's objects went with it. "
            "Fetch it again from com_like.Context, e.g. "
            "com_like.Context.workbook.worksheets.getItem(name)." % at)


_H = TypeVar("_H", bound="HostFacade")


class HostFacade:
    """What both hosts show, for user scripts and tests that run under
    either: one lifecycle (running once made, ``close()`` ends it for good,
    also as a context manager) and what their core counts and keeps."""

    core: HostCore
    _closed: bool

    def close(self) -> None:
        """Stop carrying requests; closing again does nothing."""
        raise NotImplementedError

    @property
    def closed(self) -> bool:
        """Whether ``close()`` was called."""
        return self._closed

    @property
    def running(self) -> bool:
        """Whether the host carries requests: made, and neither it nor its
        core stopped."""
        return not self._closed and self.core.running

    def __enter__(self: _H) -> _H:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def request_counts(self) -> dict[str, int]:
        return self.core.request_counts()

    def reset_counts(self) -> None:
        self.core.reset_counts()

    def format_counts(self) -> str:
        return self.core.format_counts()

    def wait_callbacks(self, timeout: float = 5.0) -> bool:
        """Block until every callback the add-in has asked for so far has
        run. Returns False on time-out."""
        return self.core.wait_callbacks(timeout)

    def check_callbacks(self, timeout: float = 5.0) -> None:
        """Wait for callbacks, then raise CallbackError if any has failed
        since the last check."""
        return self.core.check_callbacks(timeout)

    def stuck_callbacks(self) -> list[StuckCallback]:
        """Callbacks past ``callback_timeout`` still running: ``(callable_id,
        seconds)``, longest first."""
        return self.core.stuck_callbacks()

    @property
    def callback_timeout(self) -> float | None:
        return self.core.callback_timeout

    @property
    def request_timeout(self) -> float:
        """Seconds a request may go without an answer or a progress report."""
        return self.core.request_timeout

    @request_timeout.setter
    def request_timeout(self, value: float) -> None:
        seconds = _seconds(value, "request_timeout")
        if seconds is None:
            raise ValueError("request_timeout must be a number of seconds > 0")
        self.core.request_timeout = seconds

    @property
    def progress(self) -> bool | None:
        """Progress bars: True, False, or None (when output is interactive)."""
        return self.core.progress

    @progress.setter
    def progress(self, value: bool | None) -> None:
        if value is not None and not isinstance(value, bool):
            raise ValueError("progress must be True, False or None, got %r" % (value,))
        self.core.progress = value

    @property
    def callback_errors(self) -> CallbackErrors:
        return self.core.callback_errors

    @callback_errors.setter
    def callback_errors(self, value: Iterable[tuple[Any, BaseException]]) -> None:
        self.core.callback_errors = value
