"""Faults of the core both hosts share: releases owed by a request that
never went out, answers that come after their caller gave up, failed
callbacks that kept everything, and callbacks that never return. Each runs
over a real socket (the host with a wire-level add-in double), and under
the local host where the fault is the core's alone."""

import contextlib
import logging
import os
import subprocess
import sys
import threading
import weakref

import pytest

import com_like
from com_like_host import core, frames
from com_like_host.server import Host
from com_like_sim import LocalHost
from host_support import WireAddin, wait_until


def active_sheet():
    return com_like.Context.workbook.worksheets.getActiveWorksheet()


@pytest.fixture
def releases_ride_with_requests(monkeypatch):
    """No release frames of their own: what is owed travels with the next
    request, so one round trip settles the add-in's object table."""
    monkeypatch.setattr(core, "RELEASE_IDLE", 60.0)
    monkeypatch.setattr(core, "RELEASE_MAX_WAIT", 60.0)


@contextlib.contextmanager
def running(kind, **options):
    """(host, simulated add-in, wire double or None) of a running host."""
    if kind == "local":
        with LocalHost(**options) as h:
            yield h, h.addin, None
        return
    h = Host(**options)
    double = None
    try:
        double = WireAddin(h)
        assert h.wait_connected(5)
        yield h, double.addin, double
    finally:
        if double is not None:
            double.close()
        h.close()


def settled_count(addin):
    active_sheet().name          # carries the releases owed, answered after them
    return addin.object_count


# ---------------------------------------------------------------- releases


@pytest.mark.parametrize("fault", ["stale argument", "value that does not encode"])
def test_releases_survive_a_request_that_does_not_go_out(host, releases_ride_with_requests,
                                                         fault):
    first = WireAddin(host)
    assert host.wait_connected(5)
    stale = active_sheet()
    first.close()
    assert wait_until(lambda: not host.connected, 5)
    wire = WireAddin(host)
    assert host.wait_connected(5)
    target = active_sheet().getRange("B1")
    before = settled_count(wire.addin)
    ranges = [target.getOffsetRange(i, 0) for i in range(1, 51)]
    del ranges                   # fifty releases owed to the next request
    if fault == "stale argument":
        with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
            com_like.Union(target, stale)
    else:
        with contextlib.suppress(TypeError, ValueError, RuntimeError):
            target.values = [["\ud800"]]      # a lone surrogate: no UTF-8 for it
    assert settled_count(wire.addin) == before
    wire.close()


# ---------------------------------------------------------------- late answers


@pytest.mark.parametrize("kind", ["wire", "local"])
@pytest.mark.parametrize("what", ["reference", "nested arrays"])
def test_late_answers_release_what_they_hand_out(releases_ride_with_requests, kind, what):
    with running(kind) as (h, addin, double):
        rng = active_sheet().getRange("A1:B3")
        message = ({"method": "GET", "caller": 0, "name": "workbook"} if what == "reference"
                   else {"method": "GET", "caller": rng._internal_id, "name": "values"})
        before = settled_count(addin)
        # The host waits for answers itself, and gives a stopped request a
        # moment to answer: both lowered, so that the answers come late.
        h.request_timeout = h.core.cancel_grace = 0.05
        if double is not None:
            double.hold.set()
        else:
            h.latency = 0.3
        for _ in range(5):
            with pytest.raises(TimeoutError):
                com_like.messaging.send_request_sync(message, 0.05)
        if double is not None:
            double.hold.clear()
        else:
            h.latency = 0.0
        active_sheet().name      # answered after the five late ones
        assert settled_count(addin) == before


# ---------------------------------------------------------------- failed callbacks


class Ballast:
    """Stands for the large locals of a callback."""


def fail(how, where, rng):
    if how == "plain":
        raise ValueError("failed at " + where)
    if how == "nested":
        def deeper(r):
            inner = r.getOffsetRange(1, 0)     # noqa: F841  (a proxy in a deeper frame)
            raise ValueError("failed at " + where)
        deeper(rng)
    try:
        fail("nested", where, rng)
    except ValueError as e:
        if how == "cause":
            raise ValueError("failed at " + where) from e
        raise ValueError("failed at " + where)


@pytest.mark.parametrize("kind", ["wire", "local"])
@pytest.mark.parametrize("how", ["plain", "nested", "cause", "context"])
def test_failed_callbacks_keep_a_bounded_record_and_no_locals(releases_ride_with_requests, kind,
                                                               how):
    n = 30
    alive = weakref.WeakSet()

    def broken(event):
        rng = com_like.Context.workbook.worksheets.getItem(event.worksheetId) \
            .getRange(event.address)
        ballast = Ballast()
        alive.add(ballast)
        fail(how, event.address, rng)

    with running(kind, callback_threads=1) as (h, addin, _):
        ws = active_sheet()
        reg = ws.onChanged.add(broken)
        before = settled_count(addin)
        for i in range(1, n + 1):
            ws.getRange("A%d" % i).values = [[i]]
        assert h.wait_callbacks(30)
        assert not alive
        assert settled_count(addin) == before
        errors = h.callback_errors
        keep = core.KEEP_FIRST_ERRORS + core.KEEP_LAST_ERRORS
        assert isinstance(errors, list) and len(errors) == keep and errors.total == n
        where = [str(e).split()[-1] for _, e in errors]
        assert where == ["A%d" % i for i in range(1, core.KEEP_FIRST_ERRORS + 1)] + \
            ["A%d" % i for i in range(n - core.KEEP_LAST_ERRORS + 1, n + 1)]
        first = errors[0][1]
        with pytest.raises(core.CallbackError, match="^%d callback.*ValueError: failed at A1$"
                           % n) as info:
            h.check_callbacks()
        assert info.value.__cause__ is first and not h.callback_errors
        reg.remove()


# ---------------------------------------------------------------- hung callbacks


@pytest.mark.parametrize("kind", ["wire", "local"])
def test_hung_callbacks_are_answered_as_failed_and_later_ones_run(kind):
    gate, later = threading.Event(), threading.Event()

    def handler(event):
        if event.address == "Z9":
            later.set()
            return
        gate.wait(30)
        raise ValueError("too late to count")

    with running(kind, callback_threads=2, callback_timeout=0.2) as (h, addin, _):
        try:
            ws = active_sheet()
            reg = ws.onChanged.add(handler)
            for i in range(1, 4):                # one more than there are workers
                ws.getRange("A%d" % i).values = [[i]]
            ws.getRange("Z9").values = [[1]]
            assert later.wait(10)
            assert h.wait_callbacks(10)
            cid = h.callback_errors[0][0]
            assert [s.callable_id for s in h.stuck_callbacks()] == [cid] * 3
            assert wait_until(lambda: len(addin.callback_reports) == 4, 5)
            failed = [r["error"] for r in addin.callback_reports if not r["ok"]]
            assert len(failed) == 3 and all("did not return within 0.2 s" in f for f in failed)
            with pytest.raises(core.CallbackError, match="^3 callback.*CallbackTimeout"):
                h.check_callbacks()
        finally:
            gate.set()
        # The given-up threads end; their late failures were answered already.
        assert wait_until(lambda: not h.stuck_callbacks(), 10)
        assert not h.callback_errors
        workers = [t for t in h.core.threads if "callback" in t.name]
        assert wait_until(lambda: sum(t.is_alive() for t in workers) == 2, 10)
        later.clear()
        ws.getRange("Z9").values = [[2]]
        assert later.wait(10) and h.wait_callbacks(10)
        # Anything the given-up threads sent went out before this last answer.
        assert wait_until(lambda: len(addin.callback_reports) >= 5, 5)
        assert len({r["invocation"] for r in addin.callback_reports}) == 5
        assert len(addin.callback_reports) == 5
        reg.remove()


def test_given_up_threads_are_bounded(monkeypatch, caplog):
    monkeypatch.setattr(core, "MAX_ABANDONED", 1)
    gate, later = threading.Event(), threading.Event()

    def handler(event):
        if event.address == "Z9":
            later.set()
        else:
            gate.wait(30)

    with caplog.at_level(logging.ERROR, logger=core.__name__):
        with LocalHost(callback_threads=1, callback_timeout=0.2) as h:
            try:
                ws = active_sheet()
                ws.onChanged.add(handler)
                ws.getRange("A1").values = [[1]]
                ws.getRange("A2").values = [[1]]
                ws.getRange("Z9").values = [[1]]
                assert wait_until(lambda: "still running (at most 1" in caplog.text, 10)
                # One worker and one replacement, both hung: no third thread.
                assert len([t for t in h.core.threads if "callback" in t.name]) == 2
                assert len(h.stuck_callbacks()) == 2 and not later.is_set()
            finally:
                gate.set()
            # A given-up thread that comes back takes the queued call.
            assert later.wait(10) and h.wait_callbacks(10)
            h.callback_errors.clear()


@pytest.mark.parametrize("value", [0, -1, float("nan"), float("inf"), True, "60"])
def test_callback_timeout_is_checked(value):
    with pytest.raises(ValueError, match="callback_timeout"):
        LocalHost(callback_timeout=value)


# ---------------------------------------------------------------- callback lanes


def test_handlers_of_different_sources_may_run_at_once():
    # One sheet's handler waits for the other sheet's: that only ends well
    # if the two run at the same time, on two workers.
    met, seen = threading.Event(), []

    def first(event):
        seen.append(met.wait(10))

    with LocalHost(callback_threads=2) as h:
        one = active_sheet()
        two = com_like.Context.workbook.worksheets.add("Two")
        regs = [one.onChanged.add(first), two.onChanged.add(lambda e: met.set())]
        one.getRange("A1").values = 1
        two.getRange("A1").values = 1
        assert h.wait_callbacks(15) and seen == [True]
        for reg in regs:
            reg.remove()


@pytest.mark.parametrize("end", ["reconnect", "stop"])
def test_calls_waiting_in_a_lane_are_counted_off_when_the_session_ends(end):
    gate, calls = threading.Event(), []

    def handler(event):
        calls.append(event.address)
        gate.wait(10)

    h = LocalHost(callback_threads=2)
    try:
        ws = active_sheet()
        ws.onChanged.add(handler)
        for i in range(1, 4):
            ws.getRange("A%d" % i).values = i
        assert wait_until(lambda: calls, 5)
        assert not h.wait_callbacks(0.2)           # one runs, two wait behind it
        if end == "reconnect":
            h.reconnect()
        else:
            h.core.stop()
        gate.set()
        assert h.wait_callbacks(10) and calls == ["A1"]
    finally:
        gate.set()
        h.close()


def test_an_answer_that_does_not_go_out_counts_its_callback_off_once(monkeypatch):
    # Counted off twice, a later callback still running would not be
    # waited for.
    real, fails = frames.encode_callback_result, [1]

    def encode(*args):
        if fails:
            fails.clear()
            raise RuntimeError("the add-in's connection closed")
        return real(*args)

    monkeypatch.setattr(frames, "encode_callback_result", encode)
    gate, calls = threading.Event(), []

    def handler(event):
        calls.append(event.address)
        if event.address == "A2":
            gate.wait(10)

    with running("wire") as (h, _, _):
        try:
            ws = active_sheet()
            reg = ws.onChanged.add(handler)
            ws.getRange("A1").values = 1
            assert h.wait_callbacks(5) and calls == ["A1"]
            ws.getRange("A2").values = 2
            assert wait_until(lambda: calls == ["A1", "A2"], 5)
            assert not h.wait_callbacks(0.2)
        finally:
            gate.set()
        assert h.wait_callbacks(5)
        reg.remove()


# ---------------------------------------------------------------- lifecycle


@pytest.mark.parametrize("make", [LocalHost, Host], ids=["local", "wire"])
def test_both_hosts_run_once_made_until_closed(make):
    h = make()
    try:
        assert h.running and not h.closed
        with pytest.raises(RuntimeError, match="another %s is running" % make.__name__):
            make()
    finally:
        h.close()
    assert h.closed and not h.running
    with pytest.raises(RuntimeError, match="No send handler registered"):
        com_like.Context.workbook
    h.close()
    with make() as again:
        assert again.running
    assert again.closed


def test_local_host_keeps_start_and_stop_for_older_callers():
    h = LocalHost()
    assert h.start() is h and h.running
    h.core.stop()                 # its core stopped first: the host still ends its threads
    h.stop()
    assert h.closed and not any(t.is_alive() for t in h._threads[:2])
    with pytest.raises(RuntimeError, match="closed; make a new one"):
        h.start()



# ---------------------------------------------------------------- finalisers

# In a process of its own: a thread stuck on a lock its own thread holds
# can never be freed, and would hang the rest of the suite with it.
FINALISER_SCRIPT = """
import com_like
from com_like_sim import LocalHost
with LocalHost() as h:
    sheet = com_like.Context.workbook.worksheets.getActiveWorksheet()
    sheet.name
    before = h.addin.object_count
    proxy = sheet.getRange("A1")
    proxy.address                                  # an id the add-in holds
    h.reset_counts()
    with h.core._lock:                             # as a locked section of the core's
        del proxy                                  # its finaliser sends a DEL
    sheet.name                                     # carries the release
    print(h.request_counts().get("DEL", 0), h.addin.object_count - before)
"""


def test_a_finaliser_that_runs_while_the_core_holds_its_lock_does_not_hang():
    """Garbage collection runs finalisers wherever it strikes (since 3.12 at
    any instruction), also on a thread inside one of the core's locked
    sections; a dropped proxy's DEL then comes back into the core there."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        done = subprocess.run([sys.executable, "-c", FINALISER_SCRIPT], env=env,
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the DEL waited forever on the lock its own thread holds")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1", "0"]      # counted, and released on the next request
