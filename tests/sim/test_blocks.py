"""Offline-only parts of long writes: what the simulated workbook splits
into blocks and what it leaves whole, a request stopped before it starts,
a block that fails, and object ids that a later LocalHost does not reuse."""

import gc

import numpy as np
import pytest

import com_like
from com_like_sim import blocks
from com_like_sim.host import LocalHost


@pytest.fixture
def small_blocks(monkeypatch):
    monkeypatch.setattr(blocks, "BLOCK_CELLS", 100)


def sheet():
    return com_like.Context.workbook.worksheets.getItem("Sheet1")


@pytest.mark.parametrize("case, reports", [
    ("split", 10), ("too small to split", 0), ("in a transaction", 0), ("wrong shape", 0),
])
def test_which_writes_go_in_blocks(excel_sim, small_blocks, case, reports):
    rows = np.arange(1000.0).reshape(100, 10).tolist()
    rng = sheet().getRange("A1:J100")
    before = excel_sim.core.waits.reports
    if case == "too small to split":
        rng, rows = sheet().getRange("A1:J10"), rows[:10]
    if case == "in a transaction":
        with com_like.OfficeJsTransaction():
            rng.values = rows
    elif case == "wrong shape":
        with pytest.raises((RuntimeError, AttributeError), match="^InvalidArgument"):
            sheet().getRange("A1:J99").values = rows
        return
    else:
        rng.values = rows
    assert excel_sim.core.waits.reports - before == reports
    assert rng.values == rows


def test_a_failing_block_says_how_many_rows_were_written(excel_sim, small_blocks):
    rows = [[float(i)] * 10 for i in range(100)]
    rows[55][3] = {"not": "a cell value"}
    with pytest.raises((RuntimeError, AttributeError),
                       match=r"\[50 of 100 rows had been written\]$"):
        sheet().getRange("A1:J100").values = rows
    assert sheet().getRange("A50").values == [[49.0]]
    assert sheet().getRange("A51").values == [[""]]


def test_a_request_stopped_before_it_starts_does_nothing(excel_sim):
    excel_sim.send_cancel("r1")
    response = excel_sim._run({"requestId": "r1", "method": "SET", "caller": 0,
                               "name": "x", "value": None}, None)
    assert response["error"]["message"] == (
        "RequestCancelled: stopped before it started; nothing was done")
    assert not excel_sim._cancels


def test_a_proxy_of_an_earlier_local_host_releases_nothing_of_a_later_one():
    with LocalHost():
        old = sheet().getRange("A1")
    with LocalHost() as h:
        rng = sheet().getRange("B2")
        rng.values = [["kept"]]
        del old
        gc.collect()
        h.wait_callbacks(1)
        assert rng.values == [["kept"]]
