"""Faults with the real add-in: a browser that dies, a dropped connection,
and one run over wss:// with a certificate made here."""

import concurrent.futures
import os
import signal
import time

import pytest

import com_like
from com_like_host.browser import Browser
from host_support import Live, closes_while_sending, make_cert, wait_until


def active_sheet():
    return com_like.Context.workbook.worksheets.getActiveWorksheet()


@pytest.fixture
def env():
    e = Live()
    yield e
    e.close()


def test_browser_killed_mid_request(env):
    h = env.host
    old = active_sheet()
    rng = old.getRange("A1:ALL1000")
    rows = [[float(j)] * 1000 for j in range(1000)]
    sent = h.stats["bytes_out"]
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        fut = pool.submit(setattr, rng, "values", rows)
        assert wait_until(lambda: h.stats["bytes_out"] > sent + 2**20)   # the big frame is out
        env.browser.kill()
        with pytest.raises(concurrent.futures.CancelledError):
            fut.result(5)     # well before the 30 s time-out
    assert not h.connected
    env.open_browser()
    ws = active_sheet()
    assert ws.getRange("B2").values == [[""]]        # a new pane: a new workbook
    for stale in (old, rng):
        with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
            stale.address


def test_pane_reconnects_after_a_drop(env):
    h = env.host
    old = active_sheet()
    old.getRange("A1").values = [["kept"]]
    sessions = h.stats["sessions"]
    h.disconnect()
    assert wait_until(lambda: h.stats["sessions"] > sessions, 15)
    assert h.wait_connected(15)
    assert active_sheet().getRange("A1").values == [["kept"]]   # same page, same workbook
    with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
        old.name


def test_a_second_pane_replaces_the_first_for_good(env):
    h = env.host
    old = active_sheet()
    sessions = h.stats["sessions"]
    with Browser(h.url):
        assert wait_until(lambda: h.stats["sessions"] == sessions + 1, 30)
        assert h.wait_connected(15)
        with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
            old.name
        time.sleep(1.5)        # the replaced pane would be back by now if it retried
        assert h.stats["sessions"] == sessions + 1 and h.connected
        assert active_sheet().name == "Sheet1"


def test_over_wss_with_a_certificate(tmp_path):
    cert, key = make_cert(tmp_path)
    e = Live(certfile=str(cert), keyfile=str(key), browser_args=["--ignore-certificate-errors"])
    try:
        assert e.host.url.startswith("https://localhost:")
        ws = active_sheet()
        ws.getRange("A1").values = [["over wss"]]
        assert ws.getRange("A1").values == [["over wss"]]
        assert e.host.session_hello is not None
    finally:
        e.close()


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="POSIX signals")
def test_close_returns_while_the_browser_is_stopped_mid_write(env):
    h = env.host
    rng = active_sheet().getRange("A1:ALL2000")
    rows = [[float(j)] * 1000 for j in range(2000)]
    os.killpg(env.browser.proc.pid, signal.SIGSTOP)      # it reads nothing of the 20 MB frame
    try:
        assert closes_while_sending(h, lambda: setattr(rng, "values", rows))
    finally:
        os.killpg(env.browser.proc.pid, signal.SIGCONT)
