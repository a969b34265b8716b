"""What a caller is told when it stops waiting, and when the progress bar
shows: the parts of long transfers that need no add-in."""

import concurrent.futures
import io
import signal
import threading

import pytest

from com_like_host import progress
from com_like_host.waits import RequestInterrupted, RequestTimedOut, Wait, Waits, outcome

CANCELLED = {"ok": False, "error": {"message": "RequestCancelled: the host asked to stop"}}
FAILED = {"ok": False, "error": {"message": "InvalidArgument: bad"}}


def stopped_wait(response, reported=True):
    w = Wait("r", "SET")
    if reported:
        w.rows, w.total_rows, w.cells, w.total_cells = 300, 1000, 3000, 10000
    w.response = response
    return w


@pytest.mark.parametrize("why, response, delivered, raised, text", [
    # Finished after all: a time-out is no failure, an interrupt says so.
    ("timeout", {"ok": True}, True, None, None),
    ("interrupt", {"ok": True}, True, RequestInterrupted,
     "interrupted, but the request had already completed (300 of 1,000 rows"),
    # Stopped between blocks: how much was written.
    ("timeout", CANCELLED, True, RequestTimedOut,
     "no answer and no progress for 2 s; the add-in stopped the request: 300 of 1,000 rows "
     "(3,000 of 10,000 cells) were written, the rest was not"),
    ("interrupt", CANCELLED, True, RequestInterrupted,
     "interrupted; the add-in stopped the request: 300 of 1,000 rows"),
    # Failed on its own: a time-out gives that failure, an interrupt names it.
    ("timeout", FAILED, True, None, None),
    ("interrupt", FAILED, True, RequestInterrupted,
     "interrupted; the request failed: InvalidArgument: bad"),
    # No word from the add-in: it may still complete.
    ("timeout", None, False, RequestTimedOut,
     "has not confirmed it within 1 s (it may be stalled, and the request may still complete): "
     "at least 300 of 1,000 rows (3,000 of 10,000 cells) were written"),
])
def test_what_a_caller_is_told_when_it_stops_waiting(why, response, delivered, raised, text):
    got, exc = outcome(stopped_wait(response), 2.0 if why == "timeout" else None)
    assert (got is response) if delivered else got is None
    if raised is None:
        assert exc is None
        return
    assert type(exc) is raised and text in str(exc)
    assert exc.done.rows == 300 and exc.stopped == (response is not None)


@pytest.mark.parametrize("response, says", [
    (None, "; the add-in was asked to stop and has not confirmed it within 1 s (it may be "
     "stalled, and the request may still complete): how much was written is not known"),
    ({"ok": False, "error": {"message": "RequestCancelled: stopped before it started"}},
     "; the add-in stopped the request: nothing was written (RequestCancelled: stopped "
     "before it started)"),
])
def test_a_stop_before_any_block_says_so(response, says):
    _, exc = outcome(stopped_wait(response, reported=False), None)
    assert str(exc) == "interrupted" + says
    assert isinstance(exc, KeyboardInterrupt)


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("option, env, tty, shown", [
    (None, None, True, True), (None, None, False, False),
    (None, "0", True, False), (None, "1", False, True),
    (False, "1", True, False), (True, "0", False, True),
])
def test_when_the_bar_shows(monkeypatch, option, env, tty, shown):
    if env is None:
        monkeypatch.delenv(progress.ENV, raising=False)
    else:
        monkeypatch.setenv(progress.ENV, env)
    assert progress.wanted(option, Terminal() if tty else io.StringIO()) is shown


@pytest.mark.parametrize("enabled", [True, False])
def test_the_bar_gives_rows_cells_rate_and_time_left(monkeypatch, enabled):
    out = Terminal()
    monkeypatch.setattr("sys.stderr", out)
    monkeypatch.setattr(progress, "DELAY", 0.0)
    bar = progress.Progress(enabled, "writing")
    bar.show(250, 1000, 2500)
    bar.show(500, 1000, 5000)
    if bar.bar is not None:
        bar.bar.refresh()            # tqdm draws at most ten times a second
    bar.close()
    text = out.getvalue()
    if not enabled:
        assert text == ""
        return
    assert "writing" in text and "500/1.00k" in text and "5,000 cells" in text
    assert "rows/s" in text and "<" in text          # a rate, and the time left


def test_an_interrupt_while_the_request_is_still_being_sent_drops_it():
    waits = Waits()
    w = waits.add("r", "SET")
    sending = concurrent.futures.Future()          # the frame never finishes going out
    cancels = []
    main = threading.main_thread().ident
    threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGINT)).start()
    response, exc = waits.wait(w, sending, 30.0, cancels.append, progress.Progress(False))
    assert response is None and cancels == ["r"]
    assert str(exc) == ("interrupted while the request was still being sent to the add-in; it "
                        "stops the request when it arrives, so nothing is written")
    assert waits.given_up("r") == "interrupted"
