"""Long cell transfers on both backends (the simulated workbook in process,
and the pane in headless Chromium): they run past the per-request limit
while they make progress, an interrupt or a stall stops them between
blocks, and the exception says how much was written. Limits are lowered
here instead of waiting for the real ones."""

import contextlib
import os
import re
import signal
import threading
import uuid

import numpy as np
import pytest

import com_like
from com_like_host.waits import RequestInterrupted, RequestTimedOut
from com_like_sim import blocks
from com_like_sim.host import LocalHost
from host_support import Live, wait_until

# rows, columns, request_timeout: a block takes well under the limit, and
# the whole write several limits (the pane's blocks hold ~3.5 MB of JSON).
SHAPES = {"local": (400, 500, 0.5), "live": (1000, 1000, 3.0)}
LOCAL_BLOCK_CELLS = 10_000


class Backend:
    def __init__(self, kind, host, stop=None, resume=None):
        self.kind, self.host = kind, host
        self.rows, self.cols, self.limit = SHAPES[kind]
        self.stop, self.resume = stop, resume

    @property
    def reports(self):
        return self.host.core.waits.reports


@pytest.fixture(scope="module", params=["local", "live"])
def backend(request):
    if request.param == "local":
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(blocks, "BLOCK_CELLS", LOCAL_BLOCK_CELLS)
            with LocalHost(progress=False) as h:
                yield Backend("local", h)
        return
    env = Live(progress=False)
    group = env.browser.proc.pid
    try:
        yield Backend("live", env.host, stop=lambda: os.killpg(group, signal.SIGSTOP),
                      resume=lambda: os.killpg(group, signal.SIGCONT))
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(group, signal.SIGCONT)
        env.close()


@pytest.fixture
def b(backend):
    h = backend.host
    h.request_timeout, h.core.cancel_grace = backend.limit, 1.0
    yield backend
    h.request_timeout, h.core.cancel_grace = 30.0, 1.0


def target(b):
    sheets = com_like.Context.workbook.worksheets
    ws = sheets.add("L" + uuid.uuid4().hex[:8])
    return ws, ws.getRange("A1").getResizedRange(b.rows - 1, b.cols - 1)


def data(b):
    # Random doubles: long numbers, so that the pane's blocks are many.
    rows = np.random.default_rng(7).random((b.rows, b.cols))
    rows[:, 0] = np.arange(1, b.rows + 1)      # column A: the row's number
    return rows.tolist()


def column_a(ws, row):
    return ws.getRange("A%d" % row).values[0][0]


def assert_stopped_at(ws, b, exc, verb_re=r"were (?:at least )?written"):
    done = exc.done
    assert done is not None and done.total_rows == b.rows
    assert 0 < done.rows < b.rows
    assert re.search(r"%s of %s rows \(%s of %s cells\) %s" % (
        format(done.rows, ","), format(b.rows, ","), format(done.rows * b.cols, ","),
        format(b.rows * b.cols, ","), verb_re), str(exc)), str(exc)
    # What was reported written is there; the write did not go on to the end.
    assert column_a(ws, done.rows) == done.rows
    assert column_a(ws, b.rows) == ""


def interrupt_after_progress(b, stop):
    """Interrupts the main thread, as Ctrl-C does, once the transfer has
    reported a block and before its last one."""
    before = b.reports
    main = threading.main_thread().ident

    def watch():
        wait_until(lambda: b.reports > before or stop.is_set(), 60)
        if not stop.is_set():
            signal.pthread_kill(main, signal.SIGINT)
    t = threading.Thread(target=watch, daemon=True)
    t.start()
    return t


def test_a_big_write_runs_past_the_limit_while_it_progresses(b):
    ws, rng = target(b)
    before = b.reports
    rng.values = data(b)
    assert b.reports - before >= 3
    assert column_a(ws, b.rows) == b.rows


def test_an_interrupt_stops_a_write_between_blocks_and_says_how_much_was_written(b):
    ws, rng = target(b)
    rows = data(b)
    stop = threading.Event()
    t = interrupt_after_progress(b, stop)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            rng.values = rows
    finally:
        stop.set()
        t.join(10)
    exc = info.value
    assert isinstance(exc, RequestInterrupted) and exc.stopped
    assert str(exc).startswith("interrupted; the add-in stopped the request: ")
    assert_stopped_at(ws, b, exc)


def test_a_stalled_addin_times_out_and_says_so(b):
    ws, rng = target(b)
    rows = data(b)
    before = b.reports
    stalled = threading.Event()
    if b.kind == "local":
        # The add-in hangs in its second block until released.
        addin, handle, sets = b.host.addin, b.host.addin.handle, []

        def stalling(message, origin=None):
            if message.get("method") == "SET":
                sets.append(1)
                if len(sets) == 2:
                    stalled.wait(60)
            return handle(message, origin)
        addin.handle = stalling
        resume = stalled.set
    else:
        def stop_browser():
            wait_until(lambda: b.reports > before, 60)
            b.stop()
            stalled.set()
        threading.Thread(target=stop_browser, daemon=True).start()
        resume = b.resume
    try:
        with pytest.raises(TimeoutError) as info:
            rng.values = rows
    finally:
        if b.kind == "local":
            addin.handle = handle
        else:
            assert stalled.wait(60)
        resume()
    exc = info.value
    assert isinstance(exc, RequestTimedOut) and not exc.stopped
    assert str(exc).startswith("Timed out waiting for Office.js response: no answer and no "
                               "progress for %g s; the add-in was asked to stop" % b.limit)
    assert "may still complete" in str(exc)
    # Once it runs again, it stops at the next block: the write never completes.
    assert column_a(ws, exc.done.rows) == exc.done.rows
    assert column_a(ws, b.rows) == ""


def test_a_read_in_blocks_runs_past_the_limit_too(b):
    if b.kind == "local":
        pytest.skip("the simulated workbook reads in one piece")
    ws, rng = target(b)
    h = b.host
    h.request_timeout = 30.0
    rng.values = data(b)
    fresh = ws.getRange("A1").getResizedRange(b.rows - 1, b.cols - 1)   # nothing known of it yet
    h.request_timeout = b.limit
    before = b.reports
    back = fresh.values
    assert b.reports - before >= 2
    assert len(back) == b.rows and back[-1][0] == b.rows
