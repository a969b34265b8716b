"""What a cell can hold: at most 32,767 characters of text."""

import pytest

from .test_cells import raises_code

MAX_TEXT = 32767


def test_the_longest_text_fits(sheet):
    cell = sheet.getRange("A1")
    cell.values = [["x" * MAX_TEXT]]
    assert len(cell.values[0][0]) == MAX_TEXT


@pytest.mark.parametrize("member", ["values", "formulas"])
def test_longer_text_is_refused_and_nothing_written(sheet, member):
    rng = sheet.getRange("A1:B1")
    with raises_code("InvalidArgument"):
        setattr(rng, member, [["short", "y" * (MAX_TEXT + 1)]])
    assert rng.values == [["", ""]]


def test_table_rows_obey_it_too(sheet):
    table = sheet.tables.add("A1:B1", True)
    with raises_code("InvalidArgument"):
        table.rows.add(None, [["ok", "z" * (MAX_TEXT + 1)]])
    assert table.rows.getCount() == 0
