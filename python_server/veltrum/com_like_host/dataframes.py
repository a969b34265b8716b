"""pandas DataFrames in and out of a workbook, one sync each way.

The same over both hosts (the simulated workbook through LocalHost, Excel
through com_like_host): only com_like proxies are used, so this module needs
neither websockets nor a running host to be imported. The parameter names
follow pandas' read_excel and to_excel.

    from com_like_host.dataframes import read_frame, write_frame

    df = read_frame(ws.getRange("A1:D200"), header=0, index_col=0)
    write_frame(summary, ws, startrow=1, startcol=5, index=False)

Reading asks for values and number formats together (range.load, then
toJSON: one sync); writing sets values and the date columns' formats inside
one transaction (one sync at its commit).
"""

from __future__ import annotations

import datetime as _dt
import math
import re
from collections.abc import Hashable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .columns import column_index

if TYPE_CHECKING:
    from com_like import OfficeJsObject

__all__ = ["read_frame", "write_frame", "is_date_format", "DATE_FORMAT", "DATETIME_FORMAT"]

# What a cell shows for a date, and for a date with a time of day (to_excel's
# own defaults).
DATE_FORMAT = "yyyy-mm-dd"
DATETIME_FORMAT = "yyyy-mm-dd hh:mm:ss"

# Excel's 1900 date system: serial 1 is 1900-01-01, and serial 60 is the
# 29 February 1900 that never was, so from 1 March 1900 on a serial counts
# days since 1899-12-30.
_EPOCH = _dt.datetime(1899, 12, 30)
_MARCH_1900 = 61
_MS_PER_DAY = 86400000

# Parts of a number format that are not date or time codes: quoted text,
# escaped characters, [colour] and [$-locale] sections (the elapsed-time
# codes [h], [m], [s] are kept), and the padding and repeat characters.
_NOT_CODES = re.compile(r'"[^"]*"|\\.|_.|\*.|\[(?![hms]+\])[^\]]*\]', re.IGNORECASE)


def is_date_format(fmt: object) -> bool:
    """True when a number format shows a date: it has a day, month or year
    code (``m`` counts as a month unless the format also has hours or
    seconds, where it means minutes). Time-only formats are not dates."""
    if not isinstance(fmt, str) or fmt.strip().lower() in ("", "general", "@"):
        return False
    section = _NOT_CODES.sub("", fmt.split(";")[0]).lower()
    if "y" in section or "d" in section:
        return True
    return "m" in section and "h" not in section and "s" not in section


# ------------------------------------------------------------------ reading


def _plain(rows):
    """Rows of an array proxy as plain lists (no further request)."""
    if rows is None:
        return []
    if not isinstance(rows, list):  # a single cell read as a scalar
        return [[rows]]
    return [list(r) if isinstance(r, list) else [r] for r in rows]


def _range_of(source):
    """A range proxy: a range as given, a worksheet's used range."""
    if getattr(source, "_internal_typeName", None) == "Worksheet":
        return source.getUsedRange()
    return source


def _serial_to_datetime(serial):
    if (isinstance(serial, bool) or not isinstance(serial, (int, float))
            or not math.isfinite(serial)):
        return pd.NaT
    if serial < 1:
        return pd.NaT
    days = serial if serial >= _MARCH_1900 else serial + 1  # before the phantom 29 February
    # Excel keeps times to the millisecond; rounding there undoes float noise.
    return pd.Timestamp(_EPOCH) + pd.Timedelta(milliseconds=round(days * _MS_PER_DAY))


def _column(cells, formats):
    """One column's cells as a Series-ready array: empty cells NaN, numbers
    float, cells of a date format datetime64."""
    present = [(v, f) for v, f in zip(cells, formats) if not (isinstance(v, str) and v == "")]
    if not present:
        return np.full(len(cells), np.nan)
    numbers = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v, _ in present)
    if present and numbers and all(is_date_format(f) for _, f in present):
        return pd.to_datetime([_serial_to_datetime(v) if v != "" else pd.NaT for v in cells])
    if present and len(present) == len(cells) and all(isinstance(v, bool) for v, _ in present):
        return np.array(cells, dtype=bool)
    if present and numbers:
        return np.array([np.nan if (isinstance(v, str) and v == "") else float(v) for v in cells],
                        dtype=float)
    return np.array([np.nan if (isinstance(v, str) and v == "") else v for v in cells],
                    dtype=object)


def _label(value):
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return value


def _positions(selected, labels, what):
    """Column positions of usecols / index_col items: positions or labels."""
    out = []
    for item in selected:
        if isinstance(item, (int, np.integer)) and not isinstance(item, bool):
            if not 0 <= item < len(labels):
                raise IndexError("%s: column %d is outside the range's %d column(s)"
                                 % (what, item, len(labels)))
            out.append(int(item))
        elif item in labels:
            out.append(labels.index(item))
        else:
            raise ValueError("%s: no column %r; the columns are %r" % (what, item, labels))
    return out


def _letters_to_positions(letters_list, width):
    """usecols as Excel column letters ("A:C,E"), relative to the range's
    first column."""
    def number(letters):
        try:
            return column_index(letters)
        except ValueError:
            raise ValueError("usecols: %r is not a column letter" % letters) from None

    out = []
    for part in letters_list.split(","):
        ends = part.split(":")
        lo, hi = number(ends[0]), number(ends[-1])
        out.extend(range(lo, hi + 1))
    return [p for p in out if p < width]


def read_frame(source: OfficeJsObject, header: int | None = 0,
               index_col: Hashable | Sequence[Hashable] | None = None,
               usecols: str | Iterable[Hashable] | None = None,
               names: Iterable[Hashable] | None = None, skiprows: int | None = None,
               nrows: int | None = None) -> pd.DataFrame:
    """A range (or a worksheet's used range) as a DataFrame, in one sync.

    ``header``: the row (counted from the range's first row) with the
    column labels, or None for none (columns are then numbered). Rows
    above it are skipped. ``index_col``: a column position or label (or a
    list of them) for the index. ``usecols``: positions, labels or Excel
    letters relative to the range ("A:C,E"). ``names``: column labels to
    use instead. ``skiprows``: data rows to drop first (a count);
    ``nrows``: at most this many data rows.

    Empty cells are NaN; a column of numbers is float64; a column whose
    numbers all have a date format is datetime64; anything else is object."""
    rng = _range_of(source)
    rng.load("values, numberFormat")
    loaded = rng.toJSON()
    values, formats = _plain(loaded["values"]), _plain(loaded["numberFormat"])
    del loaded
    width = len(values[0]) if values else 0
    if header is not None:
        if isinstance(header, bool) or not isinstance(header, int) or header < 0:
            raise ValueError("header must be a row number (0 for the first row) or None, not %r"
                             % (header,))
        if header >= len(values):
            raise ValueError("header row %d is outside the range's %d row(s)"
                             % (header, len(values)))
        # A blank label is named by its position, as read_excel names it.
        labels = [_label(v) if v != "" else "Unnamed: %d" % i for i, v in enumerate(values[header])]
        start = header + 1
    else:
        labels = list(range(width))
        start = 0
    if skiprows:
        start += int(skiprows)
    stop = len(values) if nrows is None else min(len(values), start + int(nrows))
    body, body_formats = values[start:stop], formats[start:stop]

    keep = list(range(width))
    if usecols is not None:
        if isinstance(usecols, str):
            keep = _letters_to_positions(usecols, width)
        else:
            keep = _positions(list(usecols), labels, "usecols")
    if names is not None:
        names = list(names)
        if len(names) != len(keep):
            raise ValueError("names has %d label(s) for %d column(s)" % (len(names), len(keep)))
        labels = list(labels)
        for pos, name in zip(keep, names):
            labels[pos] = name

    columns = {}
    for pos in keep:
        cells = [row[pos] for row in body]
        fmts = [row[pos] for row in body_formats]
        columns[pos] = _column(cells, fmts)
    frame = pd.DataFrame({i: columns[p] for i, p in enumerate(keep)},
                         index=pd.RangeIndex(len(body)))
    frame.columns = pd.Index([labels[p] for p in keep], dtype=object) if keep else pd.Index([])
    if index_col is not None:
        chosen = index_col if isinstance(index_col, (list, tuple)) else [index_col]
        # Positions count the columns read, as read_excel's do.
        keys = [frame.columns[p] for p in _positions(chosen, list(frame.columns), "index_col")]
        frame = frame.set_index(keys)
    return frame


# ------------------------------------------------------------------ writing


def _serial(value):
    """A date or datetime as an Excel serial (1900 system), the wall time of
    an aware one."""
    if isinstance(value, pd.Timestamp):
        value = value.tz_localize(None) if value.tzinfo is not None else value
        value = value.to_pydatetime()
    if isinstance(value, _dt.datetime):
        value = value.replace(tzinfo=None)
    elif isinstance(value, _dt.date):
        value = _dt.datetime(value.year, value.month, value.day)
    delta = value - _EPOCH
    days = delta.days + (delta.seconds + delta.microseconds / 1e6) / 86400.0
    return days if days >= _MARCH_1900 else days - 1


def _cell(value):
    """One value as the wire takes it: None for a missing value, plain
    Python numbers, dates as serials."""
    if isinstance(value, np.datetime64):
        value = pd.Timestamp(value)
    if value is None or value is pd.NaT:
        return None
    if isinstance(value, (pd.Timestamp, _dt.datetime, _dt.date)):
        return _serial(value)
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, (str, bool, int, float)):
        return value
    if pd.isna(value):
        return None
    return str(value)


def _is_dates(series):
    if pd.api.types.is_datetime64_any_dtype(series.dtype):
        return True
    present = series.dropna()
    return len(present) > 0 and all(isinstance(v, (_dt.date, pd.Timestamp)) for v in present)


def _has_time(series):
    for v in series.dropna():
        stamp = pd.Timestamp(v)
        if (stamp.hour, stamp.minute, stamp.second, stamp.microsecond) != (0, 0, 0, 0):
            return True
    return False


def _target(target, startrow, startcol, rows, cols):
    """The rows x cols block at startrow, startcol of a worksheet or from a
    range's first cell: navigation only, no sync."""
    for name, v in (("startrow", startrow), ("startcol", startcol)):
        if isinstance(v, bool) or not isinstance(v, int) or v < 0:
            raise ValueError("%s must be a whole number >= 0, not %r" % (name, v))
    return target.getCell(startrow, startcol).getResizedRange(rows - 1, cols - 1)


def write_frame(df: pd.DataFrame | pd.Series, target: OfficeJsObject, startrow: int = 0,
                startcol: int = 0, header: bool | Sequence[Hashable] = True, index: bool = True,
                index_label: Hashable | Sequence[Hashable] | None = None,
                columns: Iterable[Hashable] | None = None, na_rep: str = "",
                date_format: str | None = None,
                datetime_format: str | None = None) -> OfficeJsObject:
    """Writes a DataFrame at a cell of a worksheet (or of a range: counted
    from its first cell), in one sync, and returns the range written.

    ``header``: write the column labels (True), other labels (a list), or
    none (False). ``index``: write the index as the first column(s), headed
    by ``index_label`` (or the index's names). ``columns``: the columns to
    write. ``na_rep``: what a missing value shows ("" leaves the cell
    empty). Columns of dates get ``date_format``, those with a time of day
    ``datetime_format`` (yyyy-mm-dd and yyyy-mm-dd hh:mm:ss by default);
    the formats of other cells are left as they are."""
    if isinstance(df, pd.Series):
        df = df.to_frame()
    if not isinstance(df, pd.DataFrame):
        raise TypeError("write_frame takes a DataFrame or Series, not %s" % type(df).__name__)
    if isinstance(df.columns, pd.MultiIndex):
        raise NotImplementedError("columns with several levels: flatten them first")
    if columns is not None:
        df = df[list(columns)]
    parts = []  # (label, series) in the order written
    if index:
        levels = [df.index.get_level_values(i) for i in range(df.index.nlevels)]
        if index_label is None:
            labels = list(df.index.names)
        elif isinstance(index_label, (list, tuple)):
            labels = list(index_label)
        else:
            labels = [index_label] + [None] * (len(levels) - 1)
        if len(labels) != len(levels):
            raise ValueError("index_label has %d label(s) for %d index level(s)"
                             % (len(labels), len(levels)))
        parts += [(label, pd.Series(level, dtype=level.dtype))
                  for label, level in zip(labels, levels)]
    if header is True or header is False:
        labels = list(df.columns)
    else:
        labels = list(header)
        if len(labels) != df.shape[1]:
            raise ValueError("header has %d label(s) for %d column(s)" % (len(labels), df.shape[1]))
    parts += [(label, df.iloc[:, i].reset_index(drop=True)) for i, label in enumerate(labels)]
    if not parts:
        raise ValueError("nothing to write: no columns and no index")

    nrows = len(df) + (1 if header is not False else 0)
    ncols = len(parts)
    grid: list[list[Any]] = [[None] * ncols for _ in range(nrows)]
    top = 0
    if header is not False:
        grid[0] = [_cell(label) if label is not None else "" for label, _ in parts]
        top = 1
    missing = None if na_rep == "" else na_rep
    dated = []  # (column position, format)
    for c, (_, series) in enumerate(parts):
        if _is_dates(series):
            dated.append((c, (datetime_format or DATETIME_FORMAT) if _has_time(series)
                          else (date_format or DATE_FORMAT)))
        for r, v in enumerate(series.tolist()):
            cell = _cell(v)
            grid[top + r][c] = missing if cell is None else cell
    if nrows == 0:
        raise ValueError("nothing to write: no header and no rows")

    import com_like

    block = _target(target, startrow, startcol, nrows, ncols)
    with com_like.OfficeJsTransaction():
        block.values = grid
        for c, fmt in dated:
            if len(df):
                # The column's data cells only: the header keeps its format.
                block.getCell(top, c).getResizedRange(len(df) - 1, 0).numberFormat = [[fmt]]
    return block
