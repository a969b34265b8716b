"""One script, one outcome: what used to differ between the simulated
workbook and the browser stack, checked on both."""

import math

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
