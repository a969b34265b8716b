"""A range's values handed to numpy, pandas and copy, as users do with them:
each works, and sends a handful of requests at most, not one per row."""

import copy
import gc

import numpy as np
import pandas as pd
import pytest

com_like = pytest.importorskip("com_like")

ROWS = 40
NUMBERS = [[r * 10 + c + 0.5 for c in range(4)] for r in range(ROWS)]
TABLE = [["Region", "Units", "Price"]] + [["R%d" % r, r, r * 1.5] for r in range(ROWS - 1)]


@pytest.fixture
def ranges(excel_sim):
    ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
    ws.getRange("A1:D%d" % ROWS).values = NUMBERS
    ws.getRange("F1:H%d" % ROWS).values = TABLE
    return ws.getRange("A1:D%d" % ROWS).values, ws.getRange("F1:H%d" % ROWS).values


def check_array(a):
    assert isinstance(a, np.ndarray) and a.shape == (ROWS, 4) and a.dtype == np.float64
    assert a.tolist() == NUMBERS


def check_frame(df):
    assert df.shape == (ROWS, 4) and df.values.tolist() == NUMBERS


def check_headed_frame(df):
    assert list(df.columns) == TABLE[0] and df.shape == (ROWS - 1, 3)
    assert df["Units"].tolist() == list(range(ROWS - 1)) and df["Region"].iloc[-1] == "R%d" % (ROWS - 2)


def check_deep_copy(c, original):
    assert type(c) is list and type(c[0]) is list and c == original
    c[0][0] = "changed"
    assert original[0][0] == NUMBERS[0][0]


CASES = {
    "np.array(v)": (lambda v, t: np.array(v), lambda r, v: check_array(r)),
    "pd.DataFrame(v)": (lambda v, t: pd.DataFrame(v), lambda r, v: check_frame(r)),
    "pd.DataFrame(v[1:], columns=v[0])": (lambda v, t: pd.DataFrame(t[1:], columns=t[0]),
                                           lambda r, v: check_headed_frame(r)),
    "copy.deepcopy(v)": (lambda v, t: copy.deepcopy(v), check_deep_copy),
    "hasattr(v, 'shape')": (lambda v, t: hasattr(v, "shape"), lambda r, v: r is False),
    "getattr(v[0], 'shape', None)": (lambda v, t: getattr(v[0], "shape", None), lambda r, v: r is None),
}  # fmt: skip


@pytest.mark.parametrize("case", CASES)
def test_values_feed_python_libraries(excel_sim, ranges, case):
    numbers, table = ranges
    make, check = CASES[case]
    gc.collect()               # garbage of earlier tests releases its own objects first
    excel_sim.reset_counts()
    result = make(numbers, table)
    sent = excel_sim.request_counts()
    assert check(result, numbers) is not False
    assert sum(sent.values()) <= 4, sent          # never one per row
    assert set(sent) <= {"GET"}, sent             # failed probes only: nothing written or released
    del result
    gc.collect()
    assert "DEL" not in excel_sim.request_counts()  # what it made does not release the values' objects
    assert numbers.length == ROWS



def explain(request, left, right, op="=="):
    from com_like_sim.pytest_plugin import pytest_assertrepr_compare

    return pytest_assertrepr_compare(request.config, op, left, right)



@pytest.fixture
def grid(excel_sim):
    ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
    ws.getRange("A1:B2").values = [[7, 8], [9, 10]]
    return ws.getRange("A1:B2").values


@pytest.mark.parametrize(
    "pick, right, shown, expected",
    [
        (lambda v: v, [[7, 8], [9, 11]], [[7.0, 8.0], [9.0, 10.0]], "first difference at [1][1]: 10.0 != 11"),
        (lambda v: v, [[7, 8]], [[7.0, 8.0], [9.0, 10.0]],
         "first difference at top level (lengths 2 and 1): [[9.0, 10.0]] != []"),
        (lambda v: [v[0]], [[7, 0]], [[7.0, 8.0]], "first difference at [0][1]: 8.0 != 0"),
        (lambda v: com_like.Excel.ClearApplyTo, {"all": "All", "contents": "Contents", "formats": "Format"},
         {"all": "All", "contents": "Contents", "formats": "Formats"},
         "first difference at ['formats']: 'Formats' != 'Format'"),
    ],
    ids=["array", "length", "inside-a-list", "dict"],
)  # fmt: skip
def test_assertion_failures_show_contents(request, grid, pick, right, shown, expected):
    left = pick(grid)
    lines = explain(request, left, right)
    assert lines[0] == "%r == %r" % (shown, right)
    assert expected in lines
    if isinstance(left, (com_like.OfficeJsArray, com_like.OfficeJsDict)):
        assert "left is %r" % left in lines
    assert repr(grid) == "<OfficeJsArray id=%d len=2>" % grid._internal_id  # its own repr is unchanged


def test_other_comparisons_keep_pytest_explanations(request, grid):
    assert explain(request, [[1]], [[2]]) is None     # no proxy: pytest's own explanation
    assert explain(request, grid, [[1]], "!=")[0] == "[[7.0, 8.0], [9.0, 10.0]] != [[1]]"
