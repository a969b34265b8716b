"""The local host: carries com_like's requests to a simulated add-in and its
responses back, in one process.

The host logic itself (send handler, release batching, callbacks, reset on
a new session) is ``com_like_host.core.HostCore``, the same one the
WebSocket host runs; this module is only the in-process transport under
it. Threads, each with one job:

* the add-in thread runs every request and release against the add-in, in
  arrival order, and passes the responses and anything the add-in emits
  (callback invocations, released callable ids) to the listener;
* the listener thread hands them to the core, in that same order;
* the core's callback workers run Python callbacks; a callback may use
  proxies, because no thread it waits on is its own.

Neither the add-in thread nor the listener ever waits for a response: a
request made on one of them could never be answered, so the core refuses
it (a DEL, which garbage collection may issue anywhere, is acknowledged at
once instead).
"""

from __future__ import annotations

import logging
import math
import queue
import threading
import time
from collections.abc import Callable
from typing import Any

from com_like_host import wire
from com_like_host.core import CallbackError, HostCore, HostFacade  # noqa: F401  (re-exported)
from com_like_host.waits import CANCELLED, DEFAULT_REQUEST_TIMEOUT

from . import blocks
from .addin import SimulatedAddin
from .events import (CallbackAnswer, CallPython, NewSession, Progress, Reconnect, ReleaseCallables,
                     ReleaseObjects, Request, Response, Stop, ToAddin, ToListener)
from .model import Workbook

log = logging.getLogger(__name__)


def _latency(value):
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value < 0):
        raise ValueError("latency must be a number of seconds >= 0, got %r" % (value,))
    return float(value)


class LocalHost(HostFacade):
    """A running host; ``with LocalHost() as host: ...`` closes it on exit.
    Made, it installs the send handler on ``com_like.messaging``;
    ``close()`` removes it again.

    ``latency`` (seconds) delays every request that waits for an answer, as
    a round trip to a real workbook would; ``request_counts()`` gives the
    requests sent, by method. A callback running longer than
    ``callback_timeout`` seconds (None: no limit) is answered as failed and
    its thread given up; ``stuck_callbacks()`` lists those still running.

    A large cell write goes in blocks of rows, as the pane's does: it may
    run past ``request_timeout`` while it makes progress, shows a progress
    bar (``progress``: True, False, or None for when output is
    interactive), and an interrupt stops it between blocks."""

    # Object ids go on counting from one LocalHost to the next: a proxy left
    # over from an earlier host must not release an object of this one when
    # it goes (its DEL carries nothing else to tell it apart).
    _id_floor = 6

    def __init__(self, addin: SimulatedAddin | None = None, *, workbook: Workbook | None = None,
                 callback_threads: int = 1, module: Any = None, latency: float = 0.0,
                 callback_timeout: float | None = HostCore.DEFAULT_CALLBACK_TIMEOUT,
                 request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 progress: bool | None = None) -> None:
        self.latency = _latency(latency)
        self.core = HostCore(self, owner=self, module=module, callback_threads=callback_threads,
                             thread_prefix="sim", callback_timeout=callback_timeout,
                             request_timeout=request_timeout, progress=progress)
        self.addin = addin if addin is not None else SimulatedAddin(workbook=workbook)
        self.messaging = self.core.messaging
        self._cancels: set[Any] = set()      # request ids the host asked to stop
        self._closed = False
        self._close_lock = threading.Lock()
        self._inbox: queue.SimpleQueue[ToAddin] = queue.SimpleQueue()
        self._outbox: queue.SimpleQueue[ToListener] = queue.SimpleQueue()
        self._addin_thread = threading.Thread(target=self._addin_loop, name="sim-addin",
                                              daemon=True)
        self._listener = threading.Thread(target=self._listen_loop, name="sim-listener",
                                          daemon=True)
        self.core.start()      # refuses a second running host before any thread starts
        self.addin.emit = self._outbox.put
        with self.addin._lock:
            self.addin._next_id = max(self.addin._next_id, LocalHost._id_floor)
        self._addin_thread.start()
        self._listener.start()
        self._threads = [self._addin_thread, self._listener] + self.core.threads

    # ------------------------------------------------------------ lifecycle

    def close(self, timeout: float = 1.0) -> None:
        """Remove the handler, reset messaging (waiting callers get
        CancelledError at once), end the threads. Closing again does
        nothing."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
        self._inbox.put(Stop())
        self._outbox.put(Stop())
        self.core.stop(timeout)
        for t in (self._addin_thread, self._listener):
            t.join(timeout)
        with self.addin._lock:
            LocalHost._id_floor = max(LocalHost._id_floor, self.addin._next_id)

    def start(self) -> LocalHost:
        """The host, which runs from the moment it is made (kept for callers
        written when a LocalHost was started separately). A closed host does
        not start again: make a new one."""
        if self._closed:
            raise RuntimeError("this LocalHost is closed; make a new one")
        return self

    def stop(self, timeout: float = 1.0) -> None:
        """The same as ``close()``."""
        self.close(timeout)

    @property
    def workbook(self) -> Workbook:
        return self.addin.workbook

    def reconnect(self, timeout: float = 5.0) -> None:
        """Simulate a dropped and re-established connection: the add-in starts
        a fresh session (the workbook itself stays), messaging is reset on
        the listener thread, and the five root proxies stay usable."""
        if not self.running:
            raise RuntimeError("the host is not running")
        done = threading.Event()
        self._outbox.put(Reconnect(done))
        if threading.current_thread() is not self._listener and not done.wait(timeout):
            raise TimeoutError("reconnect did not complete within %.1f s" % timeout)

    # ------------------------------------------------------------ transport

    def send_request(self, message: dict[str, Any], release_ids: list[int]) -> None:
        if release_ids:
            self._inbox.put(ReleaseObjects(self.core.epoch, release_ids))
        self._inbox.put(Request(self.core.epoch, message, threading.get_ident(),
                                time.monotonic() + self.latency))

    def send_release(self, ids: list[int]) -> None:
        self._inbox.put(ReleaseObjects(self.core.epoch, ids))

    def send_cancel(self, request_id: Any) -> None:
        # Read by the add-in thread between blocks, and before a queued
        # request starts.
        self._cancels.add(request_id)

    def send_callback_result(self, call_id: Any, ok: bool, result: Any, error: str | None,
                             done: Callable[[], object]) -> None:
        self._inbox.put(CallbackAnswer(call_id, ok, error, done))

    # ------------------------------------------------------------ threads

    def _addin_loop(self) -> None:
        self.core.mark_internal_thread()
        while True:
            event = self._inbox.get()
            try:
                match event:
                    case Stop():
                        return
                    case Request():
                        # Each request waits out the latency from when it
                        # was sent, so requests of several threads overlap
                        # as they would on a network.
                        wait = event.due - time.monotonic()
                        if wait > 0:
                            time.sleep(wait)
                        if event.epoch == self.core.epoch:
                            self._outbox.put(Response(self._run(event.message, event.origin)))
                    case ReleaseObjects():
                        if event.epoch == self.core.epoch:
                            for oid in event.ids:
                                self.addin.handle({"requestId": None, "method": "DEL",
                                                   "caller": oid})
                    case NewSession():
                        self.addin.new_session()
                    case CallbackAnswer():
                        try:
                            self.addin.callback_finished(event.call_id, event.ok, event.error)
                        finally:
                            # Only now, so that a caller of wait_callbacks
                            # also finds the add-in informed.
                            event.done()
            except Exception:
                log.exception("add-in thread: failed on %s", type(event).__name__)

    def _run(self, message, origin):
        rid = message.get("requestId")
        cancelled = lambda: rid in self._cancels   # noqa: E731
        try:
            if cancelled():
                return wire.error(rid, "%s: stopped before it started; nothing was done"
                                  % CANCELLED)

            def report(rows, total_rows, cells, total_cells):
                self._outbox.put(Progress(rid, {"rows": rows, "totalRows": total_rows,
                                                "cells": cells, "totalCells": total_cells}))
            for in_blocks in (blocks.write, blocks.read):
                response = in_blocks(self.addin, message, origin, report, cancelled)
                if response is not None:
                    return response
            return self.addin.handle(message, origin)
        finally:
            self._cancels.discard(rid)

    def _listen_loop(self) -> None:
        self.core.mark_internal_thread()
        while True:
            event = self._outbox.get()
            try:
                match event:
                    case Stop():
                        return
                    case Response():
                        self.core.on_response(event.response)
                    case Progress():
                        self.core.on_progress(event.request_id, event.report)
                    case CallPython():
                        self.core.on_callback(event.call_id, event.callable_id, event.args,
                                              event.source)
                    case ReleaseCallables():
                        self.core.on_release_callables(event.ids)
                    case Reconnect():
                        try:
                            # Requests still queued for the old connection
                            # are lost with it; the reset cancels their
                            # waiters.
                            self.core.session_reset(then=lambda: self._inbox.put(NewSession()))
                        finally:
                            event.done.set()
            except Exception:
                log.exception("listener thread: failed on %s", type(event).__name__)
