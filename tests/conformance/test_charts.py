"""Charts as metadata: added from a range, named, titled, found, deleted."""

import pytest

from .test_cells import raises_code


@pytest.fixture
def data(sheet):
    rng = sheet.getRange("A1:B3")
    rng.values = [["Month", "Sales"], ["Jan", 10], ["Feb", 12]]
    return rng


def test_add_name_title_and_delete_a_chart(sheet, data):
    chart = sheet.charts.add("ColumnClustered", data, "Columns")
    assert chart.name == "Chart 1" and isinstance(chart.id, str)
    assert chart.chartType == "ColumnClustered"
    chart.title.text = "Sales by month"
    chart.name = "Sales"
    assert sheet.charts.getItem("Sales").title.text == "Sales by month"
    assert sheet.charts.getCount() == 1 and sheet.charts.items[0].id == chart.id
    second = sheet.charts.add("Line", data)     # seriesBy defaults to Auto
    third = sheet.charts.add("Line", data, None)
    assert (second.name, third.name) == ("Chart 2", "Chart 3")
    assert chart.worksheet.name == sheet.name
    chart.delete()
    assert sheet.charts.getCount() == 2
    assert sheet.charts.getItemOrNullObject("Sales").isNullObject is True
    with raises_code("ItemNotFound"):
        chart.name


def test_set_position_places_the_chart_over_cells(sheet, data):
    chart = sheet.charts.add("Pie", data)
    sheet.getRange("A:A").format.columnWidth = 60
    sheet.getRange("2:3").format.rowHeight = 30
    standard = sheet.getRange("Z1").format
    width, height = standard.columnWidth, standard.rowHeight
    chart.setPosition("B2", "C4")
    assert (chart.left, chart.top) == (60, height)
    assert (chart.width, chart.height) == (2 * width, 2 * 30 + height)
    chart.width = 500
    chart.setPosition(sheet.getRange("A1"))       # without endCell the size stays
    assert (chart.left, chart.top, chart.width) == (0, 0, 500)


@pytest.mark.parametrize("action", [
    lambda ws, rng: ws.charts.add("Pie", rng).setPosition("C3", "B2"),
    lambda ws, rng: setattr(ws.charts.add("Pie", rng), "width", -1),
    lambda ws, rng: ws.charts.add("Pie", rng).setPosition("nowhere"),
    lambda ws, rng: ws.charts.add("Column", rng),
    lambda ws, rng: ws.charts.add("Pie", rng, "Diagonal"),
    lambda ws, rng: ws.charts.add("Pie", "A1:B3"),
    lambda ws, rng: setattr(ws.charts.add("Pie", rng), "chartType", "Round"),
], ids=["end-before-start", "negative-width", "bad-address", "type", "seriesBy", "address-text",
        "set-type"])
def test_bad_positions_and_arguments_are_invalid(sheet, data, action):
    with raises_code("InvalidArgument"):
        action(sheet, data)


def test_a_missing_chart_is_not_found(sheet):
    with raises_code("ItemNotFound"):
        sheet.charts.getItem("Chart 9").name
