"""End to end: Python -> host -> add-in in headless Chromium -> the Office.js
stand-in, and back: what only the browser stack has (frames, its session,
its process). What a user sees of cells, events and transactions runs on
both workbooks in tests/conformance."""

import os
import sys

import pytest

from host_support import wait_until


def test_dropping_a_large_result_costs_a_frame_or_two(sheet, live):
    rng = sheet.getRange("A1:A10000")
    rows = rng.values
    assert len(rows) == 10000
    assert wait_until(lambda: not live.host.core._releases, 2)   # earlier releases are out
    before = live.host.stats["frames_out"]
    del rows
    assert wait_until(lambda: live.host.stats["frames_out"] > before and
                      not live.host.core._releases)
    assert live.host.stats["frames_out"] - before <= 5    # one or two unless the machine is busy
    assert rng.address.endswith("A1:A10000")        # the session is still fine


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_token_stays_off_the_browser_command_line(live):
    pids = [p for p in os.listdir("/proc") if p.isdigit()]
    lines = []
    for pid in pids:
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                lines.append(f.read())
        except OSError:
            pass
    assert any(b"--headless" in line for line in lines)   # the pane's browser is running
    assert not any(live.host.token.encode() in line for line in lines)


def test_lone_surrogates_cross_intact_and_keep_the_session(sheet, live):
    sessions = live.host.stats["sessions"]
    rng = sheet.getRange("A1:C1")
    rng.values = [["\ud83d", "a\udc00b", "\U0001F600"]]
    assert rng.values == [["\ud83d", "a\udc00b", "\U0001F600"]]
    assert live.host.connected and live.host.stats["sessions"] == sessions


def test_a_read_over_the_frame_limit_arrives_in_parts(sheet, live):
    rows = [[float(i * 1000 + j) + 0.5 for j in range(1000)] for i in range(1000)]   # ~20 MB
    rng = sheet.getRange("A1:ALL1000")
    rng.values = rows
    before = live.host.stats["frames_in"]
    assert rng.values == rows
    assert live.host.stats["frames_in"] - before > 2 and live.host.connected
