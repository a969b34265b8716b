"""One script, one outcome: what used to differ between the simulated
workbook and the browser stack, checked on both."""

import math
import threading

import pytest

import com_like
from host_support import wait_until


def numbers(rows):
    return [[type(v).__name__ for v in row] for row in rows]


@pytest.mark.parametrize("member", ["values", "formulas"])
def test_numbers_in_cells_read_as_floats(sheet, member):
    rng = sheet.getRange("A1:E1")
    rng.values = [[3.0, 2.5, 7, True, "=2+2"]]
    got = getattr(rng, member)
    want = [[3.0, 2.5, 7.0, True, 4.0 if member == "values" else "=2+2"]]
    assert got == want
    assert numbers(got) == numbers(want)


def test_integers_a_double_cannot_hold_arrive_rounded(sheet):
    cell = sheet.getRange("A1:B1")
    cell.values = [[2**53 + 1, 2**80]]
    assert cell.values == [[float(2**53), float(2**80)]]


def test_integer_properties_stay_int(sheet):
    rng = sheet.getRange("B3:C4")
    got = (rng.rowCount, rng.columnCount, rng.rowIndex, rng.columnIndex, sheet.position)
    assert got[:4] == (2, 2, 2, 1)
    assert all(type(v) is int for v in got)


@pytest.mark.parametrize("member", ["values", "formulas"])
@pytest.mark.parametrize("bad", [math.inf, -math.inf])
@pytest.mark.parametrize("shape", ["array", "single"])
def test_infinities_are_refused_and_nothing_is_written(sheet, member, bad, shape):
    rng = sheet.getRange("A1:B2")
    rng.values = [[1, "x"], [2, "y"]]
    data = [[5, 6], [7, bad]] if shape == "array" else bad
    with pytest.raises((RuntimeError, AttributeError), match="^InvalidArgument"):
        setattr(rng, member, data)
    assert rng.values == [[1, "x"], [2, "y"]]


def test_none_and_nan_still_empty_cells_beside_numbers(sheet):
    rng = sheet.getRange("A1:C1")
    rng.values = [[1, 2, 3]]
    rng.values = [[None, math.nan, 1e308]]
    assert rng.values == [["", "", 1e308]]


@pytest.mark.parametrize("call, address", [
    (lambda ws: ws.getRange(address="B2"), "B2"),
    (lambda ws: ws.getRange("A1").getOffsetRange(rowOffset=1, columnOffset=2), "C2"),
    (lambda ws: ws.getRange("A1").getOffsetRange(1, columnOffset=3), "D2"),
    (lambda ws: ws.getCell(column=1, row=4), "B5"),
    (lambda ws: ws.getRange("A1:B2").getResizedRange(deltaColumns=1, deltaRows=0), "A1:C2"),
])
def test_keywords_name_the_parameters(sheet, call, address):
    assert call(sheet).address == "%s!%s" % (sheet.name, address)


def test_keyword_of_an_optional_parameter(sheet):
    sheet.getRange("C3").values = 1
    sheet.getRange("E5").format.fill.color = "#FF0000"
    assert sheet.getUsedRange(valuesOnly=True).address == "%s!C3" % sheet.name
    sheet.getRange("C3:D3").values = [[1, "x"]]
    sheet.getRange("C3:D3").clear(applyTo="Contents")
    assert sheet.getRange("C3:D3").values == [["", ""]]


@pytest.mark.parametrize("call, text", [
    (lambda ws: ws.getRange(adress="B2"),
     "InvalidArgument: Worksheet.getRange() has no parameter 'adress'. Did you mean 'address'? "
     "Its parameters: address"),
    (lambda ws: ws.getRange("A1").getOffsetRange(1, rows=2),
     "InvalidArgument: Range.getOffsetRange() has no parameter 'rows'. "
     "Its parameters: rowOffset, columnOffset"),
])
def test_an_unknown_keyword_names_the_parameters(sheet, call, text):
    with pytest.raises(RuntimeError) as caught:
        call(sheet)
    assert str(caught.value) == text


@pytest.mark.parametrize("use, text", [
    (lambda ws: ws.getRnage, "Worksheet has no member 'getRnage'. Did you mean 'getRange'?"),
    (lambda ws: ws.getrange, "Worksheet has no member 'getrange'. Did you mean 'getRange'?"),
    (lambda ws: ws.getRange("A1").valuez, "Range has no member 'valuez'. Did you mean 'values'?"),
    (lambda ws: setattr(ws.getRange("A1"), "numberFormats", "0"),
     "Range has no member 'numberFormats'. Did you mean 'numberFormat'?"),
    (lambda ws: ws.zebra, "Worksheet has no member 'zebra'. Members of Worksheet: "),
])
def test_unknown_members_read_the_same_with_a_hint(sheet, use, text):
    # A read gives OfficeJsAttributeError (a RuntimeError too), an assignment a RuntimeError.
    with pytest.raises(RuntimeError) as caught:
        use(sheet)
    assert str(caught.value).startswith("InvalidArgument: " + text)


@pytest.mark.parametrize("make, use, code, call", [
    (lambda wb, ws: wb.worksheets.getItem("Sheeet1"), "name", "ItemNotFound",
     'worksheets.getItem("Sheeet1")'),
    (lambda wb, ws: ws.getRange("A0"), "values", "InvalidArgument", 'getRange("A0")'),
    (lambda wb, ws: ws.getRange("A1").getOffsetRange(-1, 0), "address", "InvalidArgument",
     'getOffsetRange(-1, 0)'),
    (lambda wb, ws: wb.settings.getItem("no such setting"), "value", "ItemNotFound",
     'settings.getItem("no such setting")'),
])
def test_a_bad_argument_shows_on_first_use_and_is_no_attribute_error(workbook, sheet, make, use,
                                                                      code, call):
    bad = make(workbook, sheet)          # Office.js describes the object; nothing fails yet
    with pytest.raises(RuntimeError) as caught:
        hasattr(bad, use)
    assert not isinstance(caught.value, AttributeError)
    text = str(caught.value)
    assert text.startswith(code + ": ") and call in text
    assert not hasattr(bad, "zebra")     # a member that does not exist is still absent


def test_handlers_of_one_source_run_one_at_a_time_in_event_order(backend, sheet):
    lock, log, running, most = threading.Lock(), [], [0], [0]

    def handler(tag):
        def on_changed(event):
            with lock:
                running[0] += 1
                most[0] = max(most[0], running[0])
            try:
                # A round trip in the middle leaves room for a later event's call.
                rng = sheet.getRange(event.address)
                log.append((tag, event.address, rng.values[0][0]))
            finally:
                with lock:
                    running[0] -= 1
        return on_changed

    regs = [sheet.onChanged.add(handler("f")), sheet.onChanged.add(handler("g"))]
    cells = ["A%d" % i for i in range(1, 7)]
    for i, address in enumerate(cells):
        sheet.getRange(address).values = i
    assert wait_until(lambda: len(log) == 12, 10.0) and backend.wait_callbacks(10.0)
    assert [(tag, address) for tag, address, _ in log] == [
        (tag, address) for address in cells for tag in "fg"]
    assert most[0] == 1
    for reg in regs:
        reg.remove()



@pytest.mark.parametrize("position, at_once", [(5, False), (-5, True)])
def test_a_position_out_of_range_is_reported_where_office_js_does(sheet, position, at_once):
    # RangeCollection.getItemAt only describes the item; a position from
    # the end is read through the items (WorksheetCollection has no getItemAt).
    areas = com_like.Union(sheet.getRange("A1"), sheet.getRange("C3")).areas
    if at_once:
        with pytest.raises(RuntimeError, match="^ItemNotFound: "):
            areas[position]
        return
    bad = areas[position]
    with pytest.raises(RuntimeError) as caught:
        bad.address
    assert not isinstance(caught.value, AttributeError)
    assert str(caught.value).startswith("ItemNotFound: ") and "areas[5]" in str(caught.value)


def test_an_infinity_is_refused_at_the_assignment_inside_a_transaction(sheet):
    rng = sheet.getRange("A1:B1")
    with com_like.OfficeJsTransaction():
        rng.values = [[1, 2]]
        with pytest.raises((RuntimeError, AttributeError), match="^InvalidArgument"):
            sheet.getRange("A2").values = [[math.inf]]
    assert rng.values == [[1, 2]] and sheet.getRange("A2").values == [[""]]


def test_keywords_of_the_fixed_functions(sheet, workbook):
    name = "kw-" + sheet.name
    workbook.settings.add(name, "on")
    assert com_like.GetSetting(name=name) == "on"
    with pytest.raises(RuntimeError, match="^InvalidArgument: .*'r'"):
        com_like.Union(sheet.getRange("A1"), r=sheet.getRange("B2"))
