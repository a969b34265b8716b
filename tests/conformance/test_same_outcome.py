"""One script, one outcome: what used to differ between the simulated
workbook and the browser stack, checked on both."""

import pytest


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


def test_integer_properties_stay_int(sheet):
    rng = sheet.getRange("B3:C4")
    got = (rng.rowCount, rng.columnCount, rng.rowIndex, rng.columnIndex, sheet.position)
    assert got[:4] == (2, 2, 2, 1)
    assert all(type(v) is int for v in got)
