// The workbook behind the stand-in: sheets, cells, formats, settings, limits, change events.
// Proxies never touch this directly; commands queued on a request context apply here at sync.

import { ErrorCodes, fail } from "./errors.mjs";
import { XlError, evaluateFormula, shiftFormula, columnIndex, columnName, MAX_ROWS, MAX_COLS } from "./formula.mjs";
import { displayText } from "./numfmt.mjs";

export { MAX_ROWS, MAX_COLS, columnName };

export const DEFAULT_LIMITS = Object.freeze({ payloadBytes: 5 * 1024 * 1024, maxReadCells: 5000000 });

const FORMAT_DEFAULTS = {
  "fill.color": "#FFFFFF", "font.bold": false, "font.italic": false, "font.color": "#000000",
  "font.name": "Calibri", "font.size": 11,
};

const SHAPE_MESSAGE = "The number of rows or columns in the input array doesn't match the size or dimensions of the range.";

// ---- addresses -------------------------------------------------------------------------

// A rectangle of zero-based inclusive bounds; wholeColumns / wholeRows mark unbounded ranges.
export function makeRect(r0, c0, r1, c1) {
  const rect = { r0: Math.min(r0, r1), c0: Math.min(c0, c1), r1: Math.max(r0, r1), c1: Math.max(c0, c1) };
  rect.wholeColumns = rect.r0 === 0 && rect.r1 === MAX_ROWS - 1;
  rect.wholeRows = rect.c0 === 0 && rect.c1 === MAX_COLS - 1;
  return rect;
}

export function rectInBounds(r0, c0, r1, c1) {
  return r0 >= 0 && c0 >= 0 && r1 < MAX_ROWS && c1 < MAX_COLS && r0 <= r1 && c0 <= c1;
}

export function parseAddress(text) {
  const s = String(text).trim();
  let m;
  const col = (x) => columnIndex(x);
  let r0; let c0; let r1; let c1;
  if ((m = /^\$?([A-Za-z]{1,3})\$?(\d+)(?::\$?([A-Za-z]{1,3})\$?(\d+))?$/.exec(s))) {
    c0 = col(m[1]); r0 = Number(m[2]) - 1;
    c1 = m[3] ? col(m[3]) : c0; r1 = m[4] ? Number(m[4]) - 1 : r0;
  } else if ((m = /^\$?([A-Za-z]{1,3}):\$?([A-Za-z]{1,3})$/.exec(s))) {
    c0 = col(m[1]); c1 = col(m[2]); r0 = 0; r1 = MAX_ROWS - 1;
  } else if ((m = /^\$?(\d+):\$?(\d+)$/.exec(s))) {
    r0 = Number(m[1]) - 1; r1 = Number(m[2]) - 1; c0 = 0; c1 = MAX_COLS - 1;
  } else fail(ErrorCodes.invalidArgument);
  const [a, b] = [Math.min(r0, r1), Math.max(r0, r1)];
  const [c, d] = [Math.min(c0, c1), Math.max(c0, c1)];
  if (!rectInBounds(a, c, b, d)) fail(ErrorCodes.invalidArgument);
  return makeRect(a, c, b, d);
}

export function rectAddress(rect) {
  if (rect.wholeColumns) return `${columnName(rect.c0)}:${columnName(rect.c1)}`;
  if (rect.wholeRows) return `${rect.r0 + 1}:${rect.r1 + 1}`;
  const a = `${columnName(rect.c0)}${rect.r0 + 1}`;
  if (rect.r0 === rect.r1 && rect.c0 === rect.c1) return a;
  return `${a}:${columnName(rect.c1)}${rect.r1 + 1}`;
}

export function sheetPrefix(name) {
  return /\W/.test(name) ? `'${name.replace(/'/g, "''")}'!` : `${name}!`;
}

export function intersectRects(a, b) {
  const r0 = Math.max(a.r0, b.r0); const c0 = Math.max(a.c0, b.c0);
  const r1 = Math.min(a.r1, b.r1); const c1 = Math.min(a.c1, b.c1);
  return r0 <= r1 && c0 <= c1 ? makeRect(r0, c0, r1, c1) : null;
}

export function cellCount(rect) { return (rect.r1 - rect.r0 + 1) * (rect.c1 - rect.c0 + 1); }

// ---- sheets ----------------------------------------------------------------------------

class Sheet {
  constructor(name, number) {
    this.id = `{00000000-${(number).toString(16).toUpperCase().padStart(4, "0")}-0000-C000-000000000046}`;
    this.name = name;
    this.rows = new Map();
    this.paints = [];
    this.memo = new Map();
    this.handlers = { onChanged: [] };
    this.deleted = false;
  }
}

function checkSheetName(name) {
  if (typeof name !== "string" || !name.trim() || name.length > 31 || /[\\/?*[\]:]/.test(name) ||
      name.startsWith("'") || name.endsWith("'")) {
    fail(ErrorCodes.invalidArgument);
  }
}

export const model = {
  sheets: [],
  activeSheet: null,
  settings: new Map(),
  limits: { ...DEFAULT_LIMITS },
  stats: { syncs: 0, emptySyncs: 0, trackingOnlySyncs: 0, tracked: 0, lastRequestBytes: 0, lastResponseBytes: 0 },
  enableEvents: true,
  selection: null, // {sheet, rects}
  cellEditMode: false,
  editEnded: Promise.resolve(),
  endEdit: () => {},
  sheetNumber: 0,
  pendingEvents: [],
  handlers: { onChanged: [] }, // WorksheetCollection-level handlers
  changedArgs: null, // set by the Excel classes: builds a handler's argument object

  reset({ sheets = ["Sheet1"], limits = {}, settings = {} } = {}) {
    this.sheets.forEach((s) => { s.deleted = true; });
    this.sheets = [];
    this.sheetNumber = 0;
    this.settings = new Map(Object.entries(settings).map(([k, v]) => [k, JSON.stringify(v)]));
    this.limits = { ...DEFAULT_LIMITS, ...limits };
    this.stats = { syncs: 0, emptySyncs: 0, trackingOnlySyncs: 0, tracked: 0, lastRequestBytes: 0, lastResponseBytes: 0 };
    this.enableEvents = true;
    this.pendingEvents = [];
    this.handlers = { onChanged: [] };
    this.selection = null;
    this.setCellEditMode(false);
    for (const spec of sheets) {
      const { name, cells = {} } = typeof spec === "string" ? { name: spec } : spec;
      const sheet = this.addSheet(name);
      for (const [addr, content] of Object.entries(cells)) {
        const rect = parseAddress(addr);
        const c = content !== null && typeof content === "object" && !Array.isArray(content) ? content : { value: content };
        if (c.formula !== undefined) writeGrid(sheet, rect, c.formula, "formulas", false);
        else if (c.value !== undefined) writeGrid(sheet, rect, c.value, "values", false);
        if (c.numberFormat !== undefined) writeGrid(sheet, rect, c.numberFormat, "numberFormat", false);
      }
    }
    this.activeSheet = this.sheets[0] || null;
  },

  // The user typing in a cell: requests fail, or wait when their run asked for delayForCellEdit.
  setCellEditMode(on) {
    if (on && !this.cellEditMode) {
      this.editEnded = new Promise((resolve) => { this.endEdit = resolve; });
    } else if (!on) this.endEdit();
    this.cellEditMode = Boolean(on);
  },

  findSheet(name) {
    const lower = String(name).toLowerCase();
    return this.sheets.find((s) => s.name.toLowerCase() === lower || s.id === name) || null;
  },

  addSheet(name) {
    if (name === undefined || name === null || name === "") {
      let n = this.sheets.length + 1;
      while (this.findSheet(`Sheet${n}`)) n += 1;
      name = `Sheet${n}`;
    }
    checkSheetName(name);
    if (this.findSheet(name)) fail(ErrorCodes.itemAlreadyExists);
    this.sheetNumber += 1;
    const sheet = new Sheet(name, this.sheetNumber);
    this.sheets.push(sheet);
    return sheet;
  },

  renameSheet(sheet, name) {
    checkSheetName(name);
    const other = this.findSheet(name);
    if (other && other !== sheet) fail(ErrorCodes.itemAlreadyExists);
    sheet.name = name;
  },

  moveSheet(sheet, position) {
    if (!Number.isInteger(position) || position < 0 || position >= this.sheets.length) fail(ErrorCodes.invalidArgument);
    this.sheets.splice(this.sheets.indexOf(sheet), 1);
    this.sheets.splice(position, 0, sheet);
  },

  deleteSheet(sheet) {
    if (this.sheets.length === 1) fail(ErrorCodes.invalidOperation, "A workbook must contain at least one visible worksheet.");
    this.sheets.splice(this.sheets.indexOf(sheet), 1);
    sheet.deleted = true;
    if (this.activeSheet === sheet) this.activeSheet = this.sheets[0];
  },

  beginRequest() { this.pendingEvents = []; },

  // Change events reach their handlers after the request that caused them has been answered.
  endRequest() {
    const events = this.pendingEvents;
    this.pendingEvents = [];
    if (!events.length || !this.enableEvents) return;
    setTimeout(() => {
      for (const ev of events) {
        if (ev.sheet.deleted) continue;
        for (const handler of [...ev.sheet.handlers.onChanged, ...this.handlers.onChanged]) {
          Promise.resolve().then(() => handler(this.changedArgs(ev))).catch(() => {});
        }
      }
    }, 0);
  },

  addHandler(entity, eventName, handler) {
    const list = live(entity).handlers[eventName];
    if (!list.includes(handler)) list.push(handler);
  },

  removeHandler(entity, eventName, handler) {
    const list = entity.handlers[eventName];
    const i = list.indexOf(handler);
    if (i < 0) fail(ErrorCodes.invalidArgument, "The handler was not registered.");
    list.splice(i, 1);
  },
};

export function live(sheet) {
  if (sheet.deleted) fail(ErrorCodes.itemNotFound);
  return sheet;
}

// ---- cell values: per sheet, rows of parallel arrays (value, formula, number format) --------

function rowOf(sheet, r, create) {
  let row = sheet.rows.get(r);
  if (!row && create) { row = { v: [], f: [], nf: [] }; sheet.rows.set(r, row); }
  return row;
}

// Stored cells (a value, a formula or a number format) of one sheet.
export function storedCells(sheet) {
  let n = 0;
  for (const row of sheet.rows.values()) {
    const len = Math.max(row.v.length, row.f.length, row.nf.length);
    for (let c = 0; c < len; c += 1) if (row.v[c] !== undefined || row.f[c] !== undefined || row.nf[c] !== undefined) n += 1;
  }
  return n;
}

class Cycle { constructor(k) { this.key = k; } }

// A cell's current value; formulas are computed from current inputs, members of a cycle read 0.
export function cellValue(sheet, r, c, visiting) {
  const row = sheet.rows.get(r);
  if (!row) return "";
  const f = row.f[c];
  if (f === undefined) { const v = row.v[c]; return v === undefined ? "" : v; }
  const k = r * MAX_COLS + c;
  const memo = sheet.memo.get(k);
  if (memo !== undefined) return memo;
  if (!visiting) visiting = new Set();
  if (visiting.has(k)) throw new Cycle(k);
  visiting.add(k);
  let v;
  try {
    v = evaluateFormula(f, (rr, cc) => cellValue(sheet, rr, cc, visiting));
  } catch (e) {
    if (!(e instanceof Cycle)) throw e;
    sheet.memo.set(k, 0);
    if (e.key !== k) throw e;
    v = 0;
  } finally { visiting.delete(k); }
  sheet.memo.set(k, v);
  return v;
}

function valueType(v) {
  if (v instanceof XlError) return "Error";
  if (v === "") return "Empty";
  if (typeof v === "number") return "Double";
  if (typeof v === "boolean") return "Boolean";
  return "String";
}

const outValue = (v) => (v instanceof XlError ? v.code : v);

const EMPTY_ROW = { v: [], f: [], nf: [] };

function cellOut(sheet, row, r, c, kind) {
  switch (kind) {
    case "values": return row.f[c] === undefined ? (row.v[c] === undefined ? "" : row.v[c]) : outValue(cellValue(sheet, r, c));
    case "formulas": return row.f[c] !== undefined ? row.f[c] : (row.v[c] === undefined ? "" : row.v[c]);
    case "numberFormat": return row.nf[c] || "General";
    case "text": return displayText(cellValue(sheet, r, c), row.nf[c]);
    default: return valueType(cellValue(sheet, r, c));
  }
}

function checkReadSize(rect) {
  if (cellCount(rect) > model.limits.maxReadCells) fail(ErrorCodes.rangeExceedsLimit);
}

// A grid read: null for a whole-row or whole-column range, as Office.js documents.
export function readGrid(sheet, rect, kind) {
  live(sheet);
  if (rect.wholeColumns || rect.wholeRows) return null;
  checkReadSize(rect);
  const out = new Array(rect.r1 - rect.r0 + 1);
  for (let r = rect.r0; r <= rect.r1; r += 1) {
    const row = sheet.rows.get(r) || EMPTY_ROW;
    const line = new Array(rect.c1 - rect.c0 + 1);
    for (let c = rect.c0; c <= rect.c1; c += 1) line[c - rect.c0] = cellOut(sheet, row, r, c, kind);
    out[r - rect.r0] = line;
  }
  return out;
}

// What a JSON request would carry: NaN, infinities, functions and undefined travel as null,
// dates as their JSON text; any other object in a cell is refused.
function wireScalar(x) {
  switch (typeof x) {
    case "string": case "boolean": return x;
    case "number": return Number.isFinite(x) ? x : null;
    case "object": return x === null ? null : x.toJSON();
    default: return null;
  }
}

const badCell = (x) => x !== null && typeof x === "object" && !(x instanceof Date);

// Excel's documented limits: characters of text a cell can hold, and of a formula.
export const MAX_TEXT = 32767;
export const MAX_FORMULA = 8192;
const tooLong = (x) => typeof x === "string"
  && x.length > (x.length > 1 && x[0] === "=" ? MAX_FORMULA : MAX_TEXT);

// Cell input refused whole: objects that are not dates, and text longer than a cell holds.
export function checkCells(grid) {
  for (const line of grid) for (const x of line) if (badCell(x) || tooLong(x)) fail(ErrorCodes.invalidArgument);
}

const NUMERIC = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/;

// Typed input: formulas, numeric text, TRUE/FALSE, "" clears (number format too), other text
// stays text.
function storeInput(row, c, x, dr, dc) {
  if (typeof x === "string") {
    if (x === "") { row.v[c] = undefined; row.f[c] = undefined; row.nf[c] = undefined; return; }
    if (x.length > 1 && x[0] === "=") { row.v[c] = undefined; row.f[c] = shiftFormula(x, dr, dc); return; }
    const t = x.trim();
    if (NUMERIC.test(t)) x = Number(t);
    else if (/^(true|false)$/i.test(t)) x = t.toLowerCase() === "true";
  }
  row.v[c] = x;
  row.f[c] = undefined;
}

// Write a grid property. A 2-D array must match the range; a single value, or a 1 x 1 array,
// fills it; null keeps a cell. Writes of values or formulas record a change event.
export function writeGrid(sheet, rect, input, kind, notify = true) {
  live(sheet);
  if (input === null || input === undefined) fail(ErrorCodes.invalidArgument);
  if (rect.wholeColumns || rect.wholeRows) {
    fail(ErrorCodes.invalidArgument, "This operation is not supported on an entire row or column.");
  }
  const rows = rect.r1 - rect.r0 + 1;
  const cols = rect.c1 - rect.c0 + 1;
  // A 1 x 1 array fills the whole range, as the reference's own sample does with
  // numberFormat = [["$0.00"]] on the four cells E3:E6.
  if (Array.isArray(input) && input.length === 1 && Array.isArray(input[0]) && input[0].length === 1
      && rows * cols > 1) {
    input = input[0][0];
    if (input === null) return;
  }
  const grid = Array.isArray(input);
  if (grid) {
    if (input.length !== rows) fail(ErrorCodes.invalidArgument, SHAPE_MESSAGE);
    for (const line of input) {
      if (!Array.isArray(line) || line.length !== cols) fail(ErrorCodes.invalidArgument, SHAPE_MESSAGE);
    }
    if (kind !== "numberFormat") checkCells(input);
    else for (const line of input) for (const x of line) if (badCell(x)) fail(ErrorCodes.invalidArgument);
  } else if (badCell(input) || (kind !== "numberFormat" && tooLong(input))) fail(ErrorCodes.invalidArgument);
  const fill = grid ? null : wireScalar(input);
  if (!grid && fill === null) return;
  const single = rows === 1 && cols === 1;
  const before = single && kind !== "numberFormat" ? cellValue(sheet, rect.r0, rect.c0) : undefined;
  for (let i = 0; i < rows; i += 1) {
    const line = grid ? input[i] : null;
    const row = rowOf(sheet, rect.r0 + i, true);
    for (let j = 0; j < cols; j += 1) {
      const x = grid ? wireScalar(line[j]) : fill;
      if (x === null) continue;
      const c = rect.c0 + j;
      if (kind === "numberFormat") {
        const nf = String(x);
        row.nf[c] = nf === "" || nf === "General" ? undefined : nf;
      } else storeInput(row, c, x, grid ? 0 : i, grid ? 0 : j);
    }
  }
  sheet.memo.clear();
  if (notify && kind !== "numberFormat") changed(sheet, rect, before);
}

// Record a change event; a single cell's event carries its value before and after.
function changed(sheet, rect, before) {
  let details = null;
  if (before !== undefined) {
    const after = cellValue(sheet, rect.r0, rect.c0);
    details = { valueBefore: outValue(before), valueAfter: outValue(after),
      valueTypeBefore: valueType(before), valueTypeAfter: valueType(after) };
  }
  model.pendingEvents.push({ sheet, address: rectAddress(rect), details });
}

// clear(applyTo): "All" (default), "Contents" or "Formats".
export function clearRect(sheet, rect, applyTo = "All") {
  live(sheet);
  if (!["All", "Contents", "Formats", "Hyperlinks", "RemoveHyperlinks", "ResetContents"].includes(applyTo)) {
    fail(ErrorCodes.invalidArgument);
  }
  const contents = applyTo === "All" || applyTo === "Contents" || applyTo === "ResetContents";
  const formats = applyTo === "All" || applyTo === "Formats";
  const single = rect.r0 === rect.r1 && rect.c0 === rect.c1;
  const before = contents && single ? cellValue(sheet, rect.r0, rect.c0) : undefined;
  for (const [r, row] of sheet.rows) {
    if (r < rect.r0 || r > rect.r1) continue;
    const last = Math.min(rect.c1, Math.max(row.v.length, row.f.length, row.nf.length) - 1);
    for (let c = rect.c0; c <= last; c += 1) {
      if (contents) { row.v[c] = undefined; row.f[c] = undefined; }
      if (formats) row.nf[c] = undefined;
    }
  }
  if (formats) for (const prop of Object.keys(FORMAT_DEFAULTS)) paint(sheet, rect, prop, undefined);
  sheet.memo.clear();
  if (contents) changed(sheet, rect, before);
}

// The smallest rectangle holding every value or formula, or null for a blank sheet.
export function usedRect(sheet) {
  live(sheet);
  let r0 = Infinity; let c0 = Infinity; let r1 = -1; let c1 = -1;
  for (const [r, row] of sheet.rows) {
    const len = Math.max(row.v.length, row.f.length);
    let first = -1; let lastC = -1;
    for (let c = 0; c < len; c += 1) {
      if (row.v[c] !== undefined || row.f[c] !== undefined) { if (first < 0) first = c; lastC = c; }
    }
    if (first < 0) continue;
    if (r < r0) r0 = r; if (r > r1) r1 = r; if (first < c0) c0 = first; if (lastC > c1) c1 = lastC;
  }
  return r1 < 0 ? null : makeRect(r0, c0, r1, c1);
}

// ---- formats: ordered paints over rectangles, so whole-column formats cost one entry --------

export function paint(sheet, rect, prop, value) {
  live(sheet);
  sheet.paints = sheet.paints.filter((p) => p.prop !== prop ||
    !(p.rect.r0 >= rect.r0 && p.rect.r1 <= rect.r1 && p.rect.c0 >= rect.c0 && p.rect.c1 <= rect.c1));
  if (value !== undefined) sheet.paints.push({ rect, prop, value });
  else if (sheet.paints.some((p) => p.prop === prop && intersectRects(p.rect, rect))) {
    sheet.paints.push({ rect, prop, value: FORMAT_DEFAULTS[prop] });
  }
}

// One value when every cell of the rectangle agrees, else null.
export function readFormat(sheet, rect, prop) {
  live(sheet);
  const dflt = FORMAT_DEFAULTS[prop];
  const relevant = sheet.paints.filter((p) => p.prop === prop && intersectRects(p.rect, rect));
  if (!relevant.length) return dflt;
  const rows = new Set([rect.r0]); const cols = new Set([rect.c0]);
  for (const { rect: p } of relevant) {
    if (p.r0 > rect.r0) rows.add(p.r0);
    if (p.r1 < rect.r1) rows.add(p.r1 + 1);
    if (p.c0 > rect.c0) cols.add(p.c0);
    if (p.c1 < rect.c1) cols.add(p.c1 + 1);
  }
  let seen;
  for (const r of rows) {
    for (const c of cols) {
      let v = dflt;
      for (let i = relevant.length - 1; i >= 0; i -= 1) {
        const p = relevant[i].rect;
        if (r >= p.r0 && r <= p.r1 && c >= p.c0 && c <= p.c1) { v = relevant[i].value; break; }
      }
      if (seen === undefined) seen = v; else if (seen !== v) return null;
    }
  }
  return seen;
}

const COLOR_NAMES = { black: "#000000", white: "#FFFFFF", red: "#FF0000", green: "#008000",
  blue: "#0000FF", yellow: "#FFFF00", orange: "#FFA500", purple: "#800080", gray: "#808080",
  grey: "#808080", lightgreen: "#90EE90", lightblue: "#ADD8E6" };

export function normalizeColor(value) {
  if (typeof value !== "string") fail(ErrorCodes.invalidArgument);
  const s = value.trim();
  if (/^#[0-9a-f]{6}$/i.test(s)) return s.toUpperCase();
  const named = COLOR_NAMES[s.toLowerCase()];
  if (!named) fail(ErrorCodes.invalidArgument);
  return named;
}

// A new workbook has one empty sheet, as Excel's does.
model.reset();
