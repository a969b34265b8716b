"""The Office.js workbook objects: Workbook, its WorksheetCollection,
Worksheet and its change events, and the roots the add-in hands out
(context, Excel). Each is a view over the storage in model.py.
"""

from .charts import ChartCollection
from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject, PyCallback,
                      method, prop)
from .panes import WorksheetFreezePanes
from .ranges import Range, sheet_range
from .settings import SettingCollection
from .tables import TableCollection


class Worksheet(JsObject):
    js_type = "Worksheet"

    def __init__(self, sheet):
        self.sheet = sheet          # a model.Sheet

    # A deleted worksheet's members fail as Office.js's do: the item is gone.
    @prop
    def id(self):
        self.sheet.check_alive()
        return self.sheet.id

    @prop
    def name(self):
        self.sheet.check_alive()
        return self.sheet.name

    @name.setter
    def name(self, value):
        self.sheet.check_alive()
        self.sheet.book.rename(self.sheet, value)

    @prop
    def position(self):
        self.sheet.check_alive()
        return self.sheet.book.sheets.index(self.sheet)

    @prop
    def onChanged(self):
        return EventSource(self.sheet)

    @prop
    def tables(self):
        return TableCollection(self.sheet.book, self.sheet)

    @prop
    def charts(self):
        return ChartCollection(self.sheet)

    @prop
    def freezePanes(self):
        return WorksheetFreezePanes(self.sheet)

    @method(deferred="Range")
    def getRange(self, address=None):
        return sheet_range(self.sheet, address)

    @method(deferred="Range")
    def getUsedRange(self, valuesOnly=False):
        self.sheet.check_alive()
        return Range(self.sheet, self.sheet.used_block() or (0, 0, 0, 0))

    @method
    def getUsedRangeOrNullObject(self, valuesOnly=False):
        self.sheet.check_alive()
        block = self.sheet.used_block()
        return NullObject("Range", "a used range") if block is None else Range(self.sheet, block)

    @method(deferred="Range")
    def getCell(self, row, column):
        return Range(self.sheet, (0, 0, 0, 0)).getCell(row, column)

    @method
    def activate(self):
        self.sheet.check_alive()
        self.sheet.book.active = self.sheet

    @method(mutating=True)
    def delete(self):
        self.sheet.check_alive()
        self.sheet.book.delete(self.sheet)


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
        self.sheet.change_handlers.append(handler)
        return EventRegistration(self.sheet, handler)


class EventRegistration(JsObject):
    js_type = "EventHandlerResult"

    def __init__(self, sheet, handler):
        self.sheet = sheet
        self.handler = handler

    @method
    def remove(self):
        self.sheet.remove_handler(self.handler)


class WorksheetCollection(JsObject):
    js_type = "WorksheetCollection"

    def __init__(self, book):
        self.book = book

    def _find(self, key):
        if not isinstance(key, str):
            raise JsError(INVALID_ARGUMENT, "worksheets.getItem expects a worksheet name "
                          "(text), got %r" % (key,))
        return self.book.find(key)

    @prop
    def items(self):
        return [Worksheet(s) for s in self.book.sheets]

    @method
    def getCount(self):
        return len(self.book.sheets)

    @method(deferred="Worksheet")
    def getItem(self, key):
        sheet = self._find(key)
        if sheet is None:
            raise JsError(ITEM_NOT_FOUND, "worksheets.getItem(%r): no such worksheet; the "
                          "workbook has %s"
                          % (key, ", ".join(repr(s.name) for s in self.book.sheets)))
        return Worksheet(sheet)

    @method
    def getItemOrNullObject(self, key):
        sheet = self._find(key)
        if sheet is None:
            return NullObject("Worksheet", "worksheet %r" % (key,))
        return Worksheet(sheet)

    @method
    def add(self, name=None):
        return Worksheet(self.book.add(name))

    @method
    def getActiveWorksheet(self):
        return Worksheet(self.book.active)

    @method
    def getFirst(self):
        return Worksheet(self.book.sheets[0])

    def get_item(self, key):
        sheets = self.book.sheets
        try:
            return Worksheet(sheets[int(key)])
        except (ValueError, IndexError):
            # Office.js's WorksheetCollection has no getItemAt: the add-in
            # reads the items, so a bad position fails at once.
            raise JsError(ITEM_NOT_FOUND, "worksheets[%s]: use an index from 0 to %d"
                          % (key, len(sheets) - 1)) from None


class Workbook(JsObject):
    """Office.js's workbook: its name, worksheets, settings and tables."""
    js_type = "Workbook"

    def __init__(self, book):
        self.book = book            # a model.Workbook

    @prop
    def name(self):
        return self.book.name

    @prop
    def worksheets(self):
        return WorksheetCollection(self.book)

    @prop
    def settings(self):
        return SettingCollection(self.book.settings)

    @prop
    def tables(self):
        return TableCollection(self.book)


class RequestContext(JsObject):
    js_type = "RequestContext"

    def __init__(self, book):
        self.book = book

    @prop
    def workbook(self):
        return Workbook(self.book)

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
