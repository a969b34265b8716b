"""The simulated workbook's storage: sheets with their cells, formats,
column widths, row heights and frozen panes, and the workbook's tables,
charts and settings, as plain Python. The Office.js objects the add-in
hands out (sheets.py, ranges.py, tables.py, charts.py ...) are views over
it.

A test reads and seeds it directly::

    book = Workbook(sheet_names=("Sales",))
    book.seed("Sales!A1:B2", [["Units", 5], ["Price", 2.5]])
    sales = book.sheet("Sales")
    sales.value("B1")            # 5.0, as Range.values reads it
    sales.values("A1:B2")        # [["Units", 5.0], ["Price", 2.5]]
    sales.cell("A1").bold        # what the cell holds: value, fill, bold, ...

Rows and columns count from 0 inside (a block is (first row, first column,
last row, last column)); the methods above take A1 addresses.
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import cells
from .addresses import (MAX_ROWS, AddressError, format_address, format_block, is_unbounded,
                        parse_address)
from .cells import Cell
from .formulas import ErrorValue, Evaluator
from .layout import STANDARD_HEIGHT, STANDARD_WIDTH, Spans
from .members import (INVALID_ARGUMENT, INVALID_OPERATION, ITEM_ALREADY_EXISTS, ITEM_NOT_FOUND,
                      JsError)

_sheet_ids = itertools.count(1)
_table_ids = itertools.count(1)
_chart_ids = itertools.count(1)
_BAD_NAME = re.compile(r"[\\/?*\[\]:]")
DEFAULT_TABLE_STYLE = "TableStyleMedium2"
DEFAULT_CHART_SIZE = (360.0, 216.0)       # points: Excel's 5 x 3 inch chart


def _within(inner, outer):
    return (outer[0] <= inner[0] and inner[2] <= outer[2]
            and outer[1] <= inner[1] and inner[3] <= outer[3])


def overlap(a, b):
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def shown(value):
    """A computed value as ``values`` reads it: an error as its text."""
    return value.text if isinstance(value, ErrorValue) else value


def type_of(value):
    return cells.value_type(shown(value), isinstance(value, ErrorValue))


class Sheet:
    """One worksheet: its cells by (row, column), the formats of whole
    columns and rows, sizes, frozen panes, charts and change handlers."""

    def __init__(self, book: Workbook, name: str) -> None:
        self.book = book
        self.name = name
        self.id = "{%08X-0001-0000-0000-000000000000}" % next(_sheet_ids)
        self.cells: dict[tuple[int, int], Cell] = {}
        self.bands: list[Any] = []          # (block, format attribute, value), oldest first
        self.deleted = False
        self.change_handlers: list[Any] = []   # the callbacks of onChanged, in the order added
        self.frozen = (0, 0, 0, 0)  # frozen pane: first row, rows, first column, columns
        self.column_widths = Spans(STANDARD_WIDTH)
        self.row_heights = Spans(STANDARD_HEIGHT)
        self.charts: list[Chart] = []
        self.chart_number = 0       # charts are named "Chart N", N never reused

    def __repr__(self) -> str:
        return "<Sheet %r>" % self.name

    # -- for tests: A1 addresses in, values as Range.values reads them out
    def _block(self, address: str) -> tuple[int, int, int, int]:
        name, block = parse_address(address)
        if name is not None and name.lower() != self.name.lower():
            raise AddressError("%r names another sheet than %r" % (address, self.name))
        if is_unbounded(block):
            raise AddressError("%r: read a bounded range such as 'B1:B100'" % address)
        return block

    def values(self, address: str) -> list[list[Any]]:
        """The cells' values as a list of row lists: a formula's result, an
        error as its text ("#DIV/0!"), every number a float."""
        return cells.as_double(self.read_values(self._block(address)))

    def _one_cell(self, address: str, refusal: str) -> tuple[int, int, int, int]:
        block = self._block(address)
        if block[:2] != block[2:]:
            raise AddressError(refusal % address)
        return block

    def value(self, address: str) -> Any:
        """One cell's value, as ``values`` reads it."""
        block = self._one_cell(address, "value(%r) reads one cell; use values()")
        return cells.as_double(self.read_values(block))[0][0]

    def cell(self, address: str) -> Cell:
        """A copy of what one cell holds: ``value`` (a constant or formula
        text), ``fill``, ``bold``, ``italic``, ``font_color`` and
        ``number_format``."""
        key = self._one_cell(address, "cell(%r) reads one cell")[:2]
        stored = self.cells.get(key)
        copy = self._new_cell(key)
        if stored is not None:
            for attr in Cell.__slots__:
                setattr(copy, attr, getattr(stored, attr))
        return copy

    # -- cell storage
    def _positions(self, block):
        r0, c0, r1, c1 = block
        return [[(r, c) for c in range(c0, c1 + 1)] for r in range(r0, r1 + 1)]

    def read(self, block, attr, default):
        out = []
        for row in self._positions(block):
            out.append([default if k not in self.cells else getattr(self.cells[k], attr)
                        for k in row])
        return out

    def read_values(self, block):
        ev = Evaluator(self.cells)
        return [[shown(ev.result(k)) for k in row] for row in self._positions(block)]

    def read_value_types(self, block):
        ev = Evaluator(self.cells)
        return [[type_of(ev.result(k)) for k in row] for row in self._positions(block)]

    def distinct(self, block, attr):
        """The set of values ``attr`` takes over the block."""
        r0, c0, r1, c1 = block
        inside = {k: cell for k, cell in self.cells.items()
                  if r0 <= k[0] <= r1 and c0 <= k[1] <= c1}
        seen = {getattr(cell, attr) for cell in inside.values()}
        if len(inside) < (r1 - r0 + 1) * (c1 - c0 + 1):
            seen |= self._band_values(block, attr, inside)
        return seen

    def write(self, block, attr, grid):
        r0, c0 = block[0], block[1]
        for i, row in enumerate(grid):
            for j, v in enumerate(row):
                key = (r0 + i, c0 + j)
                cell = self.cells.get(key)
                if cell is None:
                    cell = self.cells[key] = self._new_cell(key)
                setattr(cell, attr, v)
                if attr == "value" and v == "":
                    # Writing "" clears the cell, its number format included.
                    cell.number_format = "General"
                if self._plain(key, cell):
                    del self.cells[key]

    def write_input(self, block, value, what):
        """Input as Range.values takes it (a grid of the block's shape or one
        value for every cell), typed as Excel types it, with change events."""
        rows, cols = block[2] - block[0] + 1, block[3] - block[1] + 1
        grid = cells.grid(value, rows, cols, what, cells.typed)
        kinds = (cells.grid(value, rows, cols, what, cells.date_kind)
                 if cells.has_dates(value) else None)
        before = self._single_cell(block)
        self.write(block, "value", grid)
        self._changed(block, before)
        if kinds is not None:
            self._format_dates(block, kinds)

    def _format_dates(self, block, kinds):
        """A date written to a General cell gets a date format, as typing it
        into Excel would; a cell with a format of its own keeps it."""
        r0, c0 = block[0], block[1]
        current = self.read(block, "number_format", "General")
        for i, row in enumerate(kinds):
            for j, fmt in enumerate(row):
                if fmt is not None and current[i][j] == "General":
                    self.write((r0 + i, c0 + j, r0 + i, c0 + j), "number_format", [[fmt]])

    # -- formats of whole columns and rows: bands painted in order, the last
    # over a cell wins; a stored cell holds its own formats, taken from the
    # bands when it was made and repainted by later bands.
    def paint(self, block, attr, value):
        covered = [b for b in self.bands if b[1] == attr and _within(b[0], block)]
        self.bands = [b for b in self.bands if b not in covered] + [(block, attr, value)]
        for key, cell in list(self.cells.items()):
            if _within((key[0], key[1]) * 2, block):
                setattr(cell, attr, value)
                if self._plain(key, cell):
                    del self.cells[key]

    def _base(self, key, attr):
        for block, a, value in reversed(self.bands):
            if a == attr and _within(key * 2, block):
                return value
        return Cell.FORMATS[attr]

    def _new_cell(self, key):
        cell = Cell()
        for block, attr, value in self.bands:
            if _within(key * 2, block):
                setattr(cell, attr, value)
        return cell

    def _plain(self, key, cell):
        """Nothing in the cell that its position would not give it anyway."""
        return cell.value == "" and all(getattr(cell, a) == self._base(key, a)
                                        for a in Cell.FORMATS)

    def _band_values(self, block, attr, stored):
        """The values ``attr`` takes at the block's positions without a
        stored cell: split the block where bands begin and end, and look at
        each piece that is not wholly stored."""
        r0, c0, r1, c1 = block
        bands = [b for b, a, _ in self.bands if a == attr and overlap(b, block)]
        if not bands:
            return {Cell.FORMATS[attr]}
        rows, cols = {r0}, {c0}
        for br0, bc0, br1, bc1 in bands:
            rows.update(x for x in (br0, br1 + 1) if r0 < x <= r1)
            cols.update(x for x in (bc0, bc1 + 1) if c0 < x <= c1)
        rows, cols = sorted(rows) + [r1 + 1], sorted(cols) + [c1 + 1]
        seen = set()
        for ra, rb in zip(rows, rows[1:]):
            for ca, cb in zip(cols, cols[1:]):
                n = sum(1 for (r, c) in stored if ra <= r < rb and ca <= c < cb)
                if n < (rb - ra) * (cb - ca):
                    seen.add(self._base((ra, ca), attr))
        return seen

    def clear(self, block, contents, formats):
        before = self._single_cell(block) if contents else None
        r0, c0, r1, c1 = block
        if formats and any(overlap(b, block) for b, _, _ in self.bands):
            for attr, default in Cell.FORMATS.items():
                if attr != "number_format":
                    self.paint(block, attr, default)
        for key in [k for k in self.cells if r0 <= k[0] <= r1 and c0 <= k[1] <= c1]:
            cell = self.cells[key]
            if contents:
                cell.value = ""
            if formats:
                cell.reset_formats()
            if self._plain(key, cell):
                del self.cells[key]
        if contents:
            self._changed(block, before)

    def shift_cells(self, row, c0, c1, n):
        """Move the cells at ``row`` and below, in columns c0..c1, down by n
        rows (up when n < 0, dropping the n rows above ``row``)."""
        moved = {}
        for key in [k for k in self.cells if c0 <= k[1] <= c1 and k[0] >= row + min(n, 0)]:
            cell = self.cells.pop(key)
            if key[0] >= row and key[0] + n < MAX_ROWS:
                moved[(key[0] + n, key[1])] = cell
        self.cells.update(moved)

    def used_block(self):
        """The smallest block that covers every cell with a value or formula."""
        keys = [k for k, cell in self.cells.items() if cell.value != ""]
        if not keys:
            return None
        rows = [k[0] for k in keys]
        cols = [k[1] for k in keys]
        return min(rows), min(cols), max(rows), max(cols)

    def check_alive(self):
        if self.deleted:
            raise JsError(ITEM_NOT_FOUND, "worksheet %r was deleted" % self.name)

    # -- charts
    def add_chart(self, chart_type, source, series_by):
        self.chart_number += 1
        chart = Chart(self, chart_type, source, series_by, "Chart %d" % self.chart_number)
        self.charts.append(chart)
        return chart

    # -- change events
    def remove_handler(self, handler):
        """Stop calling ``handler``; the workbook lets go of its callable."""
        if handler in self.change_handlers:
            self.change_handlers.remove(handler)
            self.book.released_callbacks.append(handler.callable_id)

    def _single_cell(self, block):
        """A single cell's value before a change, as the event details
        report it; None for a block or when nobody listens."""
        if not self.change_handlers or block[:2] != block[2:]:
            return None
        return Evaluator(self.cells).result(block[:2])

    def _changed(self, block, before):
        if not self.change_handlers:
            return
        details = None
        if block[:2] == block[2:]:
            after = Evaluator(self.cells).result(block[:2])
            details = {"valueBefore": shown(before), "valueAfter": shown(after),
                       "valueTypeBefore": type_of(before), "valueTypeAfter": type_of(after)}
        self.book.notify_changed(self, {
            "type": "WorksheetChanged", "changeType": "RangeEdited",
            "address": format_block(block), "source": "Local",
            "worksheetId": self.id, "details": details})


class Table:
    """A table: a block of one sheet, a header row, then its data rows (an
    empty table still covers one blank row below its header)."""

    def __init__(self, sheet: Sheet, block: tuple[int, int, int, int], data_rows: int,
                 name: str) -> None:
        self.sheet = sheet
        self.block = block          # header row and data rows (or the one blank row)
        self.data_rows = data_rows
        self.name = name
        self.id = "{%08X-0002-0000-0000-000000000000}" % next(_table_ids)
        self.style = DEFAULT_TABLE_STYLE
        self.deleted = False

    def __repr__(self) -> str:
        return "<Table %r>" % self.name

    def check_alive(self):
        self.sheet.check_alive()
        if self.deleted:
            raise JsError(ITEM_NOT_FOUND, "table %r was deleted" % self.name)

    @property
    def width(self):
        return self.block[3] - self.block[1] + 1

    def row_block(self, index, count=1):
        r = self.block[0] + 1 + index
        return r, self.block[1], r + count - 1, self.block[3]

    def insert_rows(self, index, grid, always_insert):
        """Rows at data position ``index``; the blank row of an empty table
        takes the first of them."""
        n = len(grid)
        at = self.block[0] + 1 + index
        grow = n - 1 if self.data_rows == 0 else n
        appending = index == self.data_rows
        if grow and (always_insert or not appending):
            self._move_below(at if self.data_rows else at + 1, grow)
        r0, c0, r1, c1 = self.block
        self.block = (r0, c0, r1 + grow, c1)
        self.data_rows += n
        self.sheet.write(self.row_block(index, n), "value", grid)

    def delete_row(self, index):
        if self.data_rows == 1:
            self.sheet.clear(self.row_block(0), contents=True, formats=False)
        else:
            self._move_below(self.block[0] + 2 + index, -1)
            r0, c0, r1, c1 = self.block
            self.block = (r0, c0, r1 - 1, c1)
        self.data_rows -= 1

    def _move_below(self, row, n):
        self.sheet.book.move_below(self.sheet, row, self.block[1], self.block[3], n, self)


class Chart:
    """A chart, as metadata: nothing is drawn. Position and size are in
    points."""

    def __init__(self, sheet: Sheet, chart_type: str, source: tuple[Sheet, Any],
                 series_by: str, name: str) -> None:
        self.sheet = sheet
        self.chart_type = chart_type
        self.source = source        # (sheet, block) of the data
        self.series_by = series_by
        self.name = name
        self.id = "{%08X-0003-0000-0000-000000000000}" % next(_chart_ids)
        self.title = ""
        self.deleted = False
        self.left = self.top = 0.0
        self.width, self.height = DEFAULT_CHART_SIZE

    def __repr__(self) -> str:
        return "<Chart %r>" % self.name

    def check_alive(self):
        self.sheet.check_alive()
        if self.deleted:
            raise JsError(ITEM_NOT_FOUND, "chart %r was deleted" % self.name)

    def delete(self):
        self.deleted = True
        self.sheet.charts.remove(self)


class Workbook:
    """The workbook: its sheets in order, the active one, the add-in's
    settings (what ``GetSetting`` answers; none by default, as in Excel),
    tables, and the hook that the add-in turns into onChanged events."""

    def __init__(self, sheet_names: Iterable[str] = ("Sheet1",), name: str = "Book1.xlsx",
                 settings: Mapping[str, Any] | None = None) -> None:
        self.name = name
        self.sheets: list[Sheet] = []
        self.settings = dict(settings or {})
        # Set by the add-in session.
        self.on_changed: Callable[[Sheet, Any], object] | None = None
        self.released_callbacks: list[str] = []      # callable ids the workbook let go of
        self.tables: list[Table] = []                # tables of every sheet, oldest first
        self.active: Sheet | None = None
        for n in sheet_names:
            self.add(n)

    def __repr__(self) -> str:
        return "<Workbook %r: %s>" % (self.name, ", ".join(s.name for s in self.sheets))

    def find(self, key: str) -> Sheet | None:
        """The sheet with this name (in any letter case) or id, or None."""
        if not isinstance(key, str):
            return None
        folded = key.lower()
        for s in self.sheets:
            if s.name.lower() == folded or s.id == key:
                return s
        return None

    def sheet(self, name: str) -> Sheet:
        """The sheet with this name (in any letter case) or id."""
        found = self.find(name)
        if found is None:
            raise KeyError("no sheet %r; the workbook has %s"
                           % (name, ", ".join(repr(s.name) for s in self.sheets)))
        return found

    def seed(self, address: str, value: Any) -> None:
        """Write cells as ``Range.values`` takes them, for a test's starting
        data. The address may name a sheet; else the first."""
        try:
            name, block = parse_address(address)
        except AddressError as e:
            raise JsError(INVALID_ARGUMENT, str(e)) from None
        sheet = self.sheets[0] if name is None else self.find(name)
        if sheet is None:
            raise JsError(ITEM_NOT_FOUND, "no worksheet %r to seed %r" % (name, address))
        if is_unbounded(block):
            raise JsError(INVALID_ARGUMENT, "Range.values cannot be written to a whole column or "
                          "row (%s); use a bounded range such as 'B1:B100'"
                          % format_address(sheet.name, block))
        sheet.write_input(block, value, "Range.values")

    def add(self, name: str | None = None) -> Sheet:
        if name is None:
            n = len(self.sheets) + 1
            while self.find("Sheet%d" % n) is not None:
                n += 1
            name = "Sheet%d" % n
        self._check_name(name)
        sheet = Sheet(self, name)
        self.sheets.append(sheet)
        if self.active is None:
            self.active = sheet
        return sheet

    def _check_name(self, name, sheet=None):
        if not isinstance(name, str) or not name.strip():
            raise JsError(INVALID_ARGUMENT, "a worksheet name must be non-empty text, got %r"
                          % (name,))
        if len(name) > 31 or _BAD_NAME.search(name):
            raise JsError(INVALID_ARGUMENT, "invalid worksheet name %r: at most 31 characters, "
                          "none of \\ / ? * [ ] :" % name)
        other = self.find(name)
        if other is not None and other is not sheet:
            raise JsError(ITEM_ALREADY_EXISTS, "a worksheet named %r already exists" % other.name)

    def rename(self, sheet: Sheet, name: str) -> None:
        self._check_name(name, sheet)
        sheet.name = name

    def delete(self, sheet: Sheet) -> None:
        if len(self.sheets) == 1:
            raise JsError(INVALID_OPERATION, "the last worksheet of a workbook cannot be deleted")
        self.sheets.remove(sheet)
        sheet.deleted = True
        for handler in list(sheet.change_handlers):
            sheet.remove_handler(handler)
        if self.active is sheet:
            self.active = self.sheets[0]

    def notify_changed(self, sheet: Sheet, args: Any) -> None:
        if self.on_changed is not None:
            self.on_changed(sheet, args)

    # -- tables
    def live_tables(self) -> list[Table]:
        """The tables, oldest first (a deleted sheet's are gone)."""
        self.tables[:] = [t for t in self.tables if not t.sheet.deleted]
        return self.tables

    def remove_table(self, table: Table) -> None:
        table.deleted = True
        self.tables.remove(table)

    def move_below(self, sheet, row, c0, c1, n, table=None):
        """Shift the cells from ``row`` down in columns c0..c1 by n rows, with
        the tables there (but ``table``); a table only partly in those columns
        cannot move."""
        below = [t for t in self.live_tables()
                 if t.sheet is sheet and t is not table and t.block[0] >= row
                 and t.block[1] <= c1 and c0 <= t.block[3]]
        for t in below:
            if t.block[1] < c0 or t.block[3] > c1:
                raise JsError(INVALID_OPERATION, "this would move part of table %r: cells of a "
                              "table below can only move with the whole table" % t.name)
        sheet.shift_cells(row, c0, c1, n)
        for t in below:
            r0, tc0, r1, tc1 = t.block
            t.block = (r0 + n, tc0, r1 + n, tc1)
