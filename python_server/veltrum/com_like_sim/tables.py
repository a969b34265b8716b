"""Tables: TableCollection, Table, TableRowCollection and TableRow.

A table is a block of one worksheet: a header row, then its data rows. A
table without data rows still covers one blank row below its header, as
Excel's does, and the first rows added fill it. The cells are the
worksheet's; a table holds its block, name and id. Adding rows inside a
table moves the cells below it in the table's columns down, and deleting a
row moves them up, as inserting and deleting table cells does in Excel.
"""

import itertools
import re

from . import cells, numfmt
from .addresses import MAX_ROWS, AddressError, is_unbounded, parse_address
from .formulas import ErrorValue, Evaluator
from .members import (INVALID_ARGUMENT, INVALID_OPERATION, ITEM_ALREADY_EXISTS, ITEM_NOT_FOUND,
                      JsError, JsObject, NullObject, int_arg, item_at, method, prop)
from .ranges import Range

_table_ids = itertools.count(1)
# Rename an Excel table: a letter, underscore or backslash first; then
# letters, digits, periods and underscores; at most 255 characters.
_TABLE_NAME = re.compile(r"^[^\W\d][\w.]*$|^\\[\w.\\]*$")
_REFERENCE_LIKE = re.compile(r"^([A-Za-z]{1,3}[0-9]+|[Rr][0-9]*[Cc][0-9]*|[RrCc])$")
MAX_TABLE_NAME = 255
DEFAULT_STYLE = "TableStyleMedium2"
# The built-in styles (a workbook here has no custom ones).
_STYLE = re.compile(r"^TableStyle(Light([1-9]|1[0-9]|2[01])|Medium([1-9]|1[0-9]|2[0-8])"
                    r"|Dark([1-9]|1[01]))$")


def workbook_tables(workbook):
    """The workbook's live tables, oldest first (a deleted sheet's are gone)."""
    workbook.table_list[:] = [t for t in workbook.table_list if not t.sheet.deleted]
    return workbook.table_list


def _overlap(a, b):
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


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


def check_table_name(workbook, name, table=None):
    if (not isinstance(name, str) or not 0 < len(name) <= MAX_TABLE_NAME
            or not _TABLE_NAME.match(name) or _REFERENCE_LIKE.match(name)):
        raise JsError(INVALID_ARGUMENT, "invalid table name %r: start with a letter, underscore "
                      "or backslash; then letters, digits, periods or underscores; no cell "
                      "reference; at most %d characters" % (name, MAX_TABLE_NAME))
    for other in workbook_tables(workbook):
        if other is not table and other.name_.lower() == name.lower():
            raise JsError(ITEM_ALREADY_EXISTS, "a table named %r already exists" % other.name_)


def shift_cells(sheet, row, c0, c1, n):
    """Move the cells at ``row`` and below, in columns c0..c1, down by n
    rows (up when n < 0, dropping the n rows above ``row``)."""
    moved = {}
    for key in [k for k in sheet.cells if c0 <= k[1] <= c1 and k[0] >= row + min(n, 0)]:
        cell = sheet.cells.pop(key)
        if key[0] >= row and key[0] + n < MAX_ROWS:
            moved[(key[0] + n, key[1])] = cell
    sheet.cells.update(moved)


def move_below(workbook, sheet, row, c0, c1, n, table=None):
    """Shift the cells from ``row`` down in columns c0..c1 by n rows, with
    the tables there (but ``table``); a table only partly in those columns
    cannot move."""
    below = [t for t in workbook_tables(workbook)
             if t.sheet is sheet and t is not table and t.block[0] >= row
             and t.block[1] <= c1 and c0 <= t.block[3]]
    for t in below:
        if t.block[1] < c0 or t.block[3] > c1:
            raise JsError(INVALID_OPERATION, "this would move part of table %r: cells of a "
                          "table below can only move with the whole table" % t.name_)
    shift_cells(sheet, row, c0, c1, n)
    for t in below:
        r0, tc0, r1, tc1 = t.block
        t.block = (r0 + n, tc0, r1 + n, tc1)


class Table(JsObject):
    js_type = "Table"

    def __init__(self, workbook, sheet, block, data_rows, name):
        self.workbook = workbook
        self.sheet = sheet
        self.block = block          # header row and data rows (or the one blank row)
        self.data_rows = data_rows
        self.name_ = name
        self.id_ = "{%08X-0002-0000-0000-000000000000}" % next(_table_ids)
        self.style_ = DEFAULT_STYLE
        self.deleted = False

    def check_alive(self):
        self.sheet.check_alive()
        if self.deleted:
            raise JsError(ITEM_NOT_FOUND, "table %r was deleted" % self.name_)

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
        move_below(self.workbook, self.sheet, row, self.block[1], self.block[3], n, self)

    # -- Office.js members
    @prop
    def id(self):
        self.check_alive()
        return self.id_

    @prop
    def name(self):
        self.check_alive()
        return self.name_

    @name.setter
    def name(self, value):
        self.check_alive()
        check_table_name(self.workbook, value, self)
        self.name_ = value

    @prop
    def style(self):
        self.check_alive()
        return self.style_

    @style.setter
    def style(self, value):
        self.check_alive()
        if not isinstance(value, str) or not _STYLE.match(value):
            raise JsError(INVALID_ARGUMENT, "Table.style: use TableStyleLight1 to 21, "
                          "TableStyleMedium1 to 28 or TableStyleDark1 to 11, got %r" % (value,))
        self.style_ = value

    @prop
    def worksheet(self):
        self.check_alive()
        return self.sheet

    @prop
    def rows(self):
        return TableRowCollection(self)

    @prop
    def columns(self):
        return TableColumnCollection(self)

    @method
    def getRange(self):
        self.check_alive()
        return Range(self.sheet, self.block)

    @method
    def getHeaderRowRange(self):
        self.check_alive()
        r0, c0, _, c1 = self.block
        return Range(self.sheet, (r0, c0, r0, c1))

    @method
    def getDataBodyRange(self):
        self.check_alive()
        r0, c0, r1, c1 = self.block
        return Range(self.sheet, (r0 + 1, c0, r1, c1))

    def _remove(self):
        self.deleted = True
        self.workbook.table_list.remove(self)

    @method(mutating=True)
    def delete(self):
        # Deleting a table deletes its cells' contents too.
        self.check_alive()
        self.sheet.clear(self.block, contents=True, formats=False)
        self._remove()

    @method(mutating=True)
    def convertToRange(self):
        """The table becomes plain cells; its data stays."""
        self.check_alive()
        self._remove()
        return Range(self.sheet, self.block)


class TableCollection(JsObject):
    """The tables of the workbook, or of one worksheet (``sheet``)."""
    js_type = "TableCollection"

    def __init__(self, workbook, sheet=None):
        self.workbook = workbook
        self.sheet = sheet

    def _tables(self):
        if self.sheet is not None:
            self.sheet.check_alive()
        return [t for t in workbook_tables(self.workbook)
                if self.sheet is None or t.sheet is self.sheet]

    def _find(self, key):
        if not isinstance(key, str):
            raise JsError(INVALID_ARGUMENT, "tables.getItem expects a table name or id (text), "
                          "got %r" % (key,))
        for t in self._tables():
            if t.name_.lower() == key.lower() or t.id_ == key:
                return t
        return None

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
            sheet = self.sheet if self.sheet is not None else self.workbook.active
        else:
            sheet = self.workbook.find(name)
            if sheet is None:
                raise JsError(INVALID_ARGUMENT, "tables.add(%r): no worksheet %r" % (address, name))
        sheet.check_alive()
        return sheet, block

    @prop
    def count(self):
        return len(self._tables())

    @prop
    def items(self):
        return self._tables()

    @method
    def getCount(self):
        return len(self._tables())

    @method
    def getItem(self, key):
        table = self._find(key)
        if table is None:
            raise JsError(ITEM_NOT_FOUND, "tables.getItem(%r): no such table; there are %s"
                          % (key, ", ".join(repr(t.name_) for t in self._tables()) or "none"))
        return table

    @method
    def getItemOrNullObject(self, key):
        table = self._find(key)
        return NullObject("Table", "table %r" % (key,)) if table is None else table

    @method
    def getItemAt(self, index):
        tables = self._tables()
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < len(tables):
            raise JsError(ITEM_NOT_FOUND, "tables.getItemAt(%d): there are %d tables"
                          % (i, len(tables)))
        return tables[i]

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
        for t in workbook_tables(self.workbook):
            if t.sheet is sheet and _overlap(t.block, final):
                raise JsError(INVALID_ARGUMENT, "tables.add: the table would overlap table %r"
                              % t.name_)
        if hasHeaders:
            ev = Evaluator(sheet.cells)
            texts = [header_text(ev.result((r0, c))) for c in range(c0, c1 + 1)]
        else:
            move_below(self.workbook, sheet, r0, c0, c1, 1)
            texts = [""] * (c1 - c0 + 1)
        if data_rows == 0 and any(v != "" for v in sheet.read(final, "value", "")[-1]):
            data_rows = 1            # the row below held data: it is the first row
        sheet.write((r0, c0, r0, c1), "value", [unique_headers(texts)])
        tables = workbook_tables(self.workbook)
        n = 1
        while any(t.name_.lower() == "table%d" % n for t in tables):
            n += 1
        table = Table(self.workbook, sheet, final, data_rows, "Table%d" % n)
        tables.append(table)
        return table

    def get_item(self, key):
        return item_at(self._tables(), key, "tables")


class TableRowCollection(JsObject):
    js_type = "TableRowCollection"

    def __init__(self, table):
        self.table = table

    def _count(self):
        self.table.check_alive()
        return self.table.data_rows

    @prop
    def count(self):
        return self._count()

    @prop
    def items(self):
        return [TableRow(self.table, i) for i in range(self._count())]

    @method
    def getCount(self):
        return self._count()

    @method
    def getItemAt(self, index):
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < self._count():
            raise JsError(ITEM_NOT_FOUND, "rows.getItemAt(%d): the table has %d rows"
                          % (i, self.table.data_rows))
        return TableRow(self.table, i)

    @method(mutating=True)
    def add(self, index=None, values=None, alwaysInsert=None):
        count = self._count()
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

    def get_item(self, key):
        return item_at(self.items, key, "rows")


class TableRow(JsObject):
    """A row of a table by its position, as Office.js's: it keeps pointing
    at that position when rows are added or deleted."""
    js_type = "TableRow"

    def __init__(self, table, index):
        self.table = table
        self.index_ = index

    def _block(self):
        self.table.check_alive()
        if self.index_ >= self.table.data_rows:
            raise JsError(ITEM_NOT_FOUND, "the table has no row %d any more" % self.index_)
        return self.table.row_block(self.index_)

    @prop
    def index(self):
        self._block()
        return self.index_

    @prop
    def values(self):
        return self.table.sheet.read_values(self._block())

    @values.setter
    def values(self, value):
        Range(self.table.sheet, self._block()).values = value

    @method
    def getRange(self):
        return Range(self.table.sheet, self._block())

    @method(mutating=True)
    def delete(self):
        self._block()
        self.table.delete_row(self.index_)


class TableColumnCollection(JsObject):
    """The columns of a table, in order; a column's id is its position
    counted from 1 (columns are not added or deleted here)."""
    js_type = "TableColumnCollection"

    def __init__(self, table):
        self.table = table

    def _columns(self):
        self.table.check_alive()
        return [TableColumn(self.table, i + 1) for i in range(self.table.width)]

    def _find(self, key):
        columns = self._columns()
        if isinstance(key, str):
            return next((c for c in columns if c.header().lower() == key.lower()), None)
        if isinstance(key, bool) or not isinstance(key, (int, float)):
            raise JsError(INVALID_ARGUMENT, "columns.getItem expects a column name or id, got %r"
                          % (key,))
        return next((c for c in columns if c.id_ == key), None)

    @prop
    def count(self):
        return len(self._columns())

    @prop
    def items(self):
        return self._columns()

    @method
    def getCount(self):
        return len(self._columns())

    @method
    def getItem(self, key):
        column = self._find(key)
        if column is None:
            raise JsError(ITEM_NOT_FOUND, "columns.getItem(%r): no such column; the table has %s"
                          % (key, ", ".join(repr(c.header()) for c in self._columns())))
        return column

    @method
    def getItemOrNullObject(self, key):
        column = self._find(key)
        return NullObject("TableColumn", "column %r" % (key,)) if column is None else column

    @method
    def getItemAt(self, index):
        columns = self._columns()
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < len(columns):
            raise JsError(ITEM_NOT_FOUND, "columns.getItemAt(%d): the table has %d columns"
                          % (i, len(columns)))
        return columns[i]

    def get_item(self, key):
        return item_at(self._columns(), key, "columns")


class TableColumn(JsObject):
    js_type = "TableColumn"

    def __init__(self, table, column_id):
        self.table = table
        self.id_ = column_id

    def _block(self, first=None, last=None):
        """The column's cells from row ``first`` to ``last`` of the table."""
        self.table.check_alive()
        r0, c0, r1, _ = self.table.block
        c = c0 + self.id_ - 1
        return (r0 if first is None else first, c, r1 if last is None else last, c)

    def header(self):
        r0 = self.table.block[0]
        return header_text(Evaluator(self.table.sheet.cells).result(self._block(r0, r0)[:2]))

    @prop
    def id(self):
        self._block()
        return self.id_

    @prop
    def index(self):
        self._block()
        return self.id_ - 1

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
        if any(c.id_ != self.id_ and c.header().lower() == value.lower()
               for c in self.table.columns._columns()):
            raise JsError(ITEM_ALREADY_EXISTS, "the table already has a column %r" % value)
        self.table.sheet.write(self._block(r0, r0), "value", [[value]])

    @prop
    def values(self):
        return self.table.sheet.read_values(self._block())

    @values.setter
    def values(self, value):
        Range(self.table.sheet, self._block()).values = value

    @method
    def getRange(self):
        return Range(self.table.sheet, self._block())

    @method
    def getHeaderRowRange(self):
        r0 = self._block()[0]
        return Range(self.table.sheet, self._block(r0, r0))

    @method
    def getDataBodyRange(self):
        r0 = self._block()[0]
        return Range(self.table.sheet, self._block(r0 + 1))
