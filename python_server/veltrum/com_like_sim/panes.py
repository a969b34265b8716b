"""Frozen panes of a worksheet (WorksheetFreezePanes): the rows and
columns of the top-left pane, each a first line and a count. freezeRows
and freezeColumns freeze from the sheet's first row or column, each
keeping the other; freezeAt freezes the cells of the range it is given."""

from .addresses import MAX_COLUMNS, MAX_ROWS
from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject, int_arg,
                      method)
from .ranges import Range, block_on


def _count(value, limit, what):
    n = 1 if value is None else int_arg(value, what)
    if not 0 <= n < limit:
        raise JsError(INVALID_ARGUMENT, "%s must be from 0 (unfreeze) to %d, got %r"
                      % (what, limit - 1, value))
    return n


class WorksheetFreezePanes(JsObject):
    js_type = "WorksheetFreezePanes"

    def __init__(self, sheet):
        self.sheet = sheet

    def _location(self):
        top, rows, left, cols = self.sheet.frozen
        if not rows and not cols:
            return None
        if not rows:
            return Range(self.sheet, (0, left, MAX_ROWS - 1, left + cols - 1))
        if not cols:
            return Range(self.sheet, (top, 0, top + rows - 1, MAX_COLUMNS - 1))
        return Range(self.sheet, (top, left, top + rows - 1, left + cols - 1))

    @method(mutating=True)
    def freezeRows(self, count=None):
        self.sheet.check_alive()
        rows = _count(count, MAX_ROWS, "freezeRows count")
        self.sheet.frozen = (0, rows) + self.sheet.frozen[2:]

    @method(mutating=True)
    def freezeColumns(self, count=None):
        self.sheet.check_alive()
        cols = _count(count, MAX_COLUMNS, "freezeColumns count")
        self.sheet.frozen = self.sheet.frozen[:2] + (0, cols)

    @method(mutating=True)
    def freezeAt(self, frozenRange):
        """None unfreezes; whole columns freeze columns only, whole rows
        rows only."""
        sheet = self.sheet
        sheet.check_alive()
        if frozenRange is None:
            sheet.frozen = (0, 0, 0, 0)
            return
        block = block_on(sheet, frozenRange, "freezeAt")
        r0, c0, r1, c1 = block
        rows = 0 if (r0, r1) == (0, MAX_ROWS - 1) else r1 - r0 + 1
        cols = 0 if (c0, c1) == (0, MAX_COLUMNS - 1) else c1 - c0 + 1
        if not rows and not cols:
            raise JsError(INVALID_ARGUMENT, "freezeAt: the whole sheet cannot be frozen")
        sheet.frozen = (r0 if rows else 0, rows, c0 if cols else 0, cols)

    @method
    def getLocation(self):
        self.sheet.check_alive()
        location = self._location()
        if location is None:
            raise JsError(ITEM_NOT_FOUND, "worksheet %r has no frozen panes" % self.sheet.name)
        return location

    @method
    def getLocationOrNullObject(self):
        self.sheet.check_alive()
        location = self._location()
        return NullObject("Range", "a frozen pane") if location is None else location

    @method(mutating=True)
    def unfreeze(self):
        self.sheet.check_alive()
        self.sheet.frozen = (0, 0, 0, 0)
