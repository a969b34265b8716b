"""Ranges: Range, RangeAreas and their formats, Union and Intersect.

A range is a block of one worksheet; its cells live in the sheet's
storage (model.py), which also computes formulas. Whole columns and rows ("B:B",
"2:2") are ranges too: their ``address`` and counts read as usual, their
cell data reads None and cannot be written, as in Office.js.
"""

import re

from . import cells, layout, numfmt
from .addresses import (MAX_COLUMNS, MAX_ROWS, AddressError, format_address, is_unbounded,
                        parse_address)
from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject,
                      int_arg, method, prop)

_COLOR = re.compile(r"^#[0-9A-Fa-f]{6}$")
# Named HTML colors read back as their #RRGGBB code, as in Excel.
_NAMED_COLORS = {
    "black": "#000000", "silver": "#C0C0C0", "gray": "#808080", "grey": "#808080",
    "white": "#FFFFFF", "maroon": "#800000", "red": "#FF0000", "purple": "#800080",
    "fuchsia": "#FF00FF", "green": "#008000", "lime": "#00FF00", "olive": "#808000",
    "yellow": "#FFFF00", "navy": "#000080", "blue": "#0000FF", "teal": "#008080",
    "aqua": "#00FFFF", "orange": "#FFA500", "lightgreen": "#90EE90", "lightblue": "#ADD8E6",
}
_CLEAR_KINDS = ("All", "Contents", "Formats")


def worksheet_of(sheet):
    """The Worksheet object of a sheet of the model."""
    from .sheets import Worksheet   # sheets.py builds on this module
    return Worksheet(sheet)


def sheet_range(sheet, address):
    """Worksheet.getRange: the range an address names on this sheet, the
    whole sheet without one."""
    sheet.check_alive()
    if address is None or address == "":
        return Range(sheet, parse_address("A:XFD")[1])
    try:
        name, block = parse_address(address)
    except AddressError as e:
        raise JsError(INVALID_ARGUMENT, "Worksheet.getRange: %s" % e) from None
    if name is not None and name.lower() != sheet.name.lower():
        raise JsError(INVALID_ARGUMENT, "Worksheet.getRange(%r): the address names sheet "
                      "%r but this is sheet %r; use worksheets.getItem(%r).getRange(...)"
                      % (address, name, sheet.name, name))
    return Range(sheet, block)


def block_on(sheet, target, what, noun="range"):
    """The block a Range or an address names, which must be on ``sheet``."""
    if isinstance(target, NullObject):
        raise target.missing(what)
    if isinstance(target, Range):
        if target._alive() is not sheet:
            raise JsError(INVALID_ARGUMENT, "%s: the %s is on another worksheet" % (what, noun))
        return target.block
    try:
        name, block = parse_address(target)
    except AddressError as e:
        raise JsError(INVALID_ARGUMENT, "%s: %s" % (what, e)) from None
    if name is not None and name.lower() != sheet.name.lower():
        raise JsError(INVALID_ARGUMENT, "%s(%r): the address names another worksheet"
                      % (what, target))
    return block


class Range(JsObject):
    js_type = "Range"

    def __init__(self, sheet, block):
        self.sheet = sheet          # a model.Sheet
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
            raise JsError(INVALID_ARGUMENT, "%s: the result would lie outside the sheet" % what)
        return Range(self.sheet, (r0, c0, r1, c1))

    def _bounded(self):
        """None for a whole column or row, whose cell data Office.js reads
        as null."""
        sheet = self._alive()
        return None if is_unbounded(self.block) else sheet

    def _writable(self, what):
        sheet = self._alive()
        if is_unbounded(self.block):
            raise JsError(INVALID_ARGUMENT, "%s cannot be written to a whole column or row (%s); "
                          "use a bounded range such as 'B1:B100'" % (what, self.address))
        return sheet

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
        return worksheet_of(self._alive())

    @prop
    def values(self):
        sheet = self._bounded()
        return None if sheet is None else cells.as_double(sheet.read_values(self.block))

    @values.setter
    def values(self, value):
        self._write_values(value, "Range.values")

    @prop
    def formulas(self):
        sheet = self._bounded()
        return None if sheet is None else cells.as_double(sheet.read(self.block, "value", ""))

    @formulas.setter
    def formulas(self, value):
        self._write_values(value, "Range.formulas")

    def check_assignment(self, name, value):
        if name in ("values", "formulas"):
            cells.refuse_infinities(value, "Range.%s" % name)

    def _write_values(self, value, what):
        self._writable(what).write_input(self.block, value, what)

    @prop
    def text(self):
        sheet = self._bounded()
        if sheet is None:
            return None
        formats = sheet.read(self.block, "number_format", "General")
        return [[numfmt.display(v, f) for v, f in zip(values, fmts)]
                for values, fmts in zip(sheet.read_values(self.block), formats)]

    @prop
    def valueTypes(self):
        sheet = self._bounded()
        return None if sheet is None else sheet.read_value_types(self.block)

    @prop
    def numberFormat(self):
        sheet = self._bounded()
        return None if sheet is None else sheet.read(self.block, "number_format", "General")

    @numberFormat.setter
    def numberFormat(self, value):
        sheet = self._writable("Range.numberFormat")
        formats = cells.grid(value, self.rows, self.cols, "Range.numberFormat",
                             cells.number_format)
        sheet.write(self.block, "number_format", formats)

    @prop
    def format(self):
        return RangeFormat([self])

    # Loadable with load(): the scalar properties (not format, worksheet).
    _LOADABLE = ("address", "addressLocal", "cellCount", "columnCount", "columnIndex", "formulas",
                 "numberFormat", "rowCount", "rowIndex", "text", "valueTypes", "values")

    @method
    def load(self, propertyNames=None):
        """Takes a copy of the named properties now, for toJSON(), as a sync
        after Office.js's load() would; returns the range."""
        if propertyNames is None:
            names = list(self._LOADABLE)
        elif isinstance(propertyNames, str):
            names = [n.strip() for n in propertyNames.split(",") if n.strip()]
        elif isinstance(propertyNames, list) and all(isinstance(n, str) for n in propertyNames):
            names = [n.strip() for n in propertyNames]
        else:
            raise JsError(INVALID_ARGUMENT, "Range.load(propertyNames): names as text "
                          "('values, numberFormat') or a list of text, got %r" % (propertyNames,))
        for n in names:
            if n not in self._LOADABLE:
                raise JsError(INVALID_ARGUMENT,
                              "The property '%s' cannot be loaded on Range; loadable: %s"
                              % (n, ", ".join(self._LOADABLE)))
        loaded = self.__dict__.setdefault("_loaded", {})
        for n in names:
            loaded[n] = getattr(self, n)
        return self

    @method
    def toJSON(self):
        """The properties loaded so far, as they were when loaded."""
        return dict(self.__dict__.get("_loaded", {}))

    @method(deferred="Range")
    def getCell(self, row, column):
        r = self.block[0] + int_arg(row, "getCell row")
        c = self.block[1] + int_arg(column, "getCell column")
        return self._relative(r, c, r, c, "getCell(%r, %r)" % (row, column))

    @method(deferred="Range")
    def getRow(self, row):
        r = self.block[0] + int_arg(row, "getRow row")
        return self._relative(r, self.block[1], r, self.block[3], "getRow(%r)" % (row,))

    @method(deferred="Range")
    def getColumn(self, column):
        c = self.block[1] + int_arg(column, "getColumn column")
        return self._relative(self.block[0], c, self.block[2], c, "getColumn(%r)" % (column,))

    @method
    def getEntireColumn(self):
        return Range(self.sheet, (0, self.block[1], MAX_ROWS - 1, self.block[3]))

    @method
    def getEntireRow(self):
        return Range(self.sheet, (self.block[0], 0, self.block[2], MAX_COLUMNS - 1))

    @method(deferred="Range")
    def getOffsetRange(self, rowOffset, columnOffset):
        dr = int_arg(rowOffset, "rowOffset")
        dc = int_arg(columnOffset, "columnOffset")
        r0, c0, r1, c1 = self.block
        return self._relative(r0 + dr, c0 + dc, r1 + dr, c1 + dc, "getOffsetRange")

    @method(deferred="Range")
    def getResizedRange(self, deltaRows, deltaColumns):
        r0, c0, r1, c1 = self.block
        return self._relative(r0, c0, r1 + int_arg(deltaRows, "deltaRows"),
                              c1 + int_arg(deltaColumns, "deltaColumns"), "getResizedRange")

    @method(deferred="Range")
    def getIntersection(self, anotherRange):
        found = intersect(self, self._other(anotherRange))
        if found is None:
            raise JsError(ITEM_NOT_FOUND, "%s and the other range have no cell in common"
                          % self.address)
        return found

    @method
    def getIntersectionOrNullObject(self, anotherRange):
        found = intersect(self, self._other(anotherRange))
        return NullObject("Range", "the intersection") if found is None else found

    def _other(self, value):
        if isinstance(value, str):
            return sheet_range(self._alive(), value)
        return value

    @method(mutating=True)
    def clear(self, applyTo="All"):
        clear_blocks([self], applyTo)


def clear_blocks(ranges, applyTo):
    if applyTo not in _CLEAR_KINDS:
        raise JsError(INVALID_ARGUMENT, "clear(applyTo=%r): use one of %s"
                      % (applyTo, ", ".join(_CLEAR_KINDS)))
    for rng in ranges:
        rng._alive().clear(rng.block, contents=applyTo != "Formats",
                           formats=applyTo != "Contents")


class RangeAreas(JsObject):
    """Several blocks of one sheet, as Union returns them."""
    js_type = "RangeAreas"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def address(self):
        return ", ".join(r.address for r in self.ranges)

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
        return worksheet_of(self.ranges[0]._alive())

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

    @method(deferred="Range")
    def getItemAt(self, index):
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < len(self.ranges):
            raise JsError(ITEM_NOT_FOUND, "getItemAt(%d): there are %d areas"
                          % (i, len(self.ranges)))
        return self.ranges[i]

    def get_item(self, key):
        try:
            i = int(key)
        except ValueError:
            raise JsError(INVALID_ARGUMENT, "areas[%s]: use an index" % key) from None
        if i < 0:     # counted from the end through the items, as the add-in does
            i += len(self.ranges)
            if i < 0:
                raise JsError(ITEM_NOT_FOUND, "areas[%s]: there are %d areas"
                              % (key, len(self.ranges)))
        try:
            return self.getItemAt(i)
        except JsError as e:
            e.deferred = "Range"      # getItemAt only describes the item
            raise


def _common(ranges, attr):
    """The one value all cells share; None when they differ, as Office.js
    reports a mixed format."""
    seen = set()
    for rng in ranges:
        seen.update(rng._alive().distinct(rng.block, attr))
        if len(seen) > 1:
            return None
    return seen.pop()


def _apply(ranges, attr, value):
    for rng in ranges:
        sheet = rng._alive()
        if is_unbounded(rng.block):
            sheet.paint(rng.block, attr, value)
        else:
            sheet.write(rng.block, attr, [[value] * rng.cols for _ in range(rng.rows)])


def _color(value, what):
    text = value.strip() if isinstance(value, str) else None
    if text is not None and _COLOR.match(text):
        return text.upper()
    if text is not None and text.lower() in _NAMED_COLORS:
        return _NAMED_COLORS[text.lower()]
    raise JsError(INVALID_ARGUMENT, "%s: use a color such as '#4472C4' or 'yellow', got %r"
                  % (what, value))


def _flag(value, what):
    if not isinstance(value, bool):
        raise JsError(INVALID_ARGUMENT, "%s must be True or False, got %r" % (what, value))
    return value


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

    @prop
    def columnWidth(self):
        sizes = {rng._alive().column_widths.common(rng.block[1], rng.block[3])
                 for rng in self.ranges}
        return sizes.pop() if len(sizes) == 1 else None

    @columnWidth.setter
    def columnWidth(self, value):
        width = layout.size_arg(value, layout.MAX_WIDTH, "format.columnWidth")
        for rng in self.ranges:
            rng._alive().column_widths.paint(rng.block[1], rng.block[3], width)

    @prop
    def rowHeight(self):
        sizes = {rng._alive().row_heights.common(rng.block[0], rng.block[2])
                 for rng in self.ranges}
        return sizes.pop() if len(sizes) == 1 else None

    @rowHeight.setter
    def rowHeight(self, value):
        height = layout.size_arg(value, layout.MAX_HEIGHT, "format.rowHeight")
        for rng in self.ranges:
            rng._alive().row_heights.paint(rng.block[0], rng.block[2], height)

    @method(mutating=True)
    def autofitColumns(self):
        for rng in self.ranges:
            layout.autofit_columns(rng._alive(), rng.block)

    @method(mutating=True)
    def autofitRows(self):
        for rng in self.ranges:
            layout.autofit_rows(rng._alive(), rng.block)


class RangeFill(JsObject):
    js_type = "RangeFill"

    def __init__(self, ranges):
        self.ranges = ranges

    @prop
    def color(self):
        # No fill reads as white; a mix of fills reads as None.
        return _common(self.ranges, "fill")

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

    @prop
    def bold(self):
        return _common(self.ranges, "bold")

    @bold.setter
    def bold(self, value):
        _apply(self.ranges, "bold", _flag(value, "format.font.bold"))

    @prop
    def italic(self):
        return _common(self.ranges, "italic")

    @italic.setter
    def italic(self, value):
        _apply(self.ranges, "italic", _flag(value, "format.font.italic"))

    @prop
    def color(self):
        return _common(self.ranges, "font_color")

    @color.setter
    def color(self, value):
        _apply(self.ranges, "font_color", _color(value, "format.font.color"))


def ranges_of(value, what):
    """Flatten Range / RangeAreas arguments into a list of Range."""
    if isinstance(value, Range):
        value._alive()
        return [value]
    if isinstance(value, RangeAreas):
        return list(value.ranges)
    if isinstance(value, NullObject):
        raise value.missing(what)
    raise JsError(INVALID_ARGUMENT, "%s expects ranges, got %s"
                  % (what, getattr(value, "js_type", type(value).__name__)))


def union(*items):
    if not items:
        raise JsError(INVALID_ARGUMENT, "Union needs at least one range")
    ranges = [r for item in items for r in ranges_of(item, "Union")]
    if len({id(r.sheet) for r in ranges}) > 1:
        raise JsError(INVALID_ARGUMENT, "Union: all ranges must be on one worksheet (got %s)"
                      % ", ".join(sorted({r.sheet.name for r in ranges})))
    return ranges[0] if len(ranges) == 1 else RangeAreas(ranges)


def intersect(*items):
    """The common block of the ranges, or None when they share no cell."""
    if len(items) < 2:
        raise JsError(INVALID_ARGUMENT, "Intersect needs at least two ranges")
    ranges = [r for item in items for r in ranges_of(item, "Intersect")]
    if len({id(r.sheet) for r in ranges}) > 1:
        return None
    r0, c0, r1, c1 = ranges[0].block
    for r in ranges[1:]:
        a0, b0, a1, b1 = r.block
        r0, c0, r1, c1 = max(r0, a0), max(c0, b0), min(r1, a1), min(c1, b1)
        if r0 > r1 or c0 > c1:
            return None
    return Range(ranges[0].sheet, (r0, c0, r1, c1))
