"""Add-in doubles for the tests: they record every request and answer it
either from inside the send handler (synchronous) or from a listener thread
(in order, or out of order with some answers late, twice or never)."""
import contextlib
import gc
import heapq
import itertools
import queue
import random
import threading
import time

import com_like
from com_like_host import wire


@contextlib.contextmanager
def frozen_heap():
    """Moves what exists now out of the collector's sight, so that a
    gc.collect() per test (to release proxies that earlier tests left in
    cycles) stays cheap with numpy and pandas loaded."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def ok(result=None):
    """A successful response (the double adds the request id)."""
    return wire.ok(None, result)


class RecordingAddin:
    """Synchronous double: answers through on_message before the handler returns.

    `answer(request)` returns a response dict without "requestId" (it is
    added here), or None to leave the request unanswered.
    """

    def __init__(self, answer=None, messaging=None):
        self.messaging = messaging or com_like.messaging
        self.requests = []
        self.answer = answer or (lambda req: ok())

    def bodies(self):
        """The request bodies without the envelope keys."""
        return [{k: v for k, v in r.items() if k not in ("requestId", "kind")} for r in self.requests]

    def methods(self):
        return [(r["method"], r["name"], r["caller"]) for r in self.requests]

    def clear(self):
        self.requests.clear()

    def __call__(self, message):
        self.requests.append(message)
        self._deliver(message, self.answer(message))

    def _deliver(self, message, response):
        if response is not None:
            response = dict(response)
            response["requestId"] = message["requestId"]
            self.messaging.on_message(response)

    def install(self):
        self.messaging.set_send_handler(self)
        return self


class ThreadedAddin(RecordingAddin):
    """Double whose answers come from a listener thread, as a real host's do."""

    def __init__(self, answer=None, messaging=None):
        super().__init__(answer, messaging)
        self._queue = queue.Queue()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._listen, daemon=True)
        self._thread.start()

    def __call__(self, message):
        with self._lock:
            self.requests.append(message)
        self._queue.put(message)

    def _listen(self):
        while True:
            message = self._queue.get()
            if message is None:
                return
            self._deliver(message, self.answer(message))

    def stop(self):
        self._queue.put(None)
        self._thread.join(timeout=5)


class ChaoticAddin(ThreadedAddin):
    """Answers from its listener thread after random small delays, so that
    answers overtake each other. A request's "kind_" decides its fate:
    "dup" is answered twice, "late" after ``late`` seconds, "drop" never,
    "sync" from inside the send handler. What on_message raised is kept
    in ``errors``: any of it is a fault."""

    def __init__(self, answer, seed, late, messaging=None):
        self.rng = random.Random(seed)
        self.late = late
        self.errors = []
        self.delivered = 0
        super().__init__(answer, messaging)

    def __call__(self, message):
        if message.get("kind_") == "sync":
            self._deliver(message, self.answer(message))
        else:
            super().__call__(message)

    def _deliver(self, message, response):
        try:
            super()._deliver(message, response)
            self.delivered += 1
        except BaseException as e:  # noqa: B902 - reported by the test
            self.errors.append(e)

    def _listen(self):
        pending = []  # heap of (due, tie, message, response)
        tie = itertools.count()
        rng, stopping = self.rng, False
        while True:
            timeout = max(0.0, pending[0][0] - time.monotonic()) if pending else 0.05
            try:
                message = self._queue.get(timeout=timeout)
                stopping = stopping or message is None
            except queue.Empty:
                message = None
            if message is not None:
                kind = message.get("kind_")
                now = time.monotonic()
                if kind != "drop":
                    delay = self.late if kind == "late" else rng.random() * 0.002
                    heapq.heappush(pending, (now + delay, next(tie), message, self.answer(message)))
                    if kind == "dup":
                        heapq.heappush(pending, (now + rng.random() * 0.004, next(tie), message,
                                                 self.answer(message)))
            # Everything due goes out, in random order.
            now = time.monotonic()
            due = []
            while pending and pending[0][0] <= now:
                due.append(heapq.heappop(pending)[2:])
            rng.shuffle(due)
            for message, response in due:
                self._deliver(message, response)
            if stopping and not pending and self._queue.empty():
                return

    def stop(self):
        super().stop()
        assert not self._thread.is_alive(), "listener did not finish"


def error(message=None, missing_member=None):
    """A failed response; without a message the "error" dict is empty."""
    return wire.error(None, message, missing_member)


class ObjectModel:
    """A tiny object model behind a RecordingAddin: plain Python objects stand
    for the add-in's objects, known to the module by integer ids.

    Attributes of a model object are read and written by GET and SET; methods
    come back as "Function" references and run on CALL; lists come back as
    "Array" records; DEL forgets the id. `live` maps ids to objects, so a test
    can check that every proxy was released.
    """

    def __init__(self, roots):
        self.live = dict(roots)  # the fixed ids the add-in knows from its start
        self._next_id = 100

    def _new_id(self, obj):
        oid = self._next_id
        self._next_id += 1
        self.live[oid] = obj
        return oid

    def encode(self, value):
        return wire.encode(value, self._reference, self._container)

    def _reference(self, value):
        return ("Function" if callable(value) else type(value).__name__), self._new_id(value)

    def _container(self, value):
        return self._new_id(value) if isinstance(value, list) else None

    def decode(self, record):
        return wire.decode(record, lambda _type, oid: self.live[oid])

    def __call__(self, req):
        target = self.live[req["caller"]]
        method = req["method"]
        try:
            if method == "GET":
                return ok(self.encode(getattr(target, req["name"])))
            if method == "GETITEM":
                return ok(self.encode(target[int(req["name"])]))
            if method == "SET":
                setattr(target, req["name"], self.decode(req["value"]))
                return ok()
            if method == "CALL":
                args = [self.decode(a["value"]) for a in req["args"] if a["arg_type"] == "PLACED"]
                kwargs = {a["name"]: self.decode(a["value"]) for a in req["args"] if a["arg_type"] == "NAMED"}
                return ok(self.encode(target(*args, **kwargs)))
            if method == "DEL":
                if req["caller"] >= 100:
                    del self.live[req["caller"]]
                return ok()
        except (AttributeError, KeyError, IndexError) as e:
            return error(f"{type(e).__name__}: {e}")
        return error("unknown method " + method)
