// Tables: TableCollection (of the workbook and of each worksheet), Table, TableRowCollection,
// TableRow. A table is a rectangle of one sheet: a header row, then its data rows; a table without
// data rows still covers one blank row, which the first rows added fill. Adding rows inside a
// table moves the cells below it in its columns down; deleting a row moves them up.

import { ClientObject, ClientCollection, defineScalars, extendScalars, ErrorCodes, fail } from "./core.mjs";
import { Range, Worksheet, Workbook } from "./excel.mjs";
import {
  model, live, parseAddress, makeRect, cellValue, readGrid, writeGrid, checkCells, clearRect, intersectRects,
  MAX_ROWS,
} from "./workbook.mjs";
import { displayText } from "./numfmt.mjs";

const ro = (read) => ({ read });
const rw = (read, write) => ({ read, write });

export const DEFAULT_TABLE_STYLE = "TableStyleMedium2";
// The built-in styles (the stand-in's workbook has no custom ones).
const TABLE_STYLE = /^TableStyle(Light([1-9]|1[0-9]|2[01])|Medium([1-9]|1[0-9]|2[0-8])|Dark([1-9]|1[01]))$/;
const MAX_TABLE_NAME = 255;
// Rename an Excel table: a letter, underscore or backslash first, then letters, digits, periods
// and underscores; nothing that reads as a cell reference.
const TABLE_NAME = /^(?:[\p{L}_][\p{L}\p{N}_.]*|\\[\p{L}\p{N}_.\\]*)$/u;
const REFERENCE_LIKE = /^([A-Za-z]{1,3}[0-9]+|[Rr][0-9]*[Cc][0-9]*|[RrCc])$/;

let tableSeq = 0;

const sheetTables = (sheet) => sheet.tables || (sheet.tables = []);

// Every table of the workbook, oldest first.
export function allTables() {
  return model.sheets.flatMap((s) => sheetTables(s)).sort((a, b) => a.seq - b.seq);
}

function liveTable(t) {
  live(t.sheet);
  if (t.deleted) fail(ErrorCodes.itemNotFound);
  return t;
}

function checkTableName(name, table) {
  if (typeof name !== "string" || !name || name.length > MAX_TABLE_NAME || !TABLE_NAME.test(name)
      || REFERENCE_LIKE.test(name)) {
    fail(ErrorCodes.invalidArgument);
  }
  const lower = name.toLowerCase();
  if (allTables().some((t) => t !== table && t.name.toLowerCase() === lower)) fail(ErrorCodes.itemAlreadyExists);
}

// Blank headers become ColumnN (N the position); a repeated one gets the lowest free number.
function uniqueHeaders(texts) {
  const seen = new Set();
  return texts.map((text, i) => {
    const base = text === "" ? `Column${i + 1}` : text;
    let name = base;
    for (let n = 2; seen.has(name.toLowerCase()); n += 1) name = `${base}${n}`;
    seen.add(name.toLowerCase());
    return name;
  });
}

function rowEntry(sheet, r) {
  let row = sheet.rows.get(r);
  if (!row) { row = { v: [], f: [], nf: [] }; sheet.rows.set(r, row); }
  return row;
}

// Move the cells at row `from` and below, in columns c0..c1, down by n rows (up when n < 0,
// dropping the rows above `from` that they land on).
function shiftCells(sheet, from, c0, c1, n) {
  const rows = [...sheet.rows.keys()].filter((r) => r >= from + Math.min(n, 0)).sort((a, b) => (n > 0 ? b - a : a - b));
  for (const r of rows) {
    const src = sheet.rows.get(r);
    for (let c = c0; c <= c1; c += 1) {
      const cell = [src.v[c], src.f[c], src.nf[c]];
      src.v[c] = undefined; src.f[c] = undefined; src.nf[c] = undefined;
      if (r < from || r + n >= MAX_ROWS || cell.every((x) => x === undefined)) continue;
      const dst = rowEntry(sheet, r + n);
      [dst.v[c], dst.f[c], dst.nf[c]] = cell;
    }
  }
  sheet.memo.clear();
}

// Cells from row `from` down in columns c0..c1 move, with the tables there (but `table`); a table
// only partly in those columns cannot move.
function moveBelow(sheet, from, c0, c1, n, table = null) {
  const below = sheetTables(sheet).filter((t) => t !== table && t.rect.r0 >= from && t.rect.c0 <= c1 && c0 <= t.rect.c1);
  if (below.some((t) => t.rect.c0 < c0 || t.rect.c1 > c1)) fail(ErrorCodes.invalidOperation);
  shiftCells(sheet, from, c0, c1, n);
  for (const t of below) t.rect = makeRect(t.rect.r0 + n, t.rect.c0, t.rect.r1 + n, t.rect.c1);
}

const moveBelowTable = (table, from, n) => moveBelow(table.sheet, from, table.rect.c0, table.rect.c1, n, table);

const width = (t) => t.rect.c1 - t.rect.c0 + 1;
const rowRect = (t, index, count = 1) => {
  const r = t.rect.r0 + 1 + index;
  return makeRect(r, t.rect.c0, r + count - 1, t.rect.c1);
};

function insertRows(table, index, grid, alwaysInsert) {
  const n = grid.length;
  const at = table.rect.r0 + 1 + index;
  const grow = table.dataRows === 0 ? n - 1 : n;
  if (grow && (alwaysInsert || index !== table.dataRows)) moveBelowTable(table, table.dataRows ? at : at + 1, grow);
  table.rect = makeRect(table.rect.r0, table.rect.c0, table.rect.r1 + grow, table.rect.c1);
  table.dataRows += n;
  writeGrid(table.sheet, rowRect(table, index, n), grid, "values", false);
}

function deleteRow(table, index) {
  if (table.dataRows === 1) clearRect(table.sheet, rowRect(table, 0), "Contents");
  else {
    moveBelowTable(table, table.rect.r0 + 2 + index, -1);
    table.rect = makeRect(table.rect.r0, table.rect.c0, table.rect.r1 - 1, table.rect.c1);
  }
  table.dataRows -= 1;
}

function rangeTarget(address) {
  if (address instanceof Range) {
    const e = address._resolve();
    if (e === null) fail(ErrorCodes.invalidArgument);
    return { sheet: live(e.sheet), rect: e.rect };
  }
  if (typeof address !== "string") fail(ErrorCodes.invalidArgument);
  const bang = address.lastIndexOf("!");
  if (bang < 0) return { sheet: null, rect: parseAddress(address) };
  const name = address.slice(0, bang).replace(/^'(.*)'$/, "$1").replace(/''/g, "'");
  const sheet = model.findSheet(name);
  if (!sheet) fail(ErrorCodes.invalidArgument);
  return { sheet, rect: parseAddress(address.slice(bang + 1)) };
}

// tables.add: without a sheet in the address, the collection's worksheet (the workbook's
// collection: the active one).
function addTable(collectionSheet, address, hasHeaders) {
  const target = rangeTarget(address);
  const sheet = live(target.sheet || collectionSheet || model.activeSheet);
  if (typeof hasHeaders !== "boolean") fail(ErrorCodes.invalidArgument);
  const { r0, c0, c1 } = target.rect;
  if (target.rect.wholeColumns || target.rect.wholeRows) fail(ErrorCodes.invalidArgument);
  let r1 = target.rect.r1 + (hasHeaders ? 0 : 1);   // Excel shifts the data down under new headers
  let dataRows = r1 - r0;
  if (dataRows === 0) r1 += 1;                      // the blank row of an empty table
  if (r1 >= MAX_ROWS) fail(ErrorCodes.invalidArgument);
  const rect = makeRect(r0, c0, r1, c1);
  if (sheetTables(sheet).some((t) => intersectRects(t.rect, rect))) fail(ErrorCodes.invalidArgument);
  const texts = [];
  if (hasHeaders) for (let c = c0; c <= c1; c += 1) texts.push(displayText(cellValue(sheet, r0, c)));
  else {
    moveBelow(sheet, r0, c0, c1, 1);
    for (let c = c0; c <= c1; c += 1) texts.push("");
  }
  if (dataRows === 0) {
    for (let c = c0; c <= c1; c += 1) if (cellValue(sheet, r1, c) !== "") dataRows = 1;
  }
  const header = rowEntry(sheet, r0);
  uniqueHeaders(texts).forEach((text, j) => {
    header.v[c0 + j] = text; header.f[c0 + j] = undefined;   // header cells hold text
  });
  sheet.memo.clear();
  let n = 1;
  while (allTables().some((t) => t.name.toLowerCase() === `table${n}`)) n += 1;
  tableSeq += 1;
  const table = {
    sheet, rect, dataRows, name: `Table${n}`, seq: tableSeq, deleted: false, style: DEFAULT_TABLE_STYLE,
    id: `{${tableSeq.toString(16).toUpperCase().padStart(8, "0")}-0002-0000-C000-000000000046}`,
  };
  sheetTables(sheet).push(table);
  return table;
}

// ---- proxies ----------------------------------------------------------------------------

export class TableCollection extends ClientCollection {
  // The entity: {sheet} of a worksheet's collection, {sheet: null} of the workbook's.
  _list(e) { return e.sheet ? sheetTables(live(e.sheet)).slice() : allTables(); }

  _find(e, key) {
    if (typeof key !== "string") fail(ErrorCodes.invalidArgument);
    const lower = key.toLowerCase();
    return this._list(e).find((t) => t.name.toLowerCase() === lower || t.id === key) || null;
  }

  add(address, hasHeaders) {
    if (address instanceof ClientObject) { this.context._checkOwn(address); address._checkUsable(); }
    let created = null;
    this._queueCommand("TableCollection.add", (e) => { created = addTable(e.sheet, address, hasHeaders); },
      [typeof address === "string" ? address : null, hasHeaders ?? null]);
    return this._child(Table, "add", () => created || fail(ErrorCodes.itemNotFound), [address, hasHeaders]);
  }

  getItem(key) {
    return this._child(Table, "getItem", (e) => this._find(e, key) || fail(ErrorCodes.itemNotFound), [key]);
  }

  getItemOrNullObject(key) {
    return this._child(Table, "getItemOrNullObject", (e) => this._find(e, key) || fail(ErrorCodes.itemNotFound),
      [key], { nullable: true });
  }

  getItemAt(index) {
    return this._child(Table, "getItemAt", (e) => {
      if (!Number.isInteger(index)) fail(ErrorCodes.invalidArgument);
      return this._list(e)[index] || fail(ErrorCodes.itemNotFound);
    }, [index]);
  }

  getCount() { return this._callForResult("getCount", (e) => this._list(e).length); }
}

const rangeChild = (self, name, rect) => self._child(Range, name, (t) => ({ sheet: liveTable(t).sheet, rect: rect(liveTable(t)) }),
  [], { volatile: true });

export class Table extends ClientObject {
  getRange() { return rangeChild(this, "getRange", (t) => t.rect); }

  getHeaderRowRange() { return rangeChild(this, "getHeaderRowRange", (t) => makeRect(t.rect.r0, t.rect.c0, t.rect.r0, t.rect.c1)); }

  getDataBodyRange() { return rangeChild(this, "getDataBodyRange", (t) => makeRect(t.rect.r0 + 1, t.rect.c0, t.rect.r1, t.rect.c1)); }

  // Deleting a table deletes its cells' contents too.
  delete() {
    this._queueCommand("Table.delete", (t) => {
      clearRect(liveTable(t).sheet, t.rect, "Contents");
      removeTable(t);
    });
  }

  // The table becomes plain cells; its data stays.
  convertToRange() {
    let converted = null;
    this._queueCommand("Table.convertToRange", (t) => {
      converted = { sheet: liveTable(t).sheet, rect: t.rect };
      removeTable(t);
    });
    return this._child(Range, "convertToRange", () => converted || fail(ErrorCodes.itemNotFound), [], { volatile: true });
  }
}

function removeTable(t) {
  t.deleted = true;
  sheetTables(t.sheet).splice(sheetTables(t.sheet).indexOf(t), 1);
}

export class TableRowCollection extends ClientCollection {
  _list(t) { return Array.from({ length: liveTable(t).dataRows }, (_, index) => ({ table: t, index })); }

  add(index, values, alwaysInsert) {
    const data = [index ?? null, values ?? null, alwaysInsert ?? null];
    let added = null;
    this._queueCommand("TableRowCollection.add", (t) => {
      liveTable(t);
      let at = index === undefined || index === null || index === -1 ? t.dataRows : index;
      if (!Number.isInteger(at) || at < 0 || at > t.dataRows) fail(ErrorCodes.invalidArgument);
      if (alwaysInsert !== undefined && alwaysInsert !== null && typeof alwaysInsert !== "boolean") fail(ErrorCodes.invalidArgument);
      let grid;
      if (values === undefined || values === null) grid = [new Array(width(t)).fill("")];
      else if (!Array.isArray(values)) grid = [new Array(width(t)).fill(values)];   // one value fills a row
      else if (!values.length || !values.every((r) => Array.isArray(r) && r.length === width(t))) {
        fail(ErrorCodes.invalidArgument);
      } else grid = values;
      // Checked whole before anything moves, so a bad value writes nothing.
      checkCells(grid);
      insertRows(t, at, grid, alwaysInsert !== false);
      added = { table: t, index: at };
    }, data);
    return this._child(TableRow, "add", () => added || fail(ErrorCodes.itemNotFound), data);
  }

  getItemAt(index) {
    return this._child(TableRow, "getItemAt", (t) => {
      if (!Number.isInteger(index)) fail(ErrorCodes.invalidArgument);
      return index >= 0 && index < liveTable(t).dataRows ? { table: t, index } : fail(ErrorCodes.itemNotFound);
    }, [index]);
  }

  getCount() { return this._callForResult("getCount", (t) => liveTable(t).dataRows); }
}

function rowOfTable(e) {
  if (e.index >= liveTable(e.table).dataRows) fail(ErrorCodes.itemNotFound);
  return { sheet: e.table.sheet, rect: rowRect(e.table, e.index) };
}

export class TableRow extends ClientObject {
  getRange() { return this._child(Range, "getRange", (e) => rowOfTable(e), [], { volatile: true }); }

  delete() { this._queueCommand("TableRow.delete", (e) => { rowOfTable(e); deleteRow(e.table, e.index); }); }
}

// The columns of a table, in order; a column's id is its position counted from 1 (columns are
// not added or deleted here). An entity: {table, id}.
const columnHeader = (e) => displayText(cellValue(e.table.sheet, e.table.rect.r0, e.table.rect.c0 + e.id - 1));
const tableColumns = (t) => Array.from({ length: width(liveTable(t)) }, (_, i) => ({ table: t, id: i + 1 }));

function findColumn(t, key) {
  if (typeof key === "string") return tableColumns(t).find((e) => columnHeader(e).toLowerCase() === key.toLowerCase()) || null;
  if (typeof key !== "number") fail(ErrorCodes.invalidArgument);
  return tableColumns(t).find((e) => e.id === key) || null;
}

function columnRect(e, part) {
  const { r0, r1, c0 } = liveTable(e.table).rect;
  const c = c0 + e.id - 1;
  if (e.id > width(e.table)) fail(ErrorCodes.itemNotFound);
  return { sheet: e.table.sheet, rect: makeRect(part === "body" ? r0 + 1 : r0, c, part === "header" ? r0 : r1, c) };
}

export class TableColumnCollection extends ClientCollection {
  _list(t) { return tableColumns(t); }

  getItem(key) {
    return this._child(TableColumn, "getItem", (t) => findColumn(t, key) || fail(ErrorCodes.itemNotFound), [key]);
  }

  getItemOrNullObject(key) {
    return this._child(TableColumn, "getItemOrNullObject", (t) => findColumn(t, key) || fail(ErrorCodes.itemNotFound),
      [key], { nullable: true });
  }

  getItemAt(index) {
    return this._child(TableColumn, "getItemAt", (t) => {
      if (!Number.isInteger(index)) fail(ErrorCodes.invalidArgument);
      return tableColumns(t)[index] || fail(ErrorCodes.itemNotFound);
    }, [index]);
  }

  getCount() { return this._callForResult("getCount", (t) => width(liveTable(t))); }
}

export class TableColumn extends ClientObject {
  getRange() { return this._child(Range, "getRange", (e) => columnRect(e, "all"), [], { volatile: true }); }

  getHeaderRowRange() { return this._child(Range, "getHeaderRowRange", (e) => columnRect(e, "header"), [], { volatile: true }); }

  getDataBodyRange() { return this._child(Range, "getDataBodyRange", (e) => columnRect(e, "body"), [], { volatile: true }); }
}

// ---- members ----------------------------------------------------------------------------

defineScalars(TableCollection, "TableCollection", { count: ro((e) => TableCollection.prototype._list(e).length) });
TableCollection._itemType = Table;

defineScalars(Table, "Table", {
  id: ro((t) => liveTable(t).id),
  name: rw((t) => liveTable(t).name, (t, v) => { checkTableName(v, liveTable(t)); t.name = v; }),
  style: rw((t) => liveTable(t).style, (t, v) => {
    liveTable(t);
    if (typeof v !== "string" || !TABLE_STYLE.test(v)) fail(ErrorCodes.invalidArgument);
    t.style = v;
  }),
}, {
  rows: (t) => new TableRowCollection(t.context, t, (e) => liveTable(e), "rows"),
  columns: (t) => new TableColumnCollection(t.context, t, (e) => liveTable(e), "columns"),
  worksheet: (t) => new Worksheet(t.context, t, (e) => liveTable(e).sheet, "worksheet"),
});

defineScalars(TableRowCollection, "TableRowCollection", { count: ro((t) => liveTable(t).dataRows) });
TableRowCollection._itemType = TableRow;

defineScalars(TableRow, "TableRow", {
  index: ro((e) => (rowOfTable(e), e.index)),
  values: rw((e) => {
    const { sheet, rect } = rowOfTable(e);
    return readGrid(sheet, rect, "values");
  }, (e, v) => {
    const { sheet, rect } = rowOfTable(e);
    writeGrid(sheet, rect, v, "values");
  }),
});

defineScalars(TableColumnCollection, "TableColumnCollection", { count: ro((t) => width(liveTable(t))) });
TableColumnCollection._itemType = TableColumn;

defineScalars(TableColumn, "TableColumn", {
  id: ro((e) => (columnRect(e), e.id)),
  index: ro((e) => (columnRect(e), e.id - 1)),
  name: rw((e) => (columnRect(e), columnHeader(e)), (e, v) => {
    const { sheet, rect } = columnRect(e, "header");
    if (typeof v !== "string" || !v) fail(ErrorCodes.invalidArgument);
    const lower = v.toLowerCase();
    if (tableColumns(e.table).some((o) => o.id !== e.id && columnHeader(o).toLowerCase() === lower)) {
      fail(ErrorCodes.itemAlreadyExists);
    }
    const row = rowEntry(sheet, rect.r0);
    row.v[rect.c0] = v; row.f[rect.c0] = undefined;   // header cells hold text
    sheet.memo.clear();
  }),
  values: rw((e) => {
    const { sheet, rect } = columnRect(e, "all");
    return readGrid(sheet, rect, "values");
  }, (e, v) => {
    const { sheet, rect } = columnRect(e, "all");
    writeGrid(sheet, rect, v, "values");
  }),
});

extendScalars(Worksheet, {}, {
  tables: (w) => new TableCollection(w.context, w, (s) => ({ sheet: live(s) }), "tables"),
});
extendScalars(Workbook, {}, {
  tables: (w) => new TableCollection(w.context, w, () => ({ sheet: null }), "tables"),
});
