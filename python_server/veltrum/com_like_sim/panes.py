"""Frozen panes of a worksheet (WorksheetFreezePanes): how many top rows
and left columns stay in place. Rows and columns freeze independently."""

from .addresses import MAX_COLUMNS, MAX_ROWS, AddressError, parse_address
from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject, int_arg,
                      method)
from .ranges import Range


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
        rows, cols = self.sheet.frozen
        if not rows and not cols:
            return None
        return Range(self.sheet, (0, 0, (rows or MAX_ROWS) - 1, (cols or MAX_COLUMNS) - 1))

    @method(mutating=True)
    def freezeRows(self, count=None):
        self.sheet.check_alive()
        self.sheet.frozen = (_count(count, MAX_ROWS, "freezeRows count"), self.sheet.frozen[1])

    @method(mutating=True)
    def freezeColumns(self, count=None):
        self.sheet.check_alive()
        self.sheet.frozen = (self.sheet.frozen[0], _count(count, MAX_COLUMNS, "freezeColumns count"))

    @method(mutating=True)
    def freezeAt(self, frozenRange):
        """The cells that stay in place: everything above and left of the
        range's bottom-right corner (whole columns freeze columns only)."""
        sheet = self.sheet
        sheet.check_alive()
        if isinstance(frozenRange, NullObject):
            raise frozenRange.missing("freezeAt")
        if isinstance(frozenRange, Range):
            if frozenRange._alive() is not sheet:
                raise JsError(INVALID_ARGUMENT, "freezeAt: the range is on another worksheet")
            block = frozenRange.block
        else:
            try:
                name, block = parse_address(frozenRange)
            except AddressError as e:
                raise JsError(INVALID_ARGUMENT, "freezeAt: %s" % e) from None
            if name is not None and name.lower() != sheet.name.lower():
                raise JsError(INVALID_ARGUMENT, "freezeAt(%r): the address names another "
                              "worksheet" % frozenRange)
        rows = 0 if block[2] == MAX_ROWS - 1 else block[2] + 1
        cols = 0 if block[3] == MAX_COLUMNS - 1 else block[3] + 1
        if not rows and not cols:
            raise JsError(INVALID_ARGUMENT, "freezeAt: the whole sheet cannot be frozen")
        sheet.frozen = (rows, cols)

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
        self.sheet.frozen = (0, 0)
