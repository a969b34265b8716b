"""What a cell can hold: at most 32,767 characters of text, and formulas
of at most 8,192 characters."""

import pytest

from .test_cells import raises_code

MAX_TEXT = 32767
MAX_FORMULA = 8192


def test_the_longest_text_fits(sheet):
    cell = sheet.getRange("A1")
    cell.values = [["x" * MAX_TEXT]]
    assert len(cell.values[0][0]) == MAX_TEXT


def test_the_longest_formula_fits(sheet):
    sheet.getRange("B1").values = [[2]]
    cell = sheet.getRange("A1")
    formula = ("=" + "+".join(["1"] * 3000 + ["B1"] * 700)).ljust(MAX_FORMULA)
    cell.formulas = [[formula]]
    assert cell.values == [[4400]]


@pytest.mark.parametrize("member", ["values", "formulas"])
@pytest.mark.parametrize("too_long", ["y" * (MAX_TEXT + 1), "=1" + " " * (MAX_FORMULA - 1)],
                         ids=["text", "formula"])
def test_longer_text_is_refused_and_nothing_written(sheet, member, too_long):
    rng = sheet.getRange("A1:B1")
    with raises_code("InvalidArgument"):
        setattr(rng, member, [["short", too_long]])
    assert rng.values == [["", ""]]


def test_table_rows_obey_it_too(sheet):
    table = sheet.tables.add("A1:B1", True)
    with raises_code("InvalidArgument"):
        table.rows.add(None, [["ok", "z" * (MAX_TEXT + 1)]])
    assert table.rows.getCount() == 0
