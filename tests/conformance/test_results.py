"""Results an analyst can use, identical on both backends: DataFrames in and
out in one round trip each way, probes of private names that cost nothing,
and a missing member's exception that pickles."""

import datetime as dt
import pickle

import numpy as np
import pandas as pd
import pytest

import com_like
from com_like_host.dataframes import read_frame, write_frame


def syncs(backend_name, action):
    """(result, syncs) on the browser (the stand-in counts them), (result,
    None) on the simulated workbook, which has no syncs to count."""
    if backend_name != "browser":
        return action(), None
    before = dict(com_like.Excel.standinStats)["syncs"]
    result = action()
    return result, dict(com_like.Excel.standinStats)["syncs"] - before


def requests_without_releases(backend, action):
    backend.reset_counts()
    result = action()
    return result, {k: v for k, v in backend.request_counts().items() if k != "DEL"}


def sample(rows):
    days = pd.date_range("2024-02-27", periods=rows, freq="D")
    return pd.DataFrame({
        "name": ["item %d" % i if i % 3 else None for i in range(rows)],
        "qty": [float(i) if i % 4 else np.nan for i in range(rows)],
        "day": days.where([i % 5 != 2 for i in range(rows)]),
        "at": days + pd.to_timedelta([i * 3600 + 1.5 for i in range(rows)], unit="s"),
        "ok": [i % 2 == 0 for i in range(rows)],
    }, index=pd.Index(range(100, 100 + rows), name="id"))


# ------------------------------------------------------------------ DataFrames


def test_a_frame_round_trips(sheet):
    df = sample(6)
    block = write_frame(df, sheet, startrow=1, startcol=2)
    assert block.address.split("!")[1] == "C2:H8"
    assert sheet.getRange("C2:H2").values == [["id", "name", "qty", "day", "at", "ok"]]
    back = read_frame(sheet.getRange("C2:H8"), index_col="id")
    # By kind: pandas 3 names text "str" and keeps microseconds.
    assert [t.kind for t in back.dtypes] == ["O", "f", "M", "M", "b"]
    expected = df.assign(name=df["name"].map(lambda v: np.nan if v is None else v))
    pd.testing.assert_frame_equal(back, expected, check_dtype=False, check_index_type=False,
                                  check_column_type=False)   # pandas 3 labels: str
    assert back.index.tolist() == [100.0, 101.0, 102.0, 103.0, 104.0, 105.0]


def test_each_direction_is_one_round_trip(backend, backend_name, sheet):
    one_sync = 1 if backend_name == "browser" else None
    counts = []
    for rows in (3, 300):
        df = sample(rows)
        (written, write_counts) = requests_without_releases(
            backend, lambda: syncs(backend_name, lambda: write_frame(df, sheet)))
        assert written[1] == one_sync
        address = written[0].address.split("!")[1]
        (read, read_counts) = requests_without_releases(
            backend, lambda: syncs(backend_name, lambda: read_frame(sheet.getRange(address), index_col=0)))
        assert read[1] == one_sync and len(read[0]) == rows
        counts.append((write_counts, read_counts))
    # The same requests whatever the size: nothing is fetched row by row.
    assert counts[0] == counts[1]


def test_dates_get_formats_and_other_formats_stay(sheet):
    sheet.getRange("B2:B4").numberFormat = [["0.00"]]
    df = pd.DataFrame({"d": [dt.date(2024, 3, 1), dt.date(1900, 1, 1), None],
                       "v": [1.5, 2.0, 3.25],
                       "t": [dt.datetime(2024, 3, 1, 18, 0), None, dt.datetime(1999, 12, 31, 23, 59, 59)]})
    write_frame(df, sheet, index=False, date_format="dd/mm/yyyy")
    rng = sheet.getRange("A1:C4")
    assert rng.numberFormat == [["General", "General", "General"],
                                ["dd/mm/yyyy", "0.00", "yyyy-mm-dd hh:mm:ss"],
                                ["dd/mm/yyyy", "0.00", "yyyy-mm-dd hh:mm:ss"],
                                ["dd/mm/yyyy", "0.00", "yyyy-mm-dd hh:mm:ss"]]
    # Serial numbers as Excel counts them, 1900-01-01 being 1.
    assert [r[0] for r in rng.values[1:]] == [45352, 1, ""]
    assert rng.text[1] == ["01/03/2024", "1.50", "2024-03-01 18:00:00"]
    back = read_frame(rng)
    assert back["d"].tolist()[:2] == [pd.Timestamp(2024, 3, 1), pd.Timestamp(1900, 1, 1)]
    assert pd.isna(back["d"][2])
    assert back["t"][2] == pd.Timestamp(1999, 12, 31, 23, 59, 59)


def test_reading_a_sheet_made_by_hand(sheet):
    sheet.getRange("A1:D4").values = [
        ["", "", "", ""],
        ["Region", "Sales", "Since", "Note"],
        ["North", 1200, dt.date(2020, 5, 1), ""],
        ["South", "", dt.date(2021, 1, 15), "new"],
    ]
    sheet.getRange("C3:C4").numberFormat = [["d-mmm-yy"]]
    df = read_frame(sheet.getRange("A1:D4"), header=1)
    assert list(df.columns) == ["Region", "Sales", "Since", "Note"]
    assert str(df["Sales"].dtype) == "float64" and np.isnan(df["Sales"][1])
    assert df["Since"].dtype.kind == "M"
    assert df["Since"].tolist() == [pd.Timestamp(2020, 5, 1), pd.Timestamp(2021, 1, 15)]
    assert df["Note"].isna().tolist() == [True, False]
    sheet.getRange("D3:D4").values = [[""], [""]]
    assert str(read_frame(sheet.getRange("A2:D4"))["Note"].dtype) == "float64"  # all empty
    # A worksheet's used range (from row 2, where the values begin), too.
    assert read_frame(sheet)["Region"].tolist() == ["North", "South"]


@pytest.mark.parametrize("kwargs, columns, first", [
    (dict(header=None), [0, 1, 2], ["a", "b", "c"]),
    (dict(usecols="A,C"), ["a", "c"], [1.0, "x"]),
    (dict(usecols=["c", 0]), ["c", "a"], ["x", 1.0]),
    (dict(names=["A", "B", "C"], index_col="B"), ["A", "C"], [1.0, "x"]),
    (dict(nrows=1, index_col=2), ["a", "b"], [1.0, 2.0]),
    (dict(skiprows=1), ["a", "b", "c"], [3.0, 4.0, "y"]),
], ids=["no-header", "letters", "labels", "names", "nrows", "skiprows"])
def test_read_excel_parameters(sheet, kwargs, columns, first):
    sheet.getRange("A1:C3").values = [["a", "b", "c"], [1, 2, "x"], [3, 4, "y"]]
    df = read_frame(sheet.getRange("A1:C3"), **kwargs)
    assert list(df.columns) == columns
    assert df.iloc[0].tolist() == first


def test_blank_labels_are_named_by_position(sheet):
    sheet.getRange("A1:C2").values = [["a", "", "c"], [1, 2, 3]]
    assert list(read_frame(sheet.getRange("A1:C2")).columns) == ["a", "Unnamed: 1", "c"]


def test_datetime64_values_in_object_columns(sheet):
    df = pd.DataFrame({"d": pd.Series([np.datetime64("2024-03-01"), np.datetime64("NaT", "D"), "x"], dtype=object)})
    write_frame(df, sheet, index=False)
    assert sheet.getRange("A2:A4").values == [[45352], [""], ["x"]]


@pytest.mark.parametrize("kwargs, cells", [
    (dict(index=False), [["x", "y"], [1, "a"]]),
    (dict(index=False, header=False), [[1, "a"], ["", ""]]),
    (dict(index_label="key"), [["key", "x", "y"], [7, 1, "a"]]),
    (dict(header=["X", "Y"], index=False), [["X", "Y"], [1, "a"]]),
    (dict(columns=["y"], index=False, na_rep="-"), [["y", ""], ["a", ""]]),
], ids=["no-index", "no-header", "index-label", "header-labels", "columns"])
def test_to_excel_parameters(sheet, kwargs, cells):
    df = pd.DataFrame({"x": [1], "y": ["a"]}, index=[7])
    write_frame(df, sheet, **kwargs)
    assert sheet.getRange("A1").getResizedRange(1, len(cells[0]) - 1).values == cells


def test_missing_values_show_na_rep(sheet):
    write_frame(pd.DataFrame({"x": [np.nan, 2.0]}), sheet, index=False, na_rep="n/a")
    assert sheet.getRange("A1:A3").values == [["x"], ["n/a"], [2]]


def test_writing_from_a_range_counts_from_its_first_cell(sheet):
    write_frame(pd.DataFrame({"x": [1]}), sheet.getRange("C3:F9"), startrow=1, startcol=1, index=False)
    assert sheet.getRange("D4:D5").values == [["x"], [1]]


# ------------------------------------------------------------------ private names and pickling


@pytest.mark.parametrize("name", ["_repr_html_", "_ipython_display_", "_repr_mimebundle_", "_fields",
                                  "__array__", "_values"])
def test_private_names_cost_no_request(backend, sheet, name):
    rng = sheet.getRange("A1")
    backend.reset_counts()
    with pytest.raises(AttributeError) as info:
        getattr(rng, name)
    assert type(info.value) is AttributeError
    assert backend.request_counts() == {}


def test_a_missing_members_error_pickles(sheet):
    with pytest.raises(com_like.OfficeJsAttributeError) as info:
        sheet.getRange("A1").valuez
    back = pickle.loads(pickle.dumps(info.value))
    assert type(back) is com_like.OfficeJsAttributeError
    assert back.args == info.value.args and "valuez" in str(back)


# ------------------------------------------------------------------ what the reader relies on


def test_to_json_gives_what_was_loaded_then(sheet):
    rng = sheet.getRange("A1:B1")
    rng.values = [[1, "x"]]
    assert rng.load("values, numberFormat") is not None
    rng.values = [[2, "y"]]  # after the load: not in its copy
    got = rng.toJSON()
    assert got["values"] == [[1, "x"]] and got["numberFormat"] == [["General", "General"]]


def test_loading_an_unknown_property_fails(sheet):
    with pytest.raises(RuntimeError, match="^InvalidArgument: "):
        sheet.getRange("A1").load("valuez")


# ------------------------------------------------------------------ dates written as values

DAY, MOMENT = dt.date(2024, 3, 1), dt.datetime(2024, 1, 15, 10, 30)


@pytest.mark.parametrize("member", ["values", "formulas"])
def test_dates_written_to_general_cells_get_date_formats(sheet, member):
    rng = sheet.getRange("A1:D2")
    rng.numberFormat = [["General", "General", "0.00", "General"], ["General"] * 4]
    setattr(rng, member, [[DAY, MOMENT, DAY, 7], ["x", dt.datetime(2024, 1, 15), "", None]])
    assert rng.numberFormat == [["yyyy-mm-dd", "yyyy-mm-dd hh:mm:ss", "0.00", "General"],
                                ["General", "yyyy-mm-dd hh:mm:ss", "General", "General"]]
    # Reading still gives the serial numbers, as Office.js does.
    assert rng.values[0][:3] == [45352, 45306.4375, 45352]
    assert rng.text[0][:2] == ["2024-03-01", "2024-01-15 10:30:00"]


def test_one_date_fills_a_range_with_its_format(sheet):
    rng = sheet.getRange("B2:C3")
    sheet.getRange("C3").numberFormat = [["d-mmm"]]
    rng.values = [[DAY]]
    assert rng.numberFormat == [["yyyy-mm-dd", "yyyy-mm-dd"], ["yyyy-mm-dd", "d-mmm"]]
    assert rng.values == [[45352, 45352], [45352, 45352]]


def test_numbers_and_text_leave_formats_alone(sheet):
    rng = sheet.getRange("A1:C1")
    rng.values = [[45352, "2024-03-01", 1.5]]
    assert rng.numberFormat == [["General", "General", "General"]]


def test_dates_in_a_transaction(sheet):
    rng = sheet.getRange("A1:B1")
    with com_like.OfficeJsTransaction():
        rng.numberFormat = [["General", "0"]]
        rng.values = [[DAY, DAY]]
    assert rng.numberFormat == [["yyyy-mm-dd", "0"]]
    assert rng.values == [[45352, 45352]]


def test_writing_dates_costs_one_more_sync_only(backend_name, sheet):
    rng = sheet.getRange("A1:B1")
    rng.values = [[1, 2]]
    (_, plain) = syncs(backend_name, lambda: setattr(rng, "values", [[3, 4]]))
    (_, dated) = syncs(backend_name, lambda: setattr(rng, "values", [[DAY, 4]]))
    if backend_name == "browser":
        assert (plain, dated) == (1, 2)  # the formats are read before the write
