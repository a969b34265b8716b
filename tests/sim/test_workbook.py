"""The workbook on its own, through its Office.js objects and its storage:
cell contents, formulas, addresses, names, null objects, error codes and
change events, as Office.js behaves."""

import datetime as dt
import math

import pytest

from com_like_sim import sheets
from com_like_sim.addresses import AddressError, format_block, parse_address
from com_like_sim.members import JsError
from com_like_sim.model import Workbook
from com_like_sim.ranges import union


def book(*names):
    """The Office.js workbook object over a fresh workbook."""
    return sheets.Workbook(Workbook(sheet_names=names or ("Sheet1",)))


@pytest.fixture
def ws():
    return book("Sheet1", "My Sheet").worksheets.getFirst()


def write(ws, address, value):
    ws.getRange(address).values = value


@pytest.mark.parametrize("written, value, formula", [
    ("2.50", 2.5, 2.5),
    ("0x10", "0x10", "0x10"),
    ("=", "=", "="),
    ("=1+2", 3.0, "=1+2"),
    (None, "", ""),
    (math.nan, "", ""),
    (2 ** 60, float(2 ** 60), float(2 ** 60)),
    (dt.date(2024, 1, 31), 45322.0, 45322.0),
    (dt.datetime(2024, 1, 31, 18, 0), 45322.75, 45322.75),
    (dt.datetime(1899, 12, 30), 0.0, 0.0),
    (dt.datetime(2024, 1, 31, 6, tzinfo=dt.timezone.utc), 45322.25, 45322.25),
])
def test_written_values_read_as_typed_input(ws, written, value, formula):
    write(ws, "B2", [[written]])
    rng = ws.getRange("B2")
    assert rng.values == [[value]] and rng.formulas == [[formula]]
    assert type(rng.values[0][0]) is type(value)


def test_none_and_nan_empty_cells_and_scalars_fill(ws):
    write(ws, "A1:B2", "x")
    assert ws.getRange("A1:B2").values == [["x", "x"], ["x", "x"]]
    write(ws, "A1:B2", [[None, math.nan], ["", "y"]])
    assert ws.getRange("A1:B2").values == [["", ""], ["", "y"]]
    write(ws, "A1:B2", None)
    assert ws.sheet.cells == {}


@pytest.mark.parametrize("value", [[[1, 2]], [1, 2], [[1], [2, 3]], []])
def test_shape_mismatch_is_invalid_argument(ws, value):
    with pytest.raises(JsError, match=r"^InvalidArgument: The number of rows or columns"):
        write(ws, "A1:B2", value)
    assert ws.sheet.cells == {}


@pytest.mark.parametrize("value", [math.inf, b"x", {"a": 1}, [[object()]], [[[1]]]])
def test_values_a_cell_cannot_hold_are_refused(ws, value):
    with pytest.raises(JsError, match="^InvalidArgument: "):
        write(ws, "A1", value if isinstance(value, list) else [[value]])


SEED = {"A1": 2, "A2": 3, "A3": "text", "A4": True, "B1": 0, "B2": "=A1/B1", "B3": "=A3+1"}


@pytest.mark.parametrize("formula, expected", [
    ("=10-4-3", 3),
    ("=12/4/3", 1),
    ("=-A1*-2", 4),
    ("=--1", 1),
    ("= 1 + a1 ", 3),
    ("=$A$1*A2", 6),
    ("=1/3", 1 / 3),
    ("=A4+1", 2),
    ("=C9+1", 1),
    ("=A3*1", "#VALUE!"),
    ("=A3", "text"),
    ("=a4", True),
    ("=C9", 0),
    ("=A1/B1", "#DIV/0!"),
    ("=B2+A3", "#DIV/0!"),
    ("=A3+B2", "#VALUE!"),
    ("=SUM(A1:A4)", 5),
    ("=sum(A1:A4, 10, A1*2)", 19),
    ("=SUM(A4)", 0),
    ("=SUM()", 0),
    ("=AVERAGE(A1:A3)", 2.5),
    ("=AVERAGE(A3:A4)", "#DIV/0!"),
    ("=MIN(A1:A3)", 2),
    ("=MAX(A1:A4, 1)", 3),
    ("=MIN(C1:C9)", 0),
    ("=MAX(C1:C9)", 0),
    ("=COUNT(A1:B1)", 2),
    ("=COUNT(A1:A4, 5)", 3),
    ("=SUM(A1:B2)", "#DIV/0!"),
    ("=SUM(A1:A2)*2", 10),
    ("=" + "9" * 300 + "*" + "9" * 300, "#NUM!"),
    ("=A1:A2", "#NAME?"),
    ("=VLOOKUP(1, A1:B2, 2)", "#NAME?"),
    ("=A1+", "#NAME?"),
    ("=(1", "#NAME?"),
    ("=1 2", "#NAME?"),
    ("=+1", "#NAME?"),
    ("=Sheet2!A1", "#NAME?"),
    ("=1e3", "#NAME?"),
    ("=XFE1", "#NAME?"),
    ("=TRUE", "#NAME?"),
    ("=A1 & A2", "#NAME?"),
])
def test_formulas(ws, formula, expected):
    for address, value in SEED.items():
        write(ws, address, value)
    write(ws, "D1", formula)
    got = ws.getRange("D1")
    assert got.values == [[expected]] and got.formulas == [[formula]]
    shown = (str(expected).upper() if isinstance(expected, bool)
             else "%.10g" % expected if isinstance(expected, float) else str(expected))
    assert got.text == [[shown]]


def test_formulas_follow_their_inputs_and_cycles_read_zero(ws):
    write(ws, "A1:C1", [[1, "=A1*10", "=SUM(A1:B1)"]])
    assert ws.getRange("A1:C1").values == [[1, 10, 11]]
    write(ws, "A1", [[2]])
    assert ws.getRange("C1").values == [[22]]
    write(ws, "A2:C2", [["=B2+1", "=A2+1", "=A2+5"]])
    assert ws.getRange("A2:C2").values == [[0, 0, 5]]
    write(ws, "D1", "=D1")
    assert ws.getRange("D1").values == [[0]]


def test_a_long_chain_of_formulas_is_computed_without_deep_recursion(ws):
    n = 5000
    write(ws, "A1", [[1]])
    write(ws, "A2:A%d" % n, [["=A%d+1" % i] for i in range(1, n)])
    assert ws.getRange("A%d" % n).values == [[n]]
    write(ws, "B1", "=SUM(A1:A%d)" % n)
    assert ws.getRange("B1").values == [[n * (n + 1) // 2]]


@pytest.mark.parametrize("text, block, shown", [
    ("B:B", (0, 1, 1048575, 1), "B:B"),
    ("$b:$D", (0, 1, 1048575, 3), "B:D"),
    ("D:B", (0, 1, 1048575, 3), "B:D"),
    ("2:2", (1, 0, 1, 16383), "2:2"),
    ("$5:2", (1, 0, 4, 16383), "2:5"),
    ("a1:xfd1048576", (0, 0, 1048575, 16383), "A:XFD"),
    ("c3", (2, 2, 2, 2), "C3"),
])
def test_whole_columns_and_rows(text, block, shown):
    assert parse_address(text) == (None, block)
    assert format_block(block) == shown


def test_whole_column_ranges_read_null_data_and_refuse_writes(ws):
    write(ws, "B3", 5)
    col = ws.getRange("b:b")
    assert (col.address, col.cellCount, col.rowCount) == ("Sheet1!B:B", 1048576, 1048576)
    assert col.values is None and col.formulas is None and col.numberFormat is None
    assert col.format.fill.color == "#FFFFFF"
    ws.getRange("B3").format.fill.color = "#FF0000"
    assert col.format.fill.color is None
    with pytest.raises(JsError, match="^InvalidArgument: "):
        col.values = 1
    col.clear()
    assert ws.sheet.cells == {}
    assert ws.getRange().address == "Sheet1!A:XFD"
    assert ws.getRange("C4").getEntireRow().address == "Sheet1!4:4"


@pytest.mark.parametrize("name, shown", [("Sheet1", "Sheet1!A1"), ("My Sheet", "'My Sheet'!A1"),
                                         ("it's", "'it''s'!A1"), ("Q1.2", "'Q1.2'!A1")])
def test_addresses_quote_sheet_names_with_non_word_characters(name, shown):
    ws = book(name).worksheets.getFirst()
    assert ws.getRange("A1").address == shown
    assert ws.getRange(shown).address == shown


def test_sheet_names_are_case_insensitive(ws):
    wb = sheets.Workbook(ws.sheet.book)
    assert wb.worksheets.getItem("SHEET1").sheet is ws.sheet
    assert wb.worksheets.getItem("my sheet").name == "My Sheet"
    assert wb.worksheets.getItem(ws.id).sheet is ws.sheet
    assert ws.getRange("sheet1!A1").address == "Sheet1!A1"
    with pytest.raises(JsError, match="^ItemAlreadyExists: "):
        wb.worksheets.add("sheet1")
    with pytest.raises(JsError, match="^ItemAlreadyExists: "):
        ws.name = "MY SHEET"
    ws.name = "SHEET1"       # its own name in another case
    assert ws.name == "SHEET1"


def test_null_objects(ws):
    wb = sheets.Workbook(ws.sheet.book)
    missing = wb.worksheets.getItemOrNullObject("Nope")
    assert missing.js_type == "Worksheet" and missing.get_member("isNullObject") is True
    with pytest.raises(JsError, match="^ItemNotFound: "):
        missing.get_member("name")
    with pytest.raises(JsError, match="^ItemNotFound: "):
        missing.member_setter("name")
    assert wb.worksheets.getItemOrNullObject("sheet1").get_member("isNullObject") is False
    assert ws.getUsedRangeOrNullObject().get_member("isNullObject") is True
    write(ws, "B2", 1)
    assert ws.getUsedRangeOrNullObject().address == "Sheet1!B2"
    rng = ws.getRange("A1:B2")
    assert rng.getIntersectionOrNullObject("D4").get_member("isNullObject") is True
    assert rng.getIntersectionOrNullObject(ws.getRange("B2:C3")).address == "Sheet1!B2"
    with pytest.raises(JsError, match="^ItemNotFound: Range is a null object"):
        union(rng, rng.getIntersectionOrNullObject("D4"))


@pytest.mark.parametrize("action, code", [
    (lambda wb: wb.worksheets.getItem("Nope"), "ItemNotFound"),
    (lambda wb: wb.worksheets.add("Sheet1"), "ItemAlreadyExists"),
    (lambda wb: wb.worksheets.add("a/b"), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().getRange("A0"), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().getRange("B2:Q"), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().getRange("A1").getIntersection("C3"), "ItemNotFound"),
    (lambda wb: wb.worksheets.getFirst().getRange("A1").get_member("valuez"), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().getRange("A1").getOffsetRange(-1, 0), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().getRange("A1").clear("Some"), "InvalidArgument"),
    (lambda wb: wb.worksheets.getFirst().delete(), "InvalidOperation"),
])
def test_error_codes(action, code):
    with pytest.raises(JsError) as info:
        action(book())
    assert str(info.value).startswith(code + ": ") and info.value.code == code


def test_a_deleted_sheet_is_not_found():
    sheet = book("A", "B").worksheets.getFirst()
    sheet.delete()
    with pytest.raises(JsError, match="^ItemNotFound: "):
        sheet.getRange("A1")


def test_used_range_counts_values_and_formulas_not_formats(ws):
    assert ws.getUsedRange().address == "Sheet1!A1"
    ws.getRange("E9").format.font.bold = True
    ws.getRange("A1").numberFormat = "0.00"
    assert ws.getUsedRange().address == "Sheet1!A1"
    write(ws, "C2", "=1")
    write(ws, "B4", "x")
    assert ws.getUsedRange(True).address == "Sheet1!B2:C4"


def test_number_formats(ws):
    rng = ws.getRange("A1:B1")
    assert rng.numberFormat == [["General", "General"]]
    rng.numberFormat = [["0.00", ""]]
    assert rng.numberFormat == [["0.00", "General"]]
    with pytest.raises(JsError, match="^InvalidArgument: The number of rows"):
        rng.numberFormat = [["0", "0", "0"]]


@pytest.mark.parametrize("address, value, details", [
    ("B2", [[5]], {"valueBefore": "", "valueAfter": 5, "valueTypeBefore": "Empty",
                   "valueTypeAfter": "Double"}),
    ("A1", [["=1/0"]], {"valueBefore": "old", "valueAfter": "#DIV/0!",
                        "valueTypeBefore": "String", "valueTypeAfter": "Error"}),
    ("A1", [["true"]], {"valueBefore": "old", "valueAfter": True,
                        "valueTypeBefore": "String", "valueTypeAfter": "Boolean"}),
    ("A1:B2", 1, None),
    ("B:B", None, None),
])
def test_change_events_carry_office_js_arguments(ws, address, value, details):
    events = []
    write(ws, "A1", "old")
    ws.sheet.change_handlers.append(object())     # a listener: events are built
    ws.sheet.book.on_changed = lambda sheet, args: events.append((sheet, args))
    if value is None:
        ws.getRange(address).clear()
    else:
        write(ws, address, value)
    (sheet, args), = events
    assert sheet is ws.sheet
    assert args == {"type": "WorksheetChanged", "changeType": "RangeEdited", "source": "Local",
                    "address": address, "worksheetId": ws.id, "details": details}


def test_worksheet_ids_are_stable_and_unique():
    wb = Workbook(sheet_names=("A", "B"))
    ids = [s.id for s in wb.sheets] + [wb.add("C").id]
    assert len(set(ids)) == 3 and all(i.startswith("{") and i.endswith("}") for i in ids)
    wb.rename(wb.sheets[0], "Z")
    assert wb.sheet("z").id == ids[0]


def test_seed_writes_values_and_names_sheets():
    wb = Workbook(sheet_names=("Data", "Report"))
    wb.seed("A1:B1", [["x", "2"]])
    wb.seed("report!C3", "=1+1")
    wb.seed("Report!C4", "=1/0")
    wb.seed("Report!D1", dt.date(2024, 1, 31))
    assert wb.sheet("Data").values("A1:B1") == [["x", 2]]
    report = wb.sheet("REPORT")
    assert report.values("Report!C3:C4") == [[2], ["#DIV/0!"]]
    assert report.value("C3") == 2 and report.cell("C3").value == "=1+1"
    assert report.cell("D1").number_format == "yyyy-mm-dd"
    assert report.cell("Z9").value == "" and "Z9" not in report.cells
    with pytest.raises(JsError, match="^ItemNotFound: "):
        wb.seed("Other!A1", 1)
    with pytest.raises(JsError, match="^InvalidArgument: .*whole column"):
        wb.seed("B:B", 1)
    with pytest.raises(KeyError, match="Data"):
        wb.sheet("Other")


@pytest.mark.parametrize("read", [lambda s: s.value("A1:B1"), lambda s: s.values("Data!A1"),
                                  lambda s: s.values("B:B"), lambda s: s.cell("A0")])
def test_reading_storage_refuses_what_is_not_its_cells(read):
    with pytest.raises(AddressError):
        read(Workbook(sheet_names=("Sheet1", "Data")).sheet("Sheet1"))
