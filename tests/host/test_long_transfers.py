"""A stalled add-in on both backends: the host times a long write out,
says how far it got and that the add-in has not confirmed the stop; once
the add-in runs again, it stops at the next block, so the write that was
reported as failed never completes. And a write whose connection closes
stops too."""

import concurrent.futures
import contextlib
import os
import signal
import threading

import pytest

import com_like
from com_like_host.waits import RequestTimedOut
from com_like_sim import blocks
from com_like_sim.host import LocalHost
from host_support import Live, wait_until
from long_support import LOCAL_BLOCK_CELLS, Transfer, column_a, lowered


@pytest.fixture(scope="module", params=["sim", "browser"])
def env(request):
    if request.param == "sim":
        with LocalHost(progress=False) as h:
            yield h, None
        return
    live = Live(progress=False)
    try:
        yield live.host, live.browser.proc.pid
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(live.browser.proc.pid, signal.SIGCONT)
        live.close()


@contextlib.contextmanager
def stall_in_second_block(host, group, t):
    """The add-in hangs after its first block until the block ends."""
    if group is None:
        addin, handle, sets, gate = host.addin, host.addin.handle, [], threading.Event()

        def stalling(message, origin=None):
            if message.get("method") == "SET":
                sets.append(1)
                if len(sets) == 2:
                    gate.wait(60)
            return handle(message, origin)
        addin.handle = stalling
        try:
            yield
        finally:
            addin.handle = handle
            gate.set()
        return
    before, stopped = t.reports, threading.Event()

    def stop_browser():          # the whole browser, as a hung machine would
        if wait_until(lambda: t.reports > before, 60):
            os.killpg(group, signal.SIGSTOP)
            stopped.set()
    threading.Thread(target=stop_browser, daemon=True).start()
    try:
        yield
    finally:
        stopped.wait(60)
        os.killpg(group, signal.SIGCONT)


def test_a_stalled_addin_times_out_and_says_so(env, monkeypatch):
    host, group = env
    monkeypatch.setattr(blocks, "BLOCK_CELLS", LOCAL_BLOCK_CELLS)
    t = Transfer("sim" if group is None else "browser", host)
    ws, rng = t.target()
    rows = t.data()
    # Only the stall may outlast the limit: a first block slower than it (a
    # busy machine) would see the stop in time and confirm it.
    limit = t.limit * 4
    with lowered(host, limit), stall_in_second_block(host, group, t):
        with pytest.raises(TimeoutError) as info:
            rng.values = rows
    exc = info.value
    assert isinstance(exc, RequestTimedOut) and not exc.stopped, exc
    assert str(exc).startswith("Timed out waiting for Office.js response: no answer and no "
                               "progress for %g s; the add-in was asked to stop" % limit)
    assert "may still complete" in str(exc)
    assert 0 < exc.done.rows < t.rows
    assert column_a(ws, exc.done.rows) == exc.done.rows
    assert column_a(ws, t.rows) == ""


def test_a_write_stops_when_its_connection_closes(env):
    host, group = env
    if group is None:
        pytest.skip("the simulated workbook has no connection to lose")
    t = Transfer("browser", host)
    ws, rng = t.target()
    name, rows = ws.name, t.data()
    before, sessions = t.reports, host.stats["sessions"]
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        write = pool.submit(setattr, rng, "values", rows)
        assert wait_until(lambda: t.reports > before, 60)
        host.disconnect()
        with pytest.raises(concurrent.futures.CancelledError):
            write.result(30)
    # The pane comes back to the same workbook: the write went no further.
    assert wait_until(lambda: host.stats["sessions"] > sessions, 30) and host.wait_connected(30)
    again = com_like.Context.workbook.worksheets.getItem(name)
    assert column_a(again, t.rows) == ""
