"""Through com_like, the local host and the simulated workbook."""

import concurrent.futures
import logging
import math
import os
import subprocess
import sys
import threading

import pytest

com_like = pytest.importorskip("com_like")

from com_like_sim import LocalHost  # noqa: E402
from com_like_host.demo_script import sales_frame, user_script  # noqa: E402


def active_sheet():
    return com_like.Context.workbook.worksheets.getActiveWorksheet()


def test_demo_steps(excel_sim):
    out = []
    user_script(com_like, excel_sim, out)
    text = "\n".join(out)
    assert "read back 4 rows x 3 columns: Region, Units, Price" in text
    assert "Union: Sales!B2:B5, Sales!C2:C5" in text
    assert "onChanged fired for: A1:C5 (15 cells), D1 (1 cell), D2:D5 (4 cells), " \
        "A6:D6 (4 cells)" in text
    assert "594.00" in text and "1654.00" in text and " 505.0 " in text
    sales = excel_sim.workbook.sheet("Sales")
    assert sales.cell("A1").fill == "#4472C4" and sales.cell("C1").bold
    assert sales.cell("B2").fill == sales.cell("C5").fill == "#DDEBF7"
    assert sales.value("D5") == pytest.approx(60 * 9.9)
    assert sales.cell("D5").number_format == "0.00"
    assert sales.cell("D6").value == "=SUM(D2:D5)"


def test_demo_command():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-m", "com_like_sim", "demo"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "Revenue" in proc.stdout and "requests: " in proc.stdout and "DEL " in proc.stdout


def test_dataframe_round_trip(excel_sim):
    df = sales_frame()
    rng = active_sheet().getRange("A1:C5")
    rng.values = df
    rows = rng.values
    assert isinstance(rows, com_like.OfficeJsArray) and list(rows[0]) == list(df.columns)
    assert [list(r) for r in rows[1:]] == df.values.tolist()


def test_many_threads_on_their_own_sheets(excel_sim):
    names = ["T%d" % i for i in range(8)]

    def work(name):
        ws = com_like.Context.workbook.worksheets.add(name)
        for i in range(25):
            cell = ws.getRange("B%d" % (i + 1))
            cell.values = [[i]]
            assert cell.values == [[i]]
        # Each thread's transaction is its own batch.
        with com_like.OfficeJsTransaction():
            ws.getRange("A1").values = [[name]]
            assert ws.getRange("A1").values == [[""]]
        return ws.getRange("A1:B25").values

    with concurrent.futures.ThreadPoolExecutor(len(names)) as pool:
        results = dict(zip(names, pool.map(work, names)))
    for name, rows in results.items():
        assert rows[0] == [name, 0] and [r[1] for r in rows] == list(range(25))


@pytest.mark.excel_sim(settings={"Locale": "en-US"})
def test_reconnect_keeps_roots_and_workbook(excel_sim):
    ws = active_sheet()
    ws.getRange("A1").values = [[42]]
    ws.onChanged.add(lambda event: None)
    excel_sim.reconnect()
    with pytest.raises(RuntimeError, match="used after messaging context was stopped"):
        ws.getRange("A1")
    assert com_like.messaging._callable_registry == {}
    ws = active_sheet()
    assert ws.getRange("A1").values == [[42]]
    assert com_like.Excel.ClearApplyTo["all"] == "All"
    assert com_like.GetSetting("Locale") == "en-US"
    assert com_like.Union(ws.getRange("A1"), ws.getRange("C1")).areaCount == 2
    assert com_like.Intersect(ws.getRange("A1:B2"), ws.getRange("B2:C3")).address == "Sheet1!B2"
    ws.getRange("A1").values = [[1]]      # the old handler went with the old session
    assert excel_sim.wait_callbacks(1.0) and not excel_sim.addin.callback_reports


def test_reconnect_cancels_a_waiting_request(excel_sim):
    gate, arrived = threading.Event(), threading.Event()
    handle = excel_sim.addin.handle

    def slow_handle(message, origin=None):
        if message.get("name") == "slowly":
            arrived.set()
            gate.wait(5)
        return handle(message, origin)

    excel_sim.addin.handle = slow_handle
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        waiting = pool.submit(lambda: com_like.Context.slowly)
        assert arrived.wait(5)
        excel_sim.reconnect()
        with pytest.raises(concurrent.futures.CancelledError):
            waiting.result(2)
        gate.set()
    assert com_like.Context.workbook.name == "Book1.xlsx"


def test_callback_reads_the_sheet(excel_sim):
    seen = []

    def on_changed(event):
        sheet = com_like.Context.workbook.worksheets.getItem(event.worksheetId)
        seen.append((threading.current_thread().name, event.address,
                     [list(r) for r in sheet.getRange(event.address).values]))

    ws = active_sheet()
    ws.onChanged.add(on_changed)
    ws.getRange("A1:B1").values = [[1, 2]]
    ws.getRange("C3").values = [["x"]]
    excel_sim.check_callbacks()
    assert [s[1:] for s in seen] == [("A1:B1", [[1, 2]]), ("C3", [["x"]])]
    assert seen[0][0].startswith("sim-callback")


def test_failing_callback_is_logged_and_reported(excel_sim, caplog):
    def broken(event):
        raise ValueError("no good: " + event.address)

    ws = active_sheet()
    reg = ws.onChanged.add(broken)
    with caplog.at_level(logging.ERROR, logger="com_like_sim.host"):
        ws.getRange("B2").values = [[1]]
        assert excel_sim.wait_callbacks()
    assert "no good: B2" in caplog.text
    (cid, exc), = excel_sim.callback_errors
    assert isinstance(exc, ValueError)
    report = list(excel_sim.addin.callback_reports)[-1]
    assert report == {"invocation": report["invocation"], "callableId": cid, "ok": False,
                      "error": "ValueError: no good: B2"}
    with pytest.raises(Exception, match="1 callback"):
        excel_sim.check_callbacks()
    # Removing the handler hands its id back to messaging.
    assert com_like.messaging.get_callable(cid) is broken
    reg.remove()
    active_sheet().name   # a later round trip: the release has been delivered
    assert com_like.messaging.get_callable(cid) is None


@pytest.mark.parametrize("address, expected", [
    ("A0", "outside the sheet"),
    ("ZZZZ1", "invalid address 'ZZZZ1'"),
    ("A1:B2:C3", "invalid address"),
    ("Other!A1", "names sheet 'Other'"),
])
def test_bad_addresses(excel_sim, address, expected):
    rng = active_sheet().getRange(address)     # reported where it is used, as Office.js does
    with pytest.raises(RuntimeError, match=expected):
        rng.address


@pytest.mark.parametrize("action, expected", [
    (lambda r: setattr(r, "rowCount", 3), "Range.rowCount is read-only"),
    (lambda r: setattr(r, "values", [[1, 2]]), "the range is 2 x 2"),
    (lambda r: r.getCell(), r"getCell\(row, column\): missing a required argument"),
    (lambda r: r.format.fill.__setattr__("color", "not a colour!"), "use a color such as"),
    (lambda r: com_like.Union(r, 5), "Union expects ranges"),
])
def test_unknown_members_and_bad_values(excel_sim, action, expected):
    with pytest.raises(RuntimeError, match=expected):
        action(active_sheet().getRange("A1:B2"))


def test_del_keeps_the_object_table_bounded(excel_sim):
    ws = active_sheet()
    counts = []
    for i in range(2000):          # five requests each: GET, CALL, SET, 2 x DEL
        ws.getRange("A1").values = [[i]]
        if i % 500 == 0:
            counts.append(excel_sim.addin.object_count)
    ws.name                        # a round trip after the last DELs
    counts.append(excel_sim.addin.object_count)
    assert sum(excel_sim.request_counts().values()) >= 10000
    assert max(counts) < 20, counts


def test_stop_removes_handler_and_ends_threads():
    host = LocalHost()
    threads = list(host._threads)
    assert com_like.Context.workbook.name == "Book1.xlsx"
    host.close()
    assert not any(t.is_alive() for t in threads)
    with pytest.raises(RuntimeError, match="No send handler registered"):
        com_like.Context.workbook
    with LocalHost():               # a new host after the old one works
        assert com_like.Context.workbook.name == "Book1.xlsx"


def test_null_objects_through_proxies(excel_sim):
    sheets = com_like.Context.workbook.worksheets
    missing = sheets.getItemOrNullObject("Nope")
    assert missing.isNullObject is True and sheets.getItemOrNullObject("sheet1").isNullObject is False
    with pytest.raises(RuntimeError, match="^ItemNotFound: "):
        missing.getRange("A1")


def test_dates_typed_input_and_formulas_through_proxies(excel_sim):
    import datetime as dt

    import numpy as np
    import pandas as pd
    rng = active_sheet().getRange("A1:F1")
    rng.values = [[dt.date(2024, 1, 31), pd.Timestamp("2024-01-31 18:00"),
                   np.datetime64("2024-01-31T06:00"), "12", None, "=A1+1"]]
    assert list(rng.values[0]) == [45322, 45322.75, 45322.25, 12, "", 45323]
    assert rng.formulas[0][5] == "=A1+1"
    active_sheet().getRange("A1").values = [[float("nan")]]
    assert active_sheet().getRange("F1").values == [[1]]


def test_change_event_arguments_through_proxies(excel_sim):
    seen = []
    ws = active_sheet()
    ws.onChanged.add(lambda event: seen.append(
        (event.type, event.changeType, event.source, event.address, event.worksheetId,
         dict(event.details) if event.details is not None else None,
         sorted(event))))
    ws.getRange("C3").values = [["7"]]
    ws.getRange("A1:B1").values = [[1, 2]]
    excel_sim.check_callbacks()
    keys = sorted(["type", "changeType", "source", "address", "worksheetId", "details"])
    assert seen == [
        ("WorksheetChanged", "RangeEdited", "Local", "C3", ws.id,
         {"valueBefore": "", "valueAfter": 7, "valueTypeBefore": "Empty",
          "valueTypeAfter": "Double"}, keys),
        ("WorksheetChanged", "RangeEdited", "Local", "A1:B1", ws.id, None, keys)]


@pytest.mark.excel_sim(sheets=["Data", "Report"],
                       cells={"A1:B2": [["Units", 5], ["Price", "2.5"]], "Report!A1": "=1+1"})
def test_the_fixture_seeds_cells(excel_sim):
    sheets = com_like.Context.workbook.worksheets
    assert sheets.getItem("Data").getRange("A1:B2").values == [["Units", 5], ["Price", 2.5]]
    assert sheets.getItem("report").getRange("A1").values == [[2]]
    assert sheets.getItem("Data").getRange("B:B").address == "Data!B:B"


@pytest.mark.parametrize("latency", [-1, math.nan, math.inf, "0.1", True])
def test_latency_must_be_seconds(latency):
    with pytest.raises(ValueError, match="latency"):
        LocalHost(latency=latency)


@pytest.mark.excel_sim(latency=0.002)
def test_latency_keeps_answers_and_counts(excel_sim):
    ws = active_sheet()
    excel_sim.reset_counts()

    def work(i):
        cell = ws.getRange("A%d" % (i + 1))
        cell.values = i
        return cell.values[0][0]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(work, range(8))) == list(range(8))
    counts = excel_sim.request_counts()
    # Per cell: getRange (GET + CALL), SET values, GET values.
    assert counts["SET"] == 8 and counts["CALL"] == 8 and counts["GET"] == 16
