"""The workbook and its worksheets: cell storage, sheet names and ids,
change events, and the roots the add-in hands out (context, Excel).
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import cells
from .addresses import AddressError, format_block, parse_address
from .formulas import ErrorValue, Evaluator
from .members import (INVALID_ARGUMENT, INVALID_OPERATION, ITEM_ALREADY_EXISTS, ITEM_NOT_FOUND,
                      JsError, JsObject, NullObject, PyCallback, method, prop)
from .charts import ChartCollection
from .layout import STANDARD_HEIGHT, STANDARD_WIDTH, Spans
from .panes import WorksheetFreezePanes
from .ranges import Range
from .settings import SettingCollection
from .tables import TableCollection

_sheet_ids = itertools.count(1)
_BAD_NAME = re.compile(r"[\\/?*\[\]:]")


def _within(inner, outer):
    return (outer[0] <= inner[0] and inner[2] <= outer[2]
            and outer[1] <= inner[1] and inner[3] <= outer[3])


def _overlap(a, b):
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def _read(value):
    """A computed value as ``values`` reads it: an error as its text."""
    return value.text if isinstance(value, ErrorValue) else value


class Worksheet(JsObject):
    js_type = "Worksheet"

    def __init__(self, workbook, name):
        self.workbook = workbook
        self._name = name
        self._id = "{%08X-0001-0000-0000-000000000000}" % next(_sheet_ids)
        self.cells = {}
        self.bands = []             # (block, format attribute, value), oldest first
        self.deleted = False
        self.change_handlers = []   # EventRegistration, in the order added
        self.frozen = (0, 0, 0, 0)  # frozen pane: first row, rows, first column, columns
        self.column_widths = Spans(STANDARD_WIDTH)
        self.row_heights = Spans(STANDARD_HEIGHT)
        self.chart_list = []
        self.chart_number = 0       # charts are named "Chart N", N never reused

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
        return [[_read(ev.result(k)) for k in row] for row in self._positions(block)]

    def read_value_types(self, block):
        ev = Evaluator(self.cells)
        return [[self._type_of(ev.result(k)) for k in row] for row in self._positions(block)]

    @staticmethod
    def _type_of(value):
        return cells.value_type(_read(value), isinstance(value, ErrorValue))

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
        return cells.Cell.FORMATS[attr]

    def _new_cell(self, key):
        cell = cells.Cell()
        for block, attr, value in self.bands:
            if _within(key * 2, block):
                setattr(cell, attr, value)
        return cell

    def _plain(self, key, cell):
        """Nothing in the cell that its position would not give it anyway."""
        return cell.value == "" and all(getattr(cell, a) == self._base(key, a)
                                        for a in cells.Cell.FORMATS)

    def _band_values(self, block, attr, stored):
        """The values ``attr`` takes at the block's positions without a
        stored cell: split the block where bands begin and end, and look at
        each piece that is not wholly stored."""
        r0, c0, r1, c1 = block
        bands = [b for b, a, _ in self.bands if a == attr and _overlap(b, block)]
        if not bands:
            return {cells.Cell.FORMATS[attr]}
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

    def write_values(self, block, grid):
        before = self._single_cell(block)
        self.write(block, "value", grid)
        self._changed(block, before)

    def clear(self, block, contents, formats):
        before = self._single_cell(block) if contents else None
        r0, c0, r1, c1 = block
        if formats and any(_overlap(b, block) for b, _, _ in self.bands):
            for attr, default in cells.Cell.FORMATS.items():
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
            raise JsError(ITEM_NOT_FOUND, "worksheet %r was deleted" % self._name)

    # -- change events
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
            details = {"valueBefore": _read(before), "valueAfter": _read(after),
                       "valueTypeBefore": self._type_of(before),
                       "valueTypeAfter": self._type_of(after)}
        self.workbook.notify_changed(self, {
            "type": "WorksheetChanged", "changeType": "RangeEdited",
            "address": format_block(block), "source": "Local",
            "worksheetId": self.id, "details": details})

    # -- Office.js members
    # A deleted worksheet's members fail as Office.js's do: the item is gone.
    @prop
    def id(self):
        self.check_alive()
        return self._id

    @prop
    def name(self):
        self.check_alive()
        return self._name

    @name.setter
    def name(self, value):
        self.check_alive()
        self.workbook.rename(self, value)

    @prop
    def position(self):
        self.check_alive()
        return self.workbook.sheets.index(self)

    @prop
    def onChanged(self):
        return EventSource(self)

    @prop
    def tables(self):
        return TableCollection(self.workbook, self)

    @prop
    def charts(self):
        return ChartCollection(self)

    @prop
    def freezePanes(self):
        return WorksheetFreezePanes(self)

    @method(deferred="Range")
    def getRange(self, address=None):
        self.check_alive()
        if address is None or address == "":
            return Range(self, parse_address("A:XFD")[1])   # the whole sheet
        try:
            sheet, block = parse_address(address)
        except AddressError as e:
            raise JsError(INVALID_ARGUMENT, "Worksheet.getRange: %s" % e) from None
        if sheet is not None and sheet.lower() != self._name.lower():
            raise JsError(INVALID_ARGUMENT, "Worksheet.getRange(%r): the address names sheet "
                          "%r but this is sheet %r; use worksheets.getItem(%r).getRange(...)"
                          % (address, sheet, self._name, sheet))
        return Range(self, block)

    @method(deferred="Range")
    def getUsedRange(self, valuesOnly=False):
        self.check_alive()
        return Range(self, self.used_block() or (0, 0, 0, 0))

    @method
    def getUsedRangeOrNullObject(self, valuesOnly=False):
        self.check_alive()
        block = self.used_block()
        return NullObject("Range", "a used range") if block is None else Range(self, block)

    @method(deferred="Range")
    def getCell(self, row, column):
        return Range(self, (0, 0, 0, 0)).getCell(row, column)

    @method
    def activate(self):
        self.check_alive()
        self.workbook.active = self

    @method(mutating=True)
    def delete(self):
        self.check_alive()
        self.workbook.delete(self)


class EventSource(JsObject):
    js_type = "EventHandlers"

    def __init__(self, sheet):
        self.sheet = sheet

    @method
    def add(self, handler):
        if not isinstance(handler, PyCallback):
            raise JsError(INVALID_ARGUMENT, "onChanged.add expects a Python function (a "
                          "callable), got %s" % type(handler).__name__)
        handler.retained = True
        reg = EventRegistration(self.sheet, handler)
        self.sheet.change_handlers.append(reg)
        return reg


class EventRegistration(JsObject):
    js_type = "EventHandlerResult"

    def __init__(self, sheet, handler):
        self.sheet = sheet
        self.handler = handler
        self.removed = False

    @method
    def remove(self):
        if not self.removed:
            self.removed = True
            self.sheet.change_handlers.remove(self)
            self.sheet.workbook.released_callbacks.append(self.handler.callable_id)


class WorksheetCollection(JsObject):
    js_type = "WorksheetCollection"

    def __init__(self, workbook):
        self.workbook = workbook

    @prop
    def items(self):
        return list(self.workbook.sheets)

    @method
    def getCount(self):
        return len(self.workbook.sheets)

    @method(deferred="Worksheet")
    def getItem(self, key):
        sheet = self.workbook.find(key)
        if sheet is None:
            raise JsError(ITEM_NOT_FOUND, "worksheets.getItem(%r): no such worksheet; the "
                          "workbook has %s"
                          % (key, ", ".join(repr(s.name) for s in self.workbook.sheets)))
        return sheet

    @method
    def getItemOrNullObject(self, key):
        sheet = self.workbook.find(key)
        return NullObject("Worksheet", "worksheet %r" % (key,)) if sheet is None else sheet

    @method
    def add(self, name=None):
        return self.workbook.add(name)

    @method
    def getActiveWorksheet(self):
        return self.workbook.active

    @method
    def getFirst(self):
        return self.workbook.sheets[0]

    def get_item(self, key):
        sheets = self.workbook.sheets
        try:
            return sheets[int(key)]
        except (ValueError, IndexError):
            # Office.js's WorksheetCollection has no getItemAt: the add-in
            # reads the items, so a bad position fails at once.
            raise JsError(ITEM_NOT_FOUND, "worksheets[%s]: use an index from 0 to %d"
                          % (key, len(sheets) - 1)) from None


class Workbook(JsObject):
    """The workbook: sheets, settings, and the change hook that the add-in
    session turns into onChanged events."""
    js_type = "Workbook"

    def __init__(self, sheet_names: Iterable[str] = ("Sheet1",), name: str = "Book1.xlsx",
                 settings: Mapping[str, Any] | None = None) -> None:
        self._name = name
        self.sheets: list[Worksheet] = []
        self.setting_values = dict(settings or {})   # workbook.settings; none by default
        # Set by the add-in session.
        self.on_changed: Callable[[Worksheet, Any], object] | None = None
        self.released_callbacks: list[str] = []      # callable ids the workbook let go of
        self.table_list: list[Any] = []              # tables of every sheet, oldest first
        self.active: Worksheet | None = None
        for n in sheet_names:
            self.add(n)

    def find(self, key: str) -> Worksheet | None:
        """The sheet with this name (in any letter case) or id, or None."""
        if not isinstance(key, str):
            raise JsError(INVALID_ARGUMENT, "worksheets.getItem expects a worksheet name "
                          "(text), got %r" % (key,))
        folded = key.lower()
        for s in self.sheets:
            if s.name.lower() == folded or s.id == key:
                return s
        return None

    def add(self, name: str | None = None) -> Worksheet:
        if name is None:
            n = len(self.sheets) + 1
            while self.find("Sheet%d" % n) is not None:
                n += 1
            name = "Sheet%d" % n
        self._check_name(name)
        sheet = Worksheet(self, name)
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

    def rename(self, sheet, name):
        self._check_name(name, sheet)
        sheet._name = name

    def delete(self, sheet):
        if len(self.sheets) == 1:
            raise JsError(INVALID_OPERATION, "the last worksheet of a workbook cannot be deleted")
        self.sheets.remove(sheet)
        sheet.deleted = True
        for reg in list(sheet.change_handlers):
            reg.remove()
        if self.active is sheet:
            self.active = self.sheets[0]

    def notify_changed(self, sheet, args):
        if self.on_changed is not None:
            self.on_changed(sheet, args)

    def seed(self, address: str, value: Any) -> None:
        """Write cells the way ``values`` does, without events: for a test's
        starting data. The address may name a sheet; else the first."""
        try:
            name, block = parse_address(address)
        except AddressError as e:
            raise JsError(INVALID_ARGUMENT, str(e)) from None
        sheet = self.sheets[0] if name is None else self.find(name)
        if sheet is None:
            raise JsError(ITEM_NOT_FOUND, "no worksheet %r to seed %r" % (name, address))
        # ``values`` is a @prop with a setter, which the type checker takes for a method.
        Range(sheet, block).values = value  # type: ignore[method-assign]

    @prop
    def name(self):
        return self._name

    @prop
    def worksheets(self):
        return WorksheetCollection(self)

    @prop
    def settings(self):
        return SettingCollection(self.setting_values)

    @prop
    def tables(self):
        return TableCollection(self)


class RequestContext(JsObject):
    js_type = "RequestContext"

    def __init__(self, workbook):
        self.workbook_ = workbook

    @prop
    def workbook(self):
        return self.workbook_

    @method
    def sync(self):
        return None


class ExcelRoot(JsObject):
    js_type = "Excel"

    @prop
    def ClearApplyTo(self):
        return {"all": "All", "contents": "Contents", "formats": "Formats"}

    @prop
    def EventType(self):
        return {"worksheetChanged": "WorksheetChanged"}

