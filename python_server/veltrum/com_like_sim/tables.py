"""Tables: TableCollection, Table, TableRowCollection and TableRow.

A table is a block of one worksheet: a header row, then its data rows. A
table without data rows still covers one blank row below its header, as
Excel's does, and the first rows added fill it. The cells are the
worksheet's; a table (model.Table) holds its block, name and id, and the
objects here are views over it. Adding rows inside a table moves the cells
below it in the table's columns down, and deleting a row moves them up, as
inserting and deleting table cells does in Excel.
"""

import re

from . import cells, model, numfmt
from .addresses import MAX_ROWS, AddressError, is_unbounded, parse_address
from .formulas import ErrorValue, Evaluator
from .members import (INVALID_ARGUMENT, ITEM_ALREADY_EXISTS, ITEM_NOT_FOUND, Collection, JsError,
                      JsObject, KeyedCollection, NullObject, int_arg, method, prop)
from .ranges import Range, worksheet_of

# Rename an Excel table: a letter, underscore or backslash first; then
# letters, digits, periods and underscores; at most 255 characters.
_TABLE_NAME = re.compile(r"^[^\W\d][\w.]*$|^\\[\w.\\]*$")
_REFERENCE_LIKE = re.compile(r"^([A-Za-z]{1,3}[0-9]+|[Rr][0-9]*[Cc][0-9]*|[RrCc])$")
MAX_TABLE_NAME = 255
# The built-in styles (a workbook here has no custom ones).
_STYLE = re.compile(r"^TableStyle(Light([1-9]|1[0-9]|2[01])|Medium([1-9]|1[0-9]|2[0-8])"
                    r"|Dark([1-9]|1[01]))$")


def header_text(value):
    """A header cell's value as the text Excel makes of it."""
    if isinstance(value, ErrorValue):
        return value.text
    return numfmt.display(value)


def unique_headers(texts):
    """Blank headers become ColumnN (N its position); a repeated header
    gets the lowest number that makes it unique, as Excel renames them."""
    out, seen = [], set()
    for i, text in enumerate(texts):
        name = text if text != "" else "Column%d" % (i + 1)
        base, n = name, 2
        while name.lower() in seen:
            name, n = "%s%d" % (base, n), n + 1
        seen.add(name.lower())
        out.append(name)
    return out


def check_table_name(book, name, table=None):
    if (not isinstance(name, str) or not 0 < len(name) <= MAX_TABLE_NAME
            or not _TABLE_NAME.match(name) or _REFERENCE_LIKE.match(name)):
        raise JsError(INVALID_ARGUMENT, "invalid table name %r: start with a letter, underscore "
                      "or backslash; then letters, digits, periods or underscores; no cell "
                      "reference; at most %d characters" % (name, MAX_TABLE_NAME))
    for other in book.live_tables():
        if other is not table and other.name.lower() == name.lower():
            raise JsError(ITEM_ALREADY_EXISTS, "a table named %r already exists" % other.name)


class Table(JsObject):
    js_type = "Table"

    def __init__(self, table):
        self.table = table          # a model.Table

    @prop
    def id(self):
        self.table.check_alive()
        return self.table.id

    @prop
    def name(self):
        self.table.check_alive()
        return self.table.name

    @name.setter
    def name(self, value):
        self.table.check_alive()
        check_table_name(self.table.sheet.book, value, self.table)
        self.table.name = value

    @prop
    def style(self):
        self.table.check_alive()
        return self.table.style

    @style.setter
    def style(self, value):
        self.table.check_alive()
        if not isinstance(value, str) or not _STYLE.match(value):
            raise JsError(INVALID_ARGUMENT, "Table.style: use TableStyleLight1 to 21, "
                          "TableStyleMedium1 to 28 or TableStyleDark1 to 11, got %r" % (value,))
        self.table.style = value

    @prop
    def worksheet(self):
        self.table.check_alive()
        return worksheet_of(self.table.sheet)

    @prop
    def rows(self):
        return TableRowCollection(self.table)

    @prop
    def columns(self):
        return TableColumnCollection(self.table)

    @method
    def getRange(self):
        self.table.check_alive()
        return Range(self.table.sheet, self.table.block)

    @method
    def getHeaderRowRange(self):
        self.table.check_alive()
        r0, c0, _, c1 = self.table.block
        return Range(self.table.sheet, (r0, c0, r0, c1))

    @method
    def getDataBodyRange(self):
        self.table.check_alive()
        r0, c0, r1, c1 = self.table.block
        return Range(self.table.sheet, (r0 + 1, c0, r1, c1))

    @method(mutating=True)
    def delete(self):
        # Deleting a table deletes its cells' contents too.
        table = self.table
        table.check_alive()
        table.sheet.clear(table.block, contents=True, formats=False)
        table.sheet.book.remove_table(table)

    @method(mutating=True)
    def convertToRange(self):
        """The table becomes plain cells; its data stays."""
        table = self.table
        table.check_alive()
        table.sheet.book.remove_table(table)
        return Range(table.sheet, table.block)


class TableCollection(KeyedCollection):
    """The tables of the workbook, or of one worksheet (``sheet``)."""
    js_type = "TableCollection"
    noun, item_type, item_noun = "tables", "Table", "table"

    def __init__(self, book, sheet=None):
        self.book = book
        self.sheet = sheet

    def _tables(self):
        if self.sheet is not None:
            self.sheet.check_alive()
        return [t for t in self.book.live_tables() if self.sheet is None or t.sheet is self.sheet]

    def _items(self):
        return [Table(t) for t in self._tables()]

    def _find(self, key):
        if not isinstance(key, str):
            raise JsError(INVALID_ARGUMENT, "tables.getItem expects a table name or id (text), "
                          "got %r" % (key,))
        for t in self._tables():
            if t.name.lower() == key.lower() or t.id == key:
                return Table(t)
        return None

    def _not_found(self, key):
        return "%s; there are %s" % (super()._not_found(key), ", ".join(
            repr(t.name) for t in self._tables()) or "none")

    def _target(self, address):
        """The sheet and block an address or a Range names; without a sheet
        name, this collection's worksheet (the active one for the
        workbook's collection)."""
        if isinstance(address, Range):
            return address._alive(), address.block
        if isinstance(address, NullObject):
            raise address.missing("tables.add")
        try:
            name, block = parse_address(address)
        except AddressError as e:
            raise JsError(INVALID_ARGUMENT, "tables.add: %s" % e) from None
        if name is None:
            sheet = self.sheet if self.sheet is not None else self.book.active
        else:
            sheet = self.book.find(name)
            if sheet is None:
                raise JsError(INVALID_ARGUMENT, "tables.add(%r): no worksheet %r" % (address, name))
        sheet.check_alive()
        return sheet, block

    @method(mutating=True)
    def add(self, address, hasHeaders):
        sheet, block = self._target(address)
        if not isinstance(hasHeaders, bool):
            raise JsError(INVALID_ARGUMENT, "tables.add: hasHeaders must be True or False, got %r"
                          % (hasHeaders,))
        if is_unbounded(block):
            raise JsError(INVALID_ARGUMENT, "tables.add: a table needs a bounded range such as "
                          "'A1:D10', not whole columns or rows")
        r0, c0, r1, c1 = block
        if not hasHeaders:
            r1 += 1                  # Excel shifts the data down under new headers
        data_rows = r1 - r0
        if data_rows == 0:
            r1 += 1                  # the blank row of an empty table
        if r1 >= MAX_ROWS:
            raise JsError(INVALID_ARGUMENT, "tables.add: the table would reach past the last row")
        final = (r0, c0, r1, c1)
        for t in self.book.live_tables():
            if t.sheet is sheet and model.overlap(t.block, final):
                raise JsError(INVALID_ARGUMENT, "tables.add: the table would overlap table %r"
                              % t.name)
        if hasHeaders:
            ev = Evaluator(sheet.cells)
            texts = [header_text(ev.result((r0, c))) for c in range(c0, c1 + 1)]
        else:
            self.book.move_below(sheet, r0, c0, c1, 1)
            texts = [""] * (c1 - c0 + 1)
        if data_rows == 0 and any(v != "" for v in sheet.read(final, "value", "")[-1]):
            data_rows = 1            # the row below held data: it is the first row
        sheet.write((r0, c0, r0, c1), "value", [unique_headers(texts)])
        tables = self.book.live_tables()
        n = 1
        while any(t.name.lower() == "table%d" % n for t in tables):
            n += 1
        table = model.Table(sheet, final, data_rows, "Table%d" % n)
        tables.append(table)
        return Table(table)


class TableRowCollection(Collection):
    js_type = "TableRowCollection"
    noun = "rows"

    def __init__(self, table):
        self.table = table

    def _items(self):
        self.table.check_alive()
        return [TableRow(self.table, i) for i in range(self.table.data_rows)]

    def _how_many(self, n):
        return "the table has %d rows" % n

    @method
    def getItemAt(self, index):
        int_arg(index, "getItemAt index")    # a bad index is named before a deleted table
        return super().getItemAt(index)

    @method(mutating=True)
    def add(self, index=None, values=None, alwaysInsert=None):
        self.table.check_alive()
        count = self.table.data_rows
        at = count if index is None else int_arg(index, "rows.add index")
        if at == -1:
            at = count
        if not 0 <= at <= count:
            raise JsError(INVALID_ARGUMENT, "rows.add(%r): use a position from 0 to %d, or None "
                          "or -1 for the end" % (index, count))
        if alwaysInsert is not None and not isinstance(alwaysInsert, bool):
            raise JsError(INVALID_ARGUMENT, "rows.add: alwaysInsert must be True or False")
        if values is None:
            grid = [[""] * self.table.width]
        elif not isinstance(values, list):
            # One value fills one new row.
            grid = cells.grid(values, 1, self.table.width, "rows.add", cells.typed)
        elif not (values and all(isinstance(r, list) for r in values)):
            raise JsError(INVALID_ARGUMENT, "rows.add: values must be a list of row lists, "
                          "e.g. [[1, 2, 3]], or one value")
        else:
            grid = cells.grid(values, len(values), self.table.width, "rows.add", cells.typed)
        self.table.insert_rows(at, grid, alwaysInsert is not False)
        return TableRow(self.table, at)


class TableCells(JsObject):
    """The members a row and a column of a table share, over the block of
    cells ``_block()`` gives."""

    def _block(self):
        raise NotImplementedError

    @prop
    def values(self):
        return self.table.sheet.read_values(self._block())

    @values.setter
    def values(self, value):
        Range(self.table.sheet, self._block()).values = value

    @method
    def getRange(self):
        return Range(self.table.sheet, self._block())


class TableRow(TableCells):
    """A row of a table by its position, as Office.js's: it keeps pointing
    at that position when rows are added or deleted."""
    js_type = "TableRow"

    def __init__(self, table, position):
        self.table = table
        self.position = position

    def _block(self):
        self.table.check_alive()
        if self.position >= self.table.data_rows:
            raise JsError(ITEM_NOT_FOUND, "the table has no row %d any more" % self.position)
        return self.table.row_block(self.position)

    @prop
    def index(self):
        self._block()
        return self.position

    @method(mutating=True)
    def delete(self):
        self._block()
        self.table.delete_row(self.position)


class TableColumnCollection(KeyedCollection):
    """The columns of a table, in order; a column's id is its position
    counted from 1 (columns are not added or deleted here)."""
    js_type = "TableColumnCollection"
    noun, item_type, item_noun = "columns", "TableColumn", "column"

    def __init__(self, table):
        self.table = table

    def _items(self):
        self.table.check_alive()
        return [TableColumn(self.table, i + 1) for i in range(self.table.width)]

    def _find(self, key):
        columns = self._items()
        if isinstance(key, str):
            return next((c for c in columns if c.header().lower() == key.lower()), None)
        if isinstance(key, bool) or not isinstance(key, (int, float)):
            raise JsError(INVALID_ARGUMENT, "columns.getItem expects a column name or id, got %r"
                          % (key,))
        return next((c for c in columns if c.number == key), None)

    def _not_found(self, key):
        return "%s; the table has %s" % (super()._not_found(key), ", ".join(
            repr(c.header()) for c in self._items()))

    def _how_many(self, n):
        return "the table has %d columns" % n


class TableColumn(TableCells):
    js_type = "TableColumn"

    def __init__(self, table, number):
        self.table = table
        self.number = number        # its id: its position counted from 1

    def _block(self, first=None, last=None):
        """The column's cells from row ``first`` to ``last`` of the table."""
        self.table.check_alive()
        r0, c0, r1, _ = self.table.block
        c = c0 + self.number - 1
        return (r0 if first is None else first, c, r1 if last is None else last, c)

    def header(self):
        r0 = self.table.block[0]
        return header_text(Evaluator(self.table.sheet.cells).result(self._block(r0, r0)[:2]))

    @prop
    def id(self):
        self._block()
        return self.number

    @prop
    def index(self):
        self._block()
        return self.number - 1

    @prop
    def name(self):
        self._block()
        return self.header()

    @name.setter
    def name(self, value):
        r0 = self._block()[0]
        if not isinstance(value, str) or not value:
            raise JsError(INVALID_ARGUMENT, "TableColumn.name must be non-empty text, got %r"
                          % (value,))
        if any(c.number != self.number and c.header().lower() == value.lower()
               for c in TableColumnCollection(self.table)._items()):
            raise JsError(ITEM_ALREADY_EXISTS, "the table already has a column %r" % value)
        self.table.sheet.write(self._block(r0, r0), "value", [[value]])

    @method
    def getHeaderRowRange(self):
        r0 = self._block()[0]
        return Range(self.table.sheet, self._block(r0, r0))

    @method
    def getDataBodyRange(self):
        r0 = self._block()[0]
        return Range(self.table.sheet, self._block(r0 + 1))
