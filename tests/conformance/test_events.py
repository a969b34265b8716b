"""onChanged handlers and transactions."""

import pytest

import com_like
from host_support import wait_until

from .test_cells import raises_code


def settled(backend, predicate):
    """Events reach the browser backend's host after the write's answer:
    wait for them, then for the callbacks they started."""
    return wait_until(predicate, 5.0) and backend.wait_callbacks(5.0) and predicate()


def test_on_changed_reads_the_changed_range(backend, sheet, workbook):
    seen = []

    def on_changed(event):
        ws = com_like.Context.workbook.worksheets.getItem(event.worksheetId)
        seen.append(dict(type=event.type, changeType=event.changeType, address=event.address,
                         source=event.source, worksheetId=event.worksheetId,
                         details=event.details, values=ws.getRange(event.address).values))

    reg = sheet.onChanged.add(on_changed)
    sheet.getRange("B2:C2").values = [[3, "x"]]
    assert settled(backend, lambda: len(seen) == 1)
    first = seen[0]
    assert first == dict(type="WorksheetChanged", changeType="RangeEdited", address="B2:C2",
                         source="Local", worksheetId=sheet.id, details=None,
                         values=[[3, "x"]])
    sheet.getRange("B2").values = 4
    assert settled(backend, lambda: len(seen) == 2)
    details = seen[1]["details"]
    assert (details["valueBefore"], details["valueAfter"]) == (3, 4)
    assert {"valueTypeBefore", "valueTypeAfter"} <= set(details)
    reg.remove()
    sheet.getRange("B2").values = 5
    sheet.getRange("A1").values           # a round trip after the removal
    assert settled(backend, lambda: len(seen) >= 2) and len(seen) == 2


def test_event_has_no_worksheet_name(backend, sheet):
    names = []
    sheet.onChanged.add(lambda e: names.append(hasattr(e, "worksheetName")))
    sheet.getRange("A1").values = 1
    assert settled(backend, lambda: names == [False])


@pytest.mark.parametrize("block_gets", [False, True])
def test_transaction_commits(sheet, block_gets):
    rng = sheet.getRange("A1")
    rng.values = 1
    with com_like.OfficeJsTransaction(block_gets=block_gets):
        rng.values = 5
        sheet.getRange("A2").formulas = [["=A1*2"]]
        rng.format.font.bold = True
        if block_gets:
            with raises_code("InvalidOperation", "reading .* is blocked inside a transaction"):
                rng.values
        else:
            assert rng.values == [[1]]          # the batch is not applied yet
    assert sheet.getRange("A1:A2").values == [[5], [10]]
    assert rng.format.font.bold is True


@pytest.mark.parametrize("block_gets", [False, True])
@pytest.mark.parametrize("fault, code", [
    (lambda ws, wb: setattr(ws.getRange("A2:B2"), "values", [[1, 2, 3]]), "InvalidArgument"),
    (lambda ws, wb: setattr(wb.worksheets.getItem("no such sheet").getRange("A1"), "values", 2),
     "ItemNotFound"),
])
def test_failed_transaction(sheet, workbook, block_gets, fault, code):
    with pytest.raises((RuntimeError, AttributeError), match="^%s: " % code):
        with com_like.OfficeJsTransaction(block_gets=block_gets):
            sheet.getRange("A1").values = 1
            fault(sheet, workbook)
            sheet.getRange("A3").values = 3
    # Office.js keeps what ran before the failing command, and skips the rest.
    assert sheet.getRange("A1:A3").values == [[1], [""], [""]]


@pytest.mark.parametrize("block_gets", [False, True])
@pytest.mark.parametrize("rollback", [False, True])
def test_block_that_raises(sheet, block_gets, rollback):
    # By default the writes made before the exception are still committed;
    # roolback_at_error (sic) discards them.
    sheet.getRange("A1").values = 1
    with pytest.raises(ZeroDivisionError):
        with com_like.OfficeJsTransaction(roolback_at_error=rollback, block_gets=block_gets):
            sheet.getRange("A1").values = 2
            sheet.getRange("A2").values = 2
            1 / 0
    expected = [[1], [""]] if rollback else [[2], [2]]
    assert sheet.getRange("A1:A2").values == expected
    sheet.getRange("A2").values = 3                  # the session goes on
    assert sheet.getRange("A1:A2").values == [[expected[0][0]], [3]]
    with com_like.OfficeJsTransaction():             # and so do later batches
        sheet.getRange("B1").values = 4
    assert sheet.getRange("A1:B2").values == [[expected[0][0], 4], [3, ""]]


@pytest.mark.parametrize("write, fired", [
    (lambda ws: setattr(ws.getRange("A2"), "formulas", [["=1+1"]]), ["A2"]),
    (lambda ws: setattr(ws.getRange("A1:B2"), "values", 0), ["A1:B2"]),
    (lambda ws: ws.getRange("A1:B2").clear(), ["A1:B2"]),
    (lambda ws: setattr(ws.getRange("A1"), "numberFormat", "0.00"), []),
    (lambda ws: setattr(ws.getRange("A1").format.fill, "color", "#FF0000"), []),
    (lambda ws: ws.getRange("A1").clear("Formats"), []),
])
def test_which_writes_fire_on_changed(backend, sheet, write, fired):
    seen = []
    sheet.onChanged.add(lambda e: seen.append(e.address))
    write(sheet)
    # A marker write that always fires; events travel in order, so once its
    # handler has run, every earlier event's has been started too (the
    # browser host runs handlers on several threads: compare as sets).
    sheet.getRange("Z1").values = 1
    assert settled(backend, lambda: "Z1" in seen)
    assert sorted(seen) == sorted(fired + ["Z1"])


def test_a_committed_batch_fires_per_write(backend, sheet):
    seen = []
    sheet.onChanged.add(lambda e: seen.append((e.address, e.details["valueAfter"])))
    with com_like.OfficeJsTransaction():
        sheet.getRange("C1").values = 5
        sheet.getRange("C2").values = 6
    assert settled(backend, lambda: len(seen) == 2)
    assert sorted(seen) == [("C1", 5), ("C2", 6)]
