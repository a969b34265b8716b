"""The in-memory workbook and its Office.js-named object model.

Each class below is one Office.js type. Members are declared with
``@prop`` (readable, optionally writable) and ``@method``; the add-in
session dispatches GET/SET/CALL to them by name, so a member that is not
declared here is reported to the user as unknown rather than guessed at.
"""

import datetime as _dt
import difflib
import inspect
import itertools
import re

from .addresses import (AddressError, MAX_COLUMNS, MAX_ROWS, format_address,
                        parse_address)


class JsError(Exception):
    """An error the add-in answers with: its text goes to the user as is."""


class prop:
    """A readable member; ``.setter`` makes it writable."""

    def __init__(self, fget):
        self.fget = fget
        self.fset = None
        self.__doc__ = fget.__doc__

    def setter(self, fset):
        self.fset = fset
        return self

    # A descriptor, so that the model's own code can write self.values.
    def __get__(self, obj, cls=None):
        return self if obj is None else self.fget(obj)

    def __set__(self, obj, value):
        if self.fset is None:
            raise AttributeError("read-only member")
        self.fset(obj, value)


def method(fn=None, *, mutating=False):
    """A callable member. ``mutating`` methods that return nothing are
    queued inside a batch like SETs, so a batch keeps its order."""
    def mark(f):
        f._js_method = True
        f._js_mutating = mutating
        return f
    return mark(fn) if fn is not None else mark


class JsObject:
    js_type = "Object"
    _member_cache = None

    @classmethod
    def members(cls):
        cache = cls.__dict__.get("_member_cache")
        if cache is None:
            cache = {}
            for klass in reversed(cls.__mro__):
                for name, value in vars(klass).items():
                    if isinstance(value, prop) or getattr(value, "_js_method", False):
                        cache[name] = value
            cls._member_cache = cache
        return cache

    def get_member(self, name):
        m = self.members().get(name)
        if m is None:
            raise JsError(unknown_member(self.js_type, name, self.members()))
        if isinstance(m, prop):
            return m.fget(self)
        return BoundFunction(self, name, m)

    def member_setter(self, name):
        """Return a one-argument function that assigns ``name``; checked up
        front so that a batch refuses a bad SET when it is queued."""
        m = self.members().get(name)
        if m is None:
            raise JsError(unknown_member(self.js_type, name, self.members()))
        if not isinstance(m, prop):
            raise JsError("%s.%s is a method and cannot be assigned; call it instead"
                          % (self.js_type, name))
        if m.fset is None:
            raise JsError("%s.%s is read-only" % (self.js_type, name))
        return lambda value: m.fset(self, value)

    def get_item(self, key):
        raise JsError("%s does not support item access ([...])" % self.js_type)


def unknown_member(type_name, name, members):
    names = sorted(members)
    text = "%s has no member %r." % (type_name, name)
    close = difflib.get_close_matches(name, names, n=1)
    if close:
        text += " Did you mean %r?" % close[0]
    return text + " Members of %s: %s" % (type_name, ", ".join(names))


class BoundFunction:
    """A method taken off an object; handed out as a "Function" reference."""
    js_type = "Function"

    def __init__(self, owner, name, fn):
        self.owner = owner
        self.name = name
        self.fn = fn
        self.mutating = getattr(fn, "_js_mutating", False)

    @property
    def label(self):
        return "%s.%s" % (getattr(self.owner, "js_type", "?"), self.name)

    def bind(self, args, kwargs):
        """Check the arguments against the method's signature, so that a
        wrong call is answered with the signature instead of a stack trace."""
        sig = inspect.signature(self.fn)
        try:
            sig.bind(self.owner, *args, **kwargs)
        except TypeError as e:
            params = list(sig.parameters.values())[1:]
            shown = ", ".join(str(p) for p in params)
            raise JsError("%s(%s): %s" % (self.label, shown, e)) from None

    def call(self, args, kwargs):
        self.bind(args, kwargs)
        return self.fn(self.owner, *args, **kwargs)


class PyCallback:
    """A Python function that the add-in holds by its callable id."""
    js_type = "Python_Function"

    def __init__(self, callable_id):
        self.callable_id = callable_id
        self.retained = False


# ---------------------------------------------------------------- cells

_SCALARS = (type(None), bool, int, float, str, _dt.datetime, _dt.date)
_COLOR = re.compile(r"^(#[0-9A-Fa-f]{6}|[A-Za-z]+)$")


def _check_scalar(value, what):
    if not isinstance(value, _SCALARS):
        raise JsError("%s: a cell holds a number, text, a boolean, a date or null, not %s"
                      % (what, type(value).__name__))
    return "" if value is None else value


def _grid(value, rows, cols, what):
    """A 2-D value for a rows x cols block: a list of row lists, or one
    scalar that fills every cell."""
    if not isinstance(value, list):
        v = _check_scalar(value, what)
        return [[v] * cols for _ in range(rows)]
    if len(value) != rows or not all(isinstance(r, list) and len(r) == cols for r in value):
        got = "%d row(s)" % len(value)
        if value and all(isinstance(r, list) for r in value):
            widths = sorted({len(r) for r in value})
            got += " of %s column(s)" % "/".join(str(w) for w in widths)
        elif value:
            got += " that are not lists (values need a list of row lists, e.g. [[1, 2]])"
        raise JsError("%s: the range is %d x %d but the value has %s" % (what, rows, cols, got))
    return [[_check_scalar(v, what) for v in r] for r in value]


class Cell:
    __slots__ = ("value", "fill", "bold", "italic", "font_color", "number_format")

    def __init__(self):
        self.value = ""
        self.fill = "#FFFFFF"
        self.bold = False
        self.italic = False
        self.font_color = "#000000"
        self.number_format = "General"

    def is_default(self):
        return (self.value == "" and self.fill == "#FFFFFF" and not self.bold and not self.italic
                and self.font_color == "#000000" and self.number_format == "General")


_sheet_ids = itertools.count(1)


class Worksheet(JsObject):
    js_type = "Worksheet"

    def __init__(self, workbook, name):
        self.workbook = workbook
        self._name = name
        self.id = "{%08d-0000-4000-8000-000000000000}" % next(_sheet_ids)
        self.cells = {}
        self.deleted = False
        self.change_handlers = []   # EventRegistration, in the order added

    # -- cell storage
    def cell(self, r, c, create=False):
        cell = self.cells.get((r, c))
        if cell is None and create:
            cell = self.cells[(r, c)] = Cell()
        return cell

    def read(self, block, attr, default):
        r0, c0, r1, c1 = block
        out = []
        for r in range(r0, r1 + 1):
            row = []
            for c in range(c0, c1 + 1):
                cell = self.cells.get((r, c))
                row.append(default if cell is None else getattr(cell, attr))
            out.append(row)
        return out

    def write(self, block, attr, grid):
        r0, c0 = block[0], block[1]
        for i, row in enumerate(grid):
            for j, v in enumerate(row):
                cell = self.cell(r0 + i, c0 + j, create=True)
                setattr(cell, attr, v)
                if cell.is_default():
                    del self.cells[(r0 + i, c0 + j)]

    def used_block(self, values_only=False):
        keys = [k for k, cell in self.cells.items() if not values_only or cell.value != ""]
        if not keys:
            return None
        rows = [k[0] for k in keys]
        cols = [k[1] for k in keys]
        return min(rows), min(cols), max(rows), max(cols)

    def check_alive(self):
        if self.deleted:
            raise JsError("worksheet %r was deleted" % self._name)

    # -- Office.js members
    @prop
    def name(self):
        return self._name

    @name.setter
    def name(self, value):
        self.check_alive()
        self.workbook.rename(self, value)

    @prop
    def position(self):
        return self.workbook.sheets.index(self)

    @prop
    def onChanged(self):
        return EventSource(self)

    @method
    def getRange(self, address=""):
        self.check_alive()
        if address == "" or address is None:
            block = self.used_block() or (0, 0, 0, 0)
            return Range(self, (0, 0, block[2], block[3]))
        try:
            sheet, block = parse_address(address)
        except AddressError as e:
            raise JsError("Worksheet.getRange: %s" % e) from None
        if sheet is not None and sheet != self._name:
            raise JsError("Worksheet.getRange(%r): the address names sheet %r but this is "
                          "sheet %r; use worksheets.getItem(%r).getRange(...)"
                          % (address, sheet, self._name, sheet))
        return Range(self, block)

    @method
    def getUsedRange(self, valuesOnly=False):
        self.check_alive()
        return Range(self, self.used_block(bool(valuesOnly)) or (0, 0, 0, 0))

    @method
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
            raise JsError("onChanged.add expects a Python function (a callable), got %s"
                          % type(handler).__name__)
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


def _int_arg(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value != int(value):
        raise JsError("%s must be a whole number, got %r" % (what, value))
    return int(value)


class Range(JsObject):
    js_type = "Range"

    def __init__(self, sheet, block):
        self.sheet = sheet
        self.block = block

    @property
    def rows(self):
        return self.block[2] - self.block[0] + 1

    @property
    def cols(self):
        return self.block[3] - self.block[1] + 1

    def _alive(self):
        self.sheet.check_alive()
        return self.sheet

    def _relative(self, r0, c0, r1, c1, what):
        if r0 < 0 or c0 < 0 or r1 >= MAX_ROWS or c1 >= MAX_COLUMNS or r1 < r0 or c1 < c0:
            raise JsError("%s: the result would lie outside the sheet" % what)
        return Range(self.sheet, (r0, c0, r1, c1))

    def _set_cells(self, attr, value, what):
        grid = _grid(value, self.rows, self.cols, what)
        self._alive().write(self.block, attr, grid)
        return grid

    @prop
    def address(self):
        return format_address(self._alive().name, self.block)

    @prop
    def addressLocal(self):
        return self.address

    @prop
    def rowCount(self):
        return self.rows

    @prop
    def columnCount(self):
        return self.cols

    @prop
    def cellCount(self):
        return self.rows * self.cols

    @prop
    def rowIndex(self):
        return self.block[0]

    @prop
    def columnIndex(self):
        return self.block[1]

    @prop
    def worksheet(self):
        return self._alive()

    @prop
    def values(self):
        return self._alive().read(self.block, "value", "")

    @values.setter
    def values(self, value):
        self._set_cells("value", value, "Range.values")
        self.sheet.workbook.values_changed(self.sheet, self.block)

    # No formula engine: a formula is stored and read back as the cell value.
    @prop
    def formulas(self):
        return self.values

    @formulas.setter
    def formulas(self, value):
        self.values = value

    @prop
    def text(self):
        return [[_text(v) for v in row] for row in self.values]

    @prop
    def numberFormat(self):
        return self._alive().read(self.block, "number_format", "General")

    @numberFormat.setter
    def numberFormat(self, value):
        grid = _grid(value, self.rows, self.cols, "Range.numberFormat")
        if not all(isinstance(v, str) for row in grid for v in row):
            raise JsError("Range.numberFormat: formats are text such as 'General' or '0.00'")
        self._alive().write(self.block, "number_format", grid)

    @prop
    def format(self):
        return RangeFormat([self])

    @method
    def getCell(self, row, column):
        r = self.block[0] + _int_arg(row, "getCell row")
        c = self.block[1] + _int_arg(column, "getCell column")
        return self._relative(r, c, r, c, "getCell(%r, %r)" % (row, column))

    @method
    def getRow(self, row):
        r = self.block[0] + _int_arg(row, "getRow row")
        return self._relative(r, self.block[1], r, self.block[3], "getRow(%r)" % (row,))

    @method
    def getColumn(self, column):
        c = self.block[1] + _int_arg(column, "getColumn column")
        return self._relative(self.block[0], c, self.block[2], c, "getColumn(%r)" % (column,))

    @method
    def getOffsetRange(self, rowOffset, columnOffset):
        dr = _int_arg(rowOffset, "rowOffset")
        dc = _int_arg(columnOffset, "columnOffset")
        r0, c0, r1, c1 = self.block
        return self._relative(r0 + dr, c0 + dc, r1 + dr, c1 + dc, "getOffsetRange")

    @method
    def getResizedRange(self, deltaRows, deltaColumns):
        r0, c0, r1, c1 = self.block
        return self._relative(r0, c0, r1 + _int_arg(deltaRows, "deltaRows"),
                              c1 + _int_arg(deltaColumns, "deltaColumns"), "getResizedRange")

    @method(mutating=True)
    def clear(self, applyTo="All"):
        clear_blocks([self], applyTo)


def _text(v):
    if isinstance(v, bool):
        return "TRUE" if v else "FALSE"
    if isinstance(v, float) and v == int(v):
        return str(int(v))
    return str(v)


def clear_blocks(ranges, applyTo):
    kinds = {"All", "Contents", "Formats"}
    if applyTo not in kinds:
        raise JsError("clear(applyTo=%r): use one of %s" % (applyTo, ", ".join(sorted(kinds))))
    for rng in ranges:
        sheet = rng._alive()
        r0, c0, r1, c1 = rng.block
        for key in [k for k in sheet.cells if r0 <= k[0] <= r1 and c0 <= k[1] <= c1]:
            cell = sheet.cells[key]
            if applyTo in ("All", "Contents"):
                cell.value = ""
            if applyTo in ("All", "Formats"):
                fresh = Cell()
                for a in ("fill", "bold", "italic", "font_color", "number_format"):
                    setattr(cell, a, getattr(fresh, a))
            if cell.is_default():
                del sheet.cells[key]
        if applyTo != "Formats":
            sheet.workbook.values_changed(sheet, rng.block)


class RangeAreas(JsObject):
    """Several blocks of one sheet, as Union returns them."""
    js_type = "RangeAreas"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def address(self):
        return ",".join(r.address for r in self.ranges)

    @prop
    def areaCount(self):
        return len(self.ranges)

    @prop
    def areas(self):
        return RangeCollection(self.ranges)

    @prop
    def cellCount(self):
        return sum(r.rows * r.cols for r in self.ranges)

    @prop
    def worksheet(self):
        return self.ranges[0]._alive()

    @prop
    def format(self):
        return RangeFormat(self.ranges)

    @method(mutating=True)
    def clear(self, applyTo="All"):
        clear_blocks(self.ranges, applyTo)


class RangeCollection(JsObject):
    js_type = "RangeCollection"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def items(self):
        return list(self.ranges)

    @method
    def getCount(self):
        return len(self.ranges)

    @method
    def getItemAt(self, index):
        i = _int_arg(index, "getItemAt index")
        if not 0 <= i < len(self.ranges):
            raise JsError("getItemAt(%d): there are %d areas" % (i, len(self.ranges)))
        return self.ranges[i]

    def get_item(self, key):
        return self.getItemAt(int(key))


def _common(ranges, attr, default):
    """The one value all cells share; None when they differ, as Office.js
    reports a mixed format."""
    seen = set()
    for rng in ranges:
        for row in rng._alive().read(rng.block, attr, default):
            seen.update(row)
            if len(seen) > 1:
                return None
    return seen.pop() if seen else default


def _apply(ranges, attr, value):
    for rng in ranges:
        rng._alive().write(rng.block, attr, [[value] * rng.cols for _ in range(rng.rows)])


def _color(value, what):
    if not isinstance(value, str) or not _COLOR.match(value):
        raise JsError("%s: use a color such as '#4472C4' or 'yellow', got %r" % (what, value))
    return value.upper() if value.startswith("#") else value


class RangeFormat(JsObject):
    js_type = "RangeFormat"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def fill(self):
        return RangeFill(self.ranges)

    @prop
    def font(self):
        return RangeFont(self.ranges)


class RangeFill(JsObject):
    js_type = "RangeFill"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def color(self):
        # No fill reads as white; a mix of fills reads as None.
        return _common(self.ranges, "fill", "#FFFFFF")

    @color.setter
    def color(self, value):
        _apply(self.ranges, "fill", _color(value, "format.fill.color"))

    @method(mutating=True)
    def clear(self):
        _apply(self.ranges, "fill", "#FFFFFF")


class RangeFont(JsObject):
    js_type = "RangeFont"

    def __init__(self, ranges):
        self.ranges = ranges

    def _flag(self, value, what):
        if not isinstance(value, bool):
            raise JsError("%s must be True or False, got %r" % (what, value))
        return value

    @prop
    def bold(self):
        return _common(self.ranges, "bold", False)

    @bold.setter
    def bold(self, value):
        _apply(self.ranges, "bold", self._flag(value, "format.font.bold"))

    @prop
    def italic(self):
        return _common(self.ranges, "italic", False)

    @italic.setter
    def italic(self, value):
        _apply(self.ranges, "italic", self._flag(value, "format.font.italic"))

    @prop
    def color(self):
        return _common(self.ranges, "font_color", "#000000")

    @color.setter
    def color(self, value):
        _apply(self.ranges, "font_color", _color(value, "format.font.color"))


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

    @method
    def getItem(self, key):
        sheet = self.workbook.find(key)
        if sheet is None:
            raise JsError("worksheets.getItem(%r): no such worksheet; the workbook has %s"
                          % (key, ", ".join(repr(s.name) for s in self.workbook.sheets)))
        return sheet

    @method
    def getItemOrNullObject(self, key):
        return self.workbook.find(key)

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
            raise JsError("worksheets[%s]: use an index from 0 to %d" % (key, len(sheets) - 1)) from None


class Workbook(JsObject):
    """The workbook: sheets, settings, and the values-changed hook that the
    add-in session turns into onChanged events."""
    js_type = "Workbook"

    DEFAULT_SETTINGS = {
        "Version": "1.0",
        "Locale": "en-US",
        "CalculationMode": "Automatic",
        "DecimalSeparator": ".",
        "ThousandsSeparator": ",",
    }

    def __init__(self, sheet_names=("Sheet1",), name="Book1.xlsx", settings=None):
        self._name = name
        self.sheets = []
        self.settings = dict(self.DEFAULT_SETTINGS)
        self.settings.update(settings or {})
        self.on_values_changed = None     # set by the add-in session
        self.released_callbacks = []      # callable ids the workbook let go of
        for n in sheet_names:
            self.add(n)
        self.active = self.sheets[0] if self.sheets else None

    def find(self, key):
        if not isinstance(key, str):
            raise JsError("worksheets.getItem expects a worksheet name (text), got %r" % (key,))
        for s in self.sheets:
            if s.name == key or s.id == key:
                return s
        return None

    def add(self, name=None):
        if name is None:
            n = len(self.sheets) + 1
            while self.find("Sheet%d" % n) is not None:
                n += 1
            name = "Sheet%d" % n
        self._check_name(name)
        sheet = Worksheet(self, name)
        self.sheets.append(sheet)
        if getattr(self, "active", None) is None:
            self.active = sheet
        return sheet

    def _check_name(self, name, sheet=None):
        if not isinstance(name, str) or not name.strip():
            raise JsError("a worksheet name must be non-empty text, got %r" % (name,))
        if len(name) > 31 or re.search(r"[\\/?*\[\]:]", name):
            raise JsError("invalid worksheet name %r: at most 31 characters, none of \\ / ? * [ ] :"
                          % name)
        other = self.find(name)
        if other is not None and other is not sheet:
            raise JsError("a worksheet named %r already exists" % name)

    def rename(self, sheet, name):
        self._check_name(name, sheet)
        sheet._name = name

    def delete(self, sheet):
        if len(self.sheets) == 1:
            raise JsError("the last worksheet of a workbook cannot be deleted")
        self.sheets.remove(sheet)
        sheet.deleted = True
        for reg in list(sheet.change_handlers):
            reg.remove()
        if self.active is sheet:
            self.active = self.sheets[0]

    def values_changed(self, sheet, block):
        if self.on_values_changed is not None and sheet.change_handlers:
            self.on_values_changed(sheet, block)

    @prop
    def name(self):
        return self._name

    @prop
    def worksheets(self):
        return WorksheetCollection(self)


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


def ranges_of(value, what):
    """Flatten Range / RangeAreas arguments into a list of Range."""
    if isinstance(value, Range):
        value._alive()
        return [value]
    if isinstance(value, RangeAreas):
        return list(value.ranges)
    raise JsError("%s expects ranges, got %s" % (what, getattr(value, "js_type", type(value).__name__)))


def union(*items):
    if not items:
        raise JsError("Union needs at least one range")
    ranges = [r for item in items for r in ranges_of(item, "Union")]
    sheets = {id(r.sheet) for r in ranges}
    if len(sheets) > 1:
        raise JsError("Union: all ranges must be on one worksheet (got %s)"
                      % ", ".join(sorted({r.sheet.name for r in ranges})))
    return ranges[0] if len(ranges) == 1 else RangeAreas(ranges)


def intersect(*items):
    if len(items) < 2:
        raise JsError("Intersect needs at least two ranges")
    ranges = [r for item in items for r in ranges_of(item, "Intersect")]
    if len({id(r.sheet) for r in ranges}) > 1:
        return None
    r0, c0, r1, c1 = ranges[0].block
    for r in ranges[1:]:
        a0, b0, a1, b1 = r.block
        r0, c0, r1, c1 = max(r0, a0), max(c0, b0), min(r1, a1), min(c1, b1)
        if r0 > r1 or c0 > c1:
            return None   # no common cell
    return Range(ranges[0].sheet, (r0, c0, r1, c1))
