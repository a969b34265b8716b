"""Cell data as a user of com_like sees it, identical on both backends."""

import concurrent.futures
import datetime as dt

import pytest

import com_like

from .conftest import unique_name


def raises_code(code, text=""):
    # A failed read or write comes back as OfficeJsAttributeError, a failed
    # call as RuntimeError (which the former is too); either way the message
    # starts with the Office.js code.
    return pytest.raises(RuntimeError, match="^%s: %s" % (code, text))


def test_values_round_trip(sheet):
    rng = sheet.getRange("A1:C2")
    rng.values = [[1, 2.5, "text"], [True, False, -7]]
    assert rng.values == [[1, 2.5, "text"], [True, False, -7]]
    assert rng.formulas == [[1, 2.5, "text"], [True, False, -7]]
    assert sheet.getRange("D1").values == [[""]]       # never written
    assert sheet.getRange("D1").formulas == [[""]]


@pytest.mark.parametrize("written, read", [
    ("12", 12.0), (" 7 ", 7.0), (".5", 0.5), ("5.", 5.0), ("-3.5", -3.5), ("1e3", 1000.0), ("+4", 4.0),
    ("TRUE", True), ("false", False), ("tRuE", True),
    ("12a", "12a"), ("1,000", "1,000"), ("abc", "abc"), ("", ""),
])
def test_text_is_read_as_typed_input(sheet, written, read):
    cell = sheet.getRange("A1")
    cell.values = [[written]]
    got = cell.values[0][0]
    assert got == read and type(got) is type(read)
    assert cell.formulas == [[read]]


def test_dates_are_serial_numbers(sheet):
    rng = sheet.getRange("A1:C1")
    rng.values = [[dt.date(2024, 3, 1), dt.datetime(2024, 3, 1, 18, 0), dt.date(1900, 3, 1)]]
    assert rng.values == [[45352, 45352.75, 61]]


def test_single_value_fills_the_range(sheet):
    rng = sheet.getRange("B2:C3")
    rng.values = 7
    assert rng.values == [[7, 7], [7, 7]]
    rng.numberFormat = "0.00"
    assert rng.numberFormat == [["0.00", "0.00"], ["0.00", "0.00"]]


@pytest.mark.parametrize("member, data", [
    ("values", [[1, 2]]),
    ("values", [[1], [2]]),
    ("values", [[1, 2], [3]]),
    ("formulas", [[1, 2, 3], [4, 5, 6]]),
    ("numberFormat", [["0", "0"]]),
])
def test_shape_mismatch_is_invalid_argument(sheet, member, data):
    rng = sheet.getRange("A1:B2")
    with raises_code("InvalidArgument"):
        setattr(rng, member, data)
    assert rng.values == [["", ""], ["", ""]]


@pytest.mark.parametrize("member, data, read", [
    ("numberFormat", [["$0.00"]], [["$0.00"]] * 4),    # the reference's own sample
    ("values", [[2.5]], [[2.5]] * 4),
])
def test_a_one_by_one_array_fills_the_range(sheet, member, data, read):
    rng = sheet.getRange("E3:E6")
    setattr(rng, member, data)
    assert getattr(rng, member) == read


def test_number_formats(sheet):
    rng = sheet.getRange("A1:B1")
    assert rng.numberFormat == [["General", "General"]]
    rng.values = [[0.5, 3]]
    rng.numberFormat = [["0.00%", "@"]]
    assert rng.numberFormat == [["0.00%", "@"]]
    assert rng.values == [[0.5, 3]]
    rng.values = [["", ""]]                  # "" clears the value and its format
    assert rng.numberFormat == [["General", "General"]]


def test_fill_and_font(sheet):
    head, body = sheet.getRange("A1:C1"), sheet.getRange("A1:C2")
    assert body.format.fill.color == "#FFFFFF" and body.format.font.bold is False
    head.format.fill.color = "#4472C4"
    head.format.font.bold = True
    assert head.format.fill.color == "#4472C4" and head.format.font.bold is True
    # Cells that disagree read null.
    assert body.format.fill.color is None and body.format.font.bold is None
    assert sheet.getRange("B2").format.fill.color == "#FFFFFF"


@pytest.mark.parametrize("formula, result", [
    ("=1+2*3", 7),
    ("=(1+2)*3", 9),
    ("=-A1+10", 8),
    ("=A1/B1", 0.5),
    ("=a1*$B$1", 8),
    ("=SUM(A1:B2)", 11),
    ("=sum(A1:B2, 4)", 15),
    ("=AVERAGE(A1:B1)", 3),
    ("=MIN(A1:B2)", 2),
    ("=MAX(A1:B2)", 5),
    ("=COUNT(A1:C2)", 3),
    ("=MIN(C1:C2)", 0),
    ("=AVERAGE(C1:C2)", "#DIV/0!"),
    ("=A1/0", "#DIV/0!"),
    ("=A2+1", "#VALUE!"),
    ("=SUM(A2:B2)", 5),
    ("=C1+1", 1),
    ("=A2", "x"),
    ("=C1", 0),
    ("=-A2", "#VALUE!"),
    ("=SQRT(4)", "#NAME?"),
    ("=1+", "#NAME?"),
    ("=(A1/0)+SQRT(4)", "#NAME?"),
])
def test_formulas_evaluate(sheet, formula, result):
    sheet.getRange("A1:B2").values = [[2, 4], ["x", 5]]
    cell = sheet.getRange("D1")
    cell.values = [[formula]]
    assert cell.values == [[result]]
    assert cell.formulas == [[formula]]


def test_formulas_follow_their_inputs(sheet):
    sheet.getRange("A1:A3").formulas = [[1], ["=A1*10"], ["=A2+A1"]]
    assert sheet.getRange("A2:A3").values == [[10], [11]]
    sheet.getRange("A1").values = 3
    assert sheet.getRange("A2:A3").values == [[30], [33]]
    sheet.getRange("B1").values = [["=B1+1"]]          # circular
    assert sheet.getRange("B1").values == [[0]]


def test_used_range(sheet):
    assert sheet.getUsedRange().address == "%s!A1" % sheet.name
    sheet.getRange("C2").values = 1
    assert sheet.getUsedRange().address == "%s!C2" % sheet.name
    sheet.getRange("B4:D5").values = [["=C2", "", 1], ["", "", "x"]]
    assert sheet.getUsedRange().address == "%s!B2:D5" % sheet.name
    sheet.getRange("F9").format.fill.color = "#FF0000"      # formats do not count
    assert sheet.getUsedRange().address == "%s!B2:D5" % sheet.name
    assert sheet.getUsedRange().values[0] == ["", 1, ""]


@pytest.mark.parametrize("given, address", [
    ("A1", "A1"), ("a1:b2", "A1:B2"), ("$B$2", "B2"), ("B:B", "B:B"), ("b:d", "B:D"),
    ("2:2", "2:2"), ("2:5", "2:5"), ("B2:A1", "A1:B2"),
])
def test_addresses(sheet, given, address):
    assert sheet.getRange(given).address == "%s!%s" % (sheet.name, address)


def test_whole_columns_and_rows(sheet):
    col, row = sheet.getRange("B:B"), sheet.getRange("2:2")
    assert (col.rowCount, col.columnCount) == (1048576, 1)
    assert (row.rowCount, row.columnCount) == (1, 16384)
    sheet.getRange("B3").values = 5
    assert com_like.Intersect(col, row).address == "%s!B2" % sheet.name


def test_quoted_sheet_names_in_addresses(workbook):
    ws = workbook.worksheets.add("My " + unique_name())
    try:
        assert ws.getRange("A1:B2").address == "'%s'!A1:B2" % ws.name
    finally:
        ws.delete()


@pytest.mark.parametrize("address", ["not an address", "A0", "XFE1", "A1048577", "A1:"])
def test_bad_address_is_invalid_argument(sheet, address):
    with raises_code("InvalidArgument"):
        sheet.getRange(address).values


@pytest.mark.parametrize("address", ["B:B", "2:2"])
def test_unbounded_ranges_read_null_and_refuse_data(sheet, address):
    rng = sheet.getRange(address)
    for member in ("values", "formulas", "numberFormat", "text"):
        assert getattr(rng, member) is None
    with pytest.raises((RuntimeError, AttributeError)):
        rng.values = 1
    assert rng.address == "%s!%s" % (sheet.name, address)


@pytest.mark.parametrize("written, read", [
    ("#4472c4", "#4472C4"), ("yellow", "#FFFF00"), ("Red", "#FF0000"), ("orange", "#FFA500"),
])
def test_colors_read_back_as_codes(sheet, written, read):
    rng = sheet.getRange("A1:B2")
    rng.format.fill.color = written
    rng.format.font.color = written
    assert (rng.format.fill.color, rng.format.font.color) == (read, read)


@pytest.mark.parametrize("color", ["#12345", "no such color", 5])
def test_bad_colors_are_invalid_argument(sheet, color):
    with raises_code("InvalidArgument"):
        sheet.getRange("A1").format.fill.color = color


@pytest.mark.parametrize("value, fmt, text", [
    (1, "General", "1"), (1 / 3, "General", "0.3333333333"), (1234567890123, "General", "1.23457E+12"),
    (2.5, "0.00", "2.50"), (0.125, "0.00", "0.13"), (-2.5, "0", "-3"), (1234567.891, "#,##0.00", "1,234,567.89"),
    (0.256, "0.0%", "25.6%"), (-5, "0;(0)", "(5)"), (0, '0;-0;"zero"', "zero"), (3, '0 "units"', "3 units"),
    (12.5, "$#,##0.00", "$12.50"), (0.5, "#.00", ".50"), ("abc", "General", "abc"), (True, "0.00", "TRUE"),
    (45352.75, "yyyy-mm-dd", "2024-03-01"), (45352.75, "m/d/yyyy h:mm AM/PM", "3/1/2024 6:00 PM"),
    (45352.75, "dddd, mmmm d", "Friday, March 1"), (45352.75, "hh:mm:ss", "18:00:00"),
    (61, "yyyy-mm-dd", "1900-03-01"), (60, "d-mmm-yy", "29-Feb-00"), ("", "0.00", ""),
])
def test_text_shows_the_number_format(sheet, value, fmt, text):
    cell = sheet.getRange("A1")
    cell.values = [[value]]
    cell.numberFormat = [[fmt]]
    assert cell.text == [[text]]


def test_text_of_formulas_and_errors(sheet):
    rng = sheet.getRange("A1:C1")
    rng.values = [[2, "=A1/4", "=A1/0"]]
    rng.numberFormat = "0.00"
    assert rng.text == [["2.00", "0.50", "#DIV/0!"]]


def test_whole_columns_and_rows_take_formats(sheet):
    sheet.getRange("B3").format.fill.color = "#00FF00"      # painted over by the column
    sheet.getRange("B:B").format.fill.color = "#FF0000"
    assert sheet.getRange("B:B").format.fill.color == "#FF0000"
    assert sheet.getRange("B2:B3").format.fill.color == "#FF0000"
    assert sheet.getRange("A2:B2").format.fill.color is None
    sheet.getRange("B4").format.fill.color = "#0000FF"      # a cell over the column
    sheet.getRange("B5").values = 1                         # a new cell keeps the column's
    assert sheet.getRange("B4:B5").format.fill.color is None
    assert sheet.getRange("B5").format.fill.color == "#FF0000"
    sheet.getRange("3:3").format.font.bold = True
    assert sheet.getRange("A3:XFD3").format.font.bold is True
    assert sheet.getRange("B3:B4").format.font.bold is None
    sheet.getRange("B1:B2").clear("Formats")
    assert sheet.getRange("B1:B2").format.fill.color == "#FFFFFF"
    assert sheet.getRange("B5:B9").format.fill.color == "#FF0000"
    assert sheet.getRange("B:B").format.fill.color is None
    assert sheet.getUsedRange().address == "%s!B5" % sheet.name   # formats do not count


def test_threads_get_their_own_answers(sheet):
    def work(t):
        cell = sheet.getRange("%s1" % "ABCDEFGH"[t])
        got = []
        for i in range(100):
            cell.values = [[t * 1000 + i]]
            got.append(cell.values[0][0])
        return got

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(8)))
    for t, got in enumerate(results):
        assert got == [t * 1000 + i for i in range(100)]
