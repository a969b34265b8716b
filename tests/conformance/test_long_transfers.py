"""Long cell transfers: past the per-request limit while they progress,
stopped between blocks by an interrupt, with the exception saying how
much was written. The limit is lowered here instead of waited out."""

import threading

import pytest

from com_like_host.waits import RequestInterrupted
from com_like_sim import blocks
from long_support import (LOCAL_BLOCK_CELLS, Transfer, assert_stopped_at, column_a,
                          interrupt_after_progress, lowered)


@pytest.fixture
def t(backend, backend_name, monkeypatch):
    monkeypatch.setattr(blocks, "BLOCK_CELLS", LOCAL_BLOCK_CELLS)
    t = Transfer(backend_name, backend)
    with lowered(backend, t.limit):
        yield t


def test_a_big_write_runs_past_the_limit_while_it_progresses(t):
    ws, rng = t.target()
    before = t.reports
    rng.values = t.data()
    assert t.reports - before >= 3
    assert column_a(ws, t.rows) == t.rows


def test_an_interrupt_stops_a_write_between_blocks_and_says_how_much_was_written(t):
    ws, rng = t.target()
    rows = t.data()
    stop = threading.Event()
    watcher = interrupt_after_progress(t, stop)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            rng.values = rows
    finally:
        stop.set()
        watcher.join(10)
    exc = info.value
    assert isinstance(exc, RequestInterrupted) and exc.stopped
    assert str(exc).startswith("interrupted; the add-in stopped the request: ")
    assert_stopped_at(ws, t, exc)


def test_a_read_in_blocks_runs_past_the_limit_too(t):
    ws, rng = t.target()
    with lowered(t.host, 30.0):
        rng.values = t.data()
    before = t.reports
    back = t.fresh(ws).values       # a range the pane knows nothing of: read in blocks
    assert t.reports - before >= 2
    assert len(back) == t.rows and back[-1][0] == t.rows


def test_an_interrupt_stops_a_read_between_blocks(t):
    ws, rng = t.target()
    with lowered(t.host, 30.0):
        rng.values = t.data()
    stop = threading.Event()
    watcher = interrupt_after_progress(t, stop)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            t.fresh(ws).values
    finally:
        stop.set()
        watcher.join(10)
    exc = info.value
    assert isinstance(exc, RequestInterrupted) and exc.stopped
    assert str(exc).startswith("interrupted; the add-in stopped the request: ")
    assert 0 < exc.done.rows < t.rows
