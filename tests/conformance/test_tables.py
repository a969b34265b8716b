"""Tables: adding them, their header and data rows, rows added and deleted,
names, and what fails."""

import contextlib
import datetime as dt

import pytest

import com_like

from .conftest import unique_name
from .test_cells import raises_code


def table_name():
    # "T" and hex digits could read as a cell reference; a table name cannot.
    return unique_name("Tbl_")


def test_add_a_table_then_its_rows(sheet, workbook):
    sheet.getRange("A1:C1").values = [["Region", "Units", "Price"]]
    table = sheet.tables.add("A1:C1", True)
    # An empty table covers one blank row, which the first rows added fill.
    assert table.getRange().address == "%s!A1:C2" % sheet.name
    assert table.rows.getCount() == 0
    row = table.rows.add(None, [["North", 5, 2.5], ["South", 7, 3]])
    assert row.index == 0
    assert table.getRange().address == "%s!A1:C3" % sheet.name
    assert table.getHeaderRowRange().values == [["Region", "Units", "Price"]]
    assert table.getDataBodyRange().values == [["North", 5, 2.5], ["South", 7, 3]]
    assert table.rows.count == 2 and [r.index for r in table.rows.items] == [0, 1]
    assert sheet.tables.getItem(table.name).id == table.id
    assert workbook.tables.getItem(table.id).name == table.name
    assert table.worksheet.name == sheet.name


def test_rows_added_inside_move_the_cells_below(sheet):
    sheet.getRange("A1:B3").values = [["Item", "Qty"], ["a", 1], ["b", 2]]
    sheet.getRange("A5:C5").values = [["below", "too", "beside"]]
    table = sheet.tables.add("A1:B3", True)
    assert table.rows.getCount() == 2
    row = table.rows.add(1, [["new", 9], ["newer", 8]])
    assert row.index == 1
    assert table.getDataBodyRange().values == [["a", 1], ["new", 9], ["newer", 8], ["b", 2]]
    # Only the table's columns move.
    assert sheet.getRange("A7:C7").values == [["below", "too", ""]]
    assert sheet.getRange("C5").values == [["beside"]]


@pytest.mark.parametrize("adding", ["rows", "headers"])
def test_a_table_below_moves_whole_or_not_at_all(sheet, adding):
    sheet.getRange("A1:C2").values = [["k", "v", "w"], [1, 2, 3]]
    below = sheet.tables.add("A5:B6", True)
    beside = sheet.tables.add("B9:D10", True)       # only partly in A:C
    if adding == "headers":
        def grow():
            sheet.tables.add("A1:C2", False)
    else:
        top = sheet.tables.add("A1:C2", True)

        def grow():
            top.rows.add(0, [[7, 8, 9]])
    with raises_code("InvalidOperation"):
        grow()
    beside.delete()
    grow()
    assert below.getRange().address == "%s!A6:B7" % sheet.name
    assert below.getHeaderRowRange().values == [["Column1", "Column2"]]


def test_a_row_is_read_written_and_deleted(sheet):
    sheet.getRange("A1:B4").values = [["K", "V"], ["a", 1], ["b", 2], ["c", 3]]
    sheet.getRange("A6").values = [["after"]]
    table = sheet.tables.add("A1:B4", True)
    second = table.rows.getItemAt(1)
    assert second.values == [["b", 2]]
    second.values = [["B", 20]]
    assert second.getRange().values == [["B", 20]]
    second.delete()
    assert table.getDataBodyRange().values == [["a", 1], ["c", 3]]
    assert sheet.getRange("A5").values == [["after"]]


@pytest.mark.parametrize("written, headers", [
    ([["Sales", "", "sales", 2024]], ["Sales", "Column2", "sales2", "2024"]),
    ([["x", "x", "x", True]], ["x", "x2", "x3", "TRUE"]),
], ids=["blank-repeat-number", "repeats-boolean"])
def test_headers_become_unique_text(sheet, written, headers):
    sheet.getRange("A1:D1").values = written
    table = sheet.tables.add("A1:D2", True)
    assert table.getHeaderRowRange().values == [headers]


def test_without_headers_the_data_moves_down(sheet):
    sheet.getRange("A1:B2").values = [[1, 2], [3, 4]]
    table = sheet.tables.add("%s!A1:B2" % sheet.name, False)
    assert table.getRange().address == "%s!A1:B3" % sheet.name
    assert table.getHeaderRowRange().values == [["Column1", "Column2"]]
    assert table.getDataBodyRange().values == [[1, 2], [3, 4]]


def test_a_table_from_a_range_object(sheet):
    table = sheet.tables.add(sheet.getRange("B2:C4"), True)
    assert table.getRange().address == "%s!B2:C4" % sheet.name
    assert table.rows.getCount() == 2


def test_rename_find_and_delete(sheet, workbook):
    sheet.getRange("A1:B2").values = [["a", "b"], [1, 2]]
    table = sheet.tables.add("A1:B2", True)
    name = table_name()
    table.name = name
    assert table.style == "TableStyleMedium2"
    table.style = "TableStyleDark11"
    assert table.style == "TableStyleDark11"
    assert sheet.tables.getItem(name.upper()).id == table.id
    assert sheet.tables.getItemOrNullObject(name + "x").isNullObject is True
    before = workbook.tables.getCount()
    table.delete()
    assert workbook.tables.getCount() == before - 1
    assert sheet.tables.getCount() == 0
    # Deleting a table deletes its cells' contents.
    assert sheet.getRange("A1:B2").values == [["", ""], ["", ""]]
    with raises_code("ItemNotFound"):
        table.name


def test_columns_by_name_id_and_position(sheet):
    sheet.getRange("A1:C3").values = [["Region", "Units", "Price"], ["N", 5, 2], ["S", 7, 3]]
    table = sheet.tables.add("A1:C3", True)
    columns = table.columns
    assert columns.getCount() == 3 and columns.count == 3
    assert [c.name for c in columns.items] == ["Region", "Units", "Price"]
    units = columns.getItem("units")                # names compare in any letter case
    assert (units.id, units.index) == (columns.getItemAt(1).id, 1)
    assert columns.getItem(units.id).name == "Units"
    assert units.getDataBodyRange().address == "%s!B2:B3" % sheet.name
    assert units.getHeaderRowRange().values == [["Units"]]
    assert units.values == [["Units"], [5], [7]]
    units.getDataBodyRange().numberFormat = "0.00"
    assert units.getRange().text == [["Units"], ["5.00"], ["7.00"]]
    # A proxy got by name is looked up by that name again live: rename by position.
    second = columns.getItemAt(1)
    second.name = "Qty"
    assert table.getHeaderRowRange().values == [["Region", "Qty", "Price"]]
    assert columns.getItemOrNullObject("Units").isNullObject is True
    with raises_code("ItemAlreadyExists"):
        second.name = "price"
    with raises_code("ItemNotFound"):
        columns.getItem("Cost").name


def test_convert_to_range_keeps_the_data(sheet):
    sheet.getRange("A1:B2").values = [["a", "b"], [1, 2]]
    table = sheet.tables.add("A1:B2", True)
    assert table.convertToRange().values == [["a", "b"], [1, 2]]
    assert sheet.tables.getCount() == 0
    sheet.tables.add("A1:B2", True)             # the cells are free again


@pytest.mark.parametrize("action, code", [
    (lambda ws, t: ws.tables.add("B2:C3", True), "InvalidArgument"),              # overlaps
    (lambda ws, t: ws.tables.add("not an address", True), "InvalidArgument"),
    (lambda ws, t: ws.tables.add("E1:F2", "yes"), "InvalidArgument"),
    (lambda ws, t: ws.tables.add("E:F", True), "InvalidArgument"),
    (lambda ws, t: t.rows.add(None, [[1, 2, 3]]), "InvalidArgument"),             # too wide
    (lambda ws, t: t.rows.add(None, [1, 2]), "InvalidArgument"),                  # not rows
    (lambda ws, t: t.rows.add(5, [[1, 2]]), "InvalidArgument"),
    (lambda ws, t: t.rows.getItemAt(3).values, "ItemNotFound"),
    (lambda ws, t: setattr(t, "name", "A1"), "InvalidArgument"),
    (lambda ws, t: setattr(t, "name", "has space"), "InvalidArgument"),
    (lambda ws, t: setattr(t, "name", "1st"), "InvalidArgument"),
    (lambda ws, t: ws.tables.getItem("no_such_table").name, "ItemNotFound"),
    (lambda ws, t: setattr(t, "style", "TableStyleMedium29"), "InvalidArgument"),
    (lambda ws, t: setattr(t, "style", "Fancy"), "InvalidArgument"),
])
def test_errors_carry_their_codes(sheet, action, code):
    sheet.getRange("A1:B2").values = [["a", "b"], [1, 2]]
    table = sheet.tables.add("A1:B2", True)
    with raises_code(code):
        action(sheet, table)
    assert table.getDataBodyRange().values == [[1, 2]]


def test_a_table_name_is_unique_in_the_workbook(sheet, workbook):
    other = workbook.worksheets.add(unique_name())
    try:
        first = sheet.tables.add("A1:B2", True)
        second = other.tables.add("A1:B2", True)
        first.name = table_name()
        with raises_code("ItemAlreadyExists"):
            second.name = first.name.lower()
    finally:
        other.delete()


def test_added_rows_take_cell_data_as_values_do(sheet):
    table = sheet.tables.add("A1:C1", True)
    table.rows.add(None, [[dt.date(2024, 3, 1), None, "7"]])
    table.rows.add(None, "n/a")                 # one value fills the new row
    assert table.getDataBodyRange().values == [[45352, "", 7], ["n/a"] * 3]


def test_collections_by_position(sheet):
    first = sheet.tables.add("A1:B3", True)
    second = sheet.tables.add("D1:E2", True)
    chart = sheet.charts.add("Pie", sheet.getRange("A1:B3"))
    assert sheet.tables[0].id == first.id and sheet.tables[-1].id == second.id
    assert sheet.charts[0].id == chart.id
    first.rows.getItemAt(1).values = [["x", 1]]
    assert first.rows[1].values == [["x", 1]] and first.rows[-2].index == 0
    with raises_code("ItemNotFound"):
        sheet.tables[2].name


@pytest.mark.parametrize("rollback", [False, True])
def test_adding_inside_a_transaction_waits_for_the_commit(sheet, rollback):
    sheet.getRange("A1:B2").values = [["k", "v"], [1, 2]]
    table = sheet.tables.add("A1:B2", True)

    class Abandon(Exception):
        pass

    with pytest.raises(Abandon) if rollback else contextlib.nullcontext():
        with com_like.OfficeJsTransaction(roolback_at_error=True):
            # Queued like writes: nothing to hand back until the commit.
            assert table.rows.add(None, [[3, 4]]) is None
            assert sheet.tables.add("D1:E2", True) is None
            assert sheet.charts.add("Pie", sheet.getRange("A1:B2")) is None
            assert table.rows.getCount() == 1
            if rollback:
                raise Abandon()
    assert table.rows.getCount() == (1 if rollback else 2)
    assert sheet.tables.getCount() == (1 if rollback else 2)
    assert sheet.charts.getCount() == (0 if rollback else 1)


def test_the_last_row_deleted_leaves_the_blank_row(sheet):
    sheet.getRange("A1:B2").values = [["k", "v"], [1, 2]]
    sheet.getRange("A4").values = [["below"]]
    table = sheet.tables.add("A1:B2", True)
    table.rows.getItemAt(0).delete()
    assert table.rows.getCount() == 0
    assert table.getRange().address == "%s!A1:B2" % sheet.name
    assert table.getDataBodyRange().values == [["", ""]]
    table.rows.add(None, [[5, 6]])             # fills the blank row
    assert table.getRange().address == "%s!A1:B2" % sheet.name
    assert sheet.getRange("A4").values == [["below"]]


@pytest.mark.parametrize("always_insert, below_at", [(True, "A5"), (False, "A4")])
def test_always_insert_false_adds_below_without_moving(sheet, always_insert, below_at):
    sheet.getRange("A1:B2").values = [["k", "v"], [1, 2]]
    sheet.getRange("A4").values = [["below"]]
    table = sheet.tables.add("A1:B2", True)
    table.rows.add(None, [[3, 4]], always_insert)
    assert table.getDataBodyRange().values == [[1, 2], [3, 4]]
    assert sheet.getRange(below_at).values == [["below"]]


def test_tables_of_the_workbook_and_of_a_deleted_sheet(sheet, workbook):
    other = workbook.worksheets.add(unique_name())
    before = workbook.tables.getCount()
    here = workbook.tables.add("A1:B2", True)          # the active sheet
    there = workbook.tables.add("%s!C3:D4" % other.name, True)
    assert here.worksheet.name == sheet.name and there.worksheet.name == other.name
    assert sheet.tables.getCount() == 1 and other.tables.getCount() == 1
    other.delete()
    assert workbook.tables.getCount() == before + 1
    with raises_code("ItemNotFound"):
        there.name
