"""Frozen panes, column widths and row heights, and fitting columns to
their text."""

import pytest

from .test_cells import raises_code


def location(sheet):
    return sheet.freezePanes.getLocation().address.split("!")[1]


def test_rows_and_columns_freeze_independently(sheet):
    panes = sheet.freezePanes
    assert panes.getLocationOrNullObject().isNullObject is True
    panes.freezeRows(2)
    assert location(sheet) == "1:2"
    panes.freezeColumns(1)
    assert location(sheet) == "A1:A2"
    panes.freezeRows(0)
    assert location(sheet) == "A:A"
    panes.freezeRows()                      # one row by default
    assert location(sheet) == "A1"
    panes.unfreeze()
    assert panes.getLocationOrNullObject().isNullObject is True


@pytest.mark.parametrize("frozen, read", [
    ("A1:C2", "A1:C2"), ("H2:K5", "H2:K5"), ("C:D", "C:D"), ("2:3", "2:3"), ("range", "B2"),
])
def test_freeze_at_freezes_those_cells(sheet, frozen, read):
    target = sheet.getRange("B2") if frozen == "range" else frozen
    sheet.freezePanes.freezeAt(target)
    assert location(sheet) == read
    sheet.freezePanes.freezeAt(None)            # None unfreezes
    assert sheet.freezePanes.getLocationOrNullObject().isNullObject is True


def test_freezing_rows_keeps_the_columns_of_a_pane(sheet):
    sheet.freezePanes.freezeAt("C3:D4")
    sheet.freezePanes.freezeRows(1)
    assert location(sheet) == "C1:D1"


@pytest.mark.parametrize("action, code", [
    (lambda p: p.freezeRows(-1), "InvalidArgument"),
    (lambda p: p.freezeColumns(2.5), "InvalidArgument"),
    (lambda p: p.freezeAt("nowhere"), "InvalidArgument"),
    (lambda p: p.getLocation().address, "ItemNotFound"),
])
def test_pane_errors(sheet, action, code):
    with raises_code(code):
        action(sheet.freezePanes)


def test_autofit_columns_fits_the_text(sheet):
    sheet.getRange("A1:B2").values = [["a much longer piece of text", "ab"], [1, 2]]
    standard = sheet.getRange("C1").format.columnWidth
    assert standard == sheet.getRange("A:D").format.columnWidth
    sheet.getRange("A:C").format.autofitColumns()
    wide, narrow = sheet.getRange("A1").format.columnWidth, sheet.getRange("B1").format.columnWidth
    assert wide > standard > narrow > 0
    assert sheet.getRange("C1").format.columnWidth == standard      # no text: unchanged
    assert sheet.getRange("A1:B1").format.columnWidth is None       # widths differ


def test_autofit_measures_the_shown_text(sheet):
    sheet.getRange("A1:C1").values = [[1234.5, 1234.5, "=A1*1000"]]
    sheet.getRange("A1").numberFormat = "#,##0.00"          # 1,234.50
    sheet.getRange("A1:C1").format.autofitColumns()
    widths = [sheet.getRange(c + "1").format.columnWidth for c in "ABC"]
    assert widths[0] > widths[2] > widths[1]                  # 8, 7 and 6 characters


def test_widths_and_heights_are_set_and_fitted(sheet):
    fmt = sheet.getRange("B2:C3").format
    fmt.columnWidth = 30
    fmt.rowHeight = 40
    assert (fmt.columnWidth, fmt.rowHeight) == (30, 40)
    assert sheet.getRange("B1:D1").format.columnWidth is None
    fmt.autofitRows()
    assert fmt.rowHeight == sheet.getRange("A1").format.rowHeight


@pytest.mark.parametrize("member, value", [("columnWidth", -1), ("rowHeight", "tall")])
def test_bad_sizes_are_refused(sheet, member, value):
    with raises_code("InvalidArgument"):
        setattr(sheet.getRange("A1").format, member, value)
