"""Worksheets, null objects, the fixed functions and error codes."""

import pytest

import com_like

from .conftest import unique_name
from .test_cells import raises_code


def test_add_rename_delete_worksheets(workbook):
    sheets = workbook.worksheets
    before = sheets.getCount()
    name = unique_name()
    ws = sheets.add(name)
    assert ws.name == name and sheets.getCount() == before + 1
    assert sheets.getItem(name.lower()).name == name       # any letter case
    assert sheets.getItem(ws.id).name == name
    ws.name = name + "x"
    assert sheets.getItem(name + "x").id == ws.id
    assert sheets.getItemOrNullObject(name).isNullObject is True
    ws.delete()
    assert sheets.getCount() == before
    assert sheets.getItemOrNullObject(name + "x").isNullObject is True


@pytest.mark.parametrize("use", [
    lambda ws: ws.name, lambda ws: ws.id, lambda ws: ws.position,
    lambda ws: ws.getRange("A1").values, lambda ws: setattr(ws, "name", "again"),
])
def test_a_deleted_worksheet_is_gone(workbook, use):
    ws = workbook.worksheets.add(unique_name())
    ws.delete()
    with raises_code("ItemNotFound"):
        use(ws)


def test_worksheet_ids_are_stable_and_distinct(sheet, workbook):
    other = workbook.worksheets.add(unique_name())
    try:
        assert isinstance(sheet.id, str) and sheet.id == sheet.id
        assert workbook.worksheets.getItem(sheet.name).id == sheet.id != other.id
    finally:
        other.delete()


def test_get_item_or_null_object(sheet, workbook):
    missing = workbook.worksheets.getItemOrNullObject("no such sheet")
    assert missing is not None and missing.isNullObject is True
    found = workbook.worksheets.getItemOrNullObject(sheet.name.upper())
    assert found.isNullObject is False and found.name == sheet.name


def test_active_worksheet(sheet, workbook):
    assert workbook.worksheets.getActiveWorksheet().name == sheet.name


@pytest.mark.parametrize("action, code", [
    (lambda wb, ws: wb.worksheets.getItem("no such sheet").name, "ItemNotFound"),
    (lambda wb, ws: wb.worksheets.add(ws.name), "ItemAlreadyExists"),
    (lambda wb, ws: wb.worksheets.add(ws.name.lower()), "ItemAlreadyExists"),
    (lambda wb, ws: ws.getRange("not an address").address, "InvalidArgument"),
    (lambda wb, ws: ws.getRange("A1:B2").__setattr__("values", [[1, 2]]), "InvalidArgument"),
])
def test_errors_carry_their_codes(sheet, workbook, action, code):
    with raises_code(code):
        action(workbook, sheet)


def test_rename_to_an_existing_name_fails(sheet, workbook):
    other = workbook.worksheets.add(unique_name())
    try:
        with raises_code("ItemAlreadyExists"):
            other.name = sheet.name.upper()
        assert workbook.worksheets.getItem(other.id).name == other.name
    finally:
        other.delete()


def test_union(sheet):
    a, b, c = sheet.getRange("A1:B2"), sheet.getRange("D4"), sheet.getRange("F1:F2")
    u = com_like.Union(a, b, c)
    assert u.address == "{0}!A1:B2, {0}!D4, {0}!F1:F2".format(sheet.name)
    assert u.areaCount == 3


@pytest.mark.parametrize("first, second, overlap", [
    ("A1:B2", "B2:C3", "B2"),
    ("A1:C3", "B2", "B2"),
    ("B:B", "A2:C3", "B2:B3"),
    ("A1:B2", "D4", None),
])
def test_intersect(sheet, first, second, overlap):
    got = com_like.Intersect(sheet.getRange(first), sheet.getRange(second))
    if overlap is None:
        assert got is None
    else:
        assert got.address == "%s!%s" % (sheet.name, overlap)


def test_get_setting(workbook):
    name = unique_name("setting")
    assert com_like.GetSetting(name) is None
    workbook.settings.add(name, "on")
    assert com_like.GetSetting(name) == "on"
    assert workbook.settings.getItem(name).value == "on"
    assert workbook.settings.getItemOrNullObject(name + "x").isNullObject is True


def test_request_counts_are_the_same_on_both(backend, sheet):
    rng = sheet.getRange("A1:B2")
    backend.reset_counts()
    rng.values = [[1, 2], [3, 4]]
    assert rng.values == [[1, 2], [3, 4]]
    sheet.getRange("C1").values = 5
    counts = backend.request_counts()
    assert {k: v for k, v in counts.items() if k != "DEL"} == {"SET": 2, "GET": 2, "CALL": 1}


@pytest.mark.parametrize("make", [
    lambda wb, ws: wb.worksheets.getItem(ws.name),
    lambda wb, ws: wb.worksheets.getActiveWorksheet(),
    lambda wb, ws: ws.getRange("A1:B2"),
    lambda wb, ws: ws.getRange("A1").format.fill,
], ids=["getItem", "getActiveWorksheet", "range", "fill"])
def test_an_ordinary_proxy_is_not_a_null_object(sheet, workbook, make):
    # Office.js fills isNullObject in only for *OrNullObject results; the
    # answer must still be there, and hasattr() must not be fooled.
    obj = make(workbook, sheet)
    assert hasattr(obj, "isNullObject")
    assert obj.isNullObject is False
