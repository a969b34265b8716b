// The Excel namespace: workbook, worksheets, ranges, multi-area ranges, formats, settings, run.

import {
  ClientObject, ClientCollection, ClientRequestContext, defineScalars, EventHandlers,
  OfficeExtensionError, ErrorCodes, fail,
} from "./core.mjs";
import {
  model, live, parseAddress, rectAddress, sheetPrefix, makeRect, rectInBounds, intersectRects,
  cellCount, readGrid, writeGrid, clearRect, usedRect, paint, readFormat, normalizeColor,
  MAX_ROWS, MAX_COLS,
} from "./workbook.mjs";

const ro = (read) => ({ read });
const rw = (read, write) => ({ read, write });

function checkArgContext(self, other) {
  if (other instanceof ClientObject) {
    self.context._checkOwn(other);
    other._checkUsable();
  }
}

function needInteger(...xs) {
  for (const x of xs) if (!Number.isInteger(x)) fail(ErrorCodes.invalidArgument);
}

// ---- Workbook and worksheets ------------------------------------------------------------

// The selection lives on the active sheet; a new workbook selects A1.
function selection(m) {
  const sheet = live(m.activeSheet);
  const rects = m.selection && m.selection.sheet === sheet ? m.selection.rects : [makeRect(0, 0, 0, 0)];
  return { sheet, rects };
}

export class Workbook extends ClientObject {
  getActiveCell() {
    return this._child(Range, "getActiveCell", (m) => {
      const { sheet, rects } = selection(m);
      return { sheet, rect: makeRect(rects[0].r0, rects[0].c0, rects[0].r0, rects[0].c0) };
    }, [], { volatile: true });
  }

  getSelectedRange() {
    return this._child(Range, "getSelectedRange", (m) => {
      const { sheet, rects } = selection(m);
      if (rects.length > 1) fail(ErrorCodes.invalidSelection);
      return { sheet, rect: rects[0] };
    }, [], { volatile: true });
  }

  getSelectedRanges() {
    return this._child(RangeAreas, "getSelectedRanges", (m) => selection(m), [], { volatile: true });
  }
}
defineScalars(Workbook, "Workbook", { name: ro(() => "Book1.xlsx") }, {
  worksheets: (w) => new WorksheetCollection(w.context, w, (m) => m, "worksheets"),
  settings: (w) => new SettingCollection(w.context, w, (m) => m, "settings"),
  application: (w) => new Application(w.context, w, (m) => m, "application"),
});

export class Application extends ClientObject {
  calculate(calculationType) { this._queueCommand("Application.calculate", () => {}, [calculationType]); }
  suspendApiCalculationUntilNextSync() { this._queueCommand("Application.suspendApiCalculationUntilNextSync", () => {}); }
}
defineScalars(Application, "Application", { calculationMode: ro(() => "Automatic") });

export class Runtime extends ClientObject {}
defineScalars(Runtime, "Runtime", {
  enableEvents: rw((m) => m.enableEvents, (m, v) => {
    if (typeof v !== "boolean") fail(ErrorCodes.invalidArgument);
    m.enableEvents = v;
  }),
});

export class WorksheetCollection extends ClientCollection {
  _list(m) { return m.sheets.slice(); }

  // Fires for a change on any worksheet.
  get onChanged() {
    if (!this._onChanged) this._onChanged = new EventHandlers(this, "onChanged");
    return this._onChanged;
  }

  getItem(key) {
    return this._child(Worksheet, "getItem", (m) => m.findSheet(key) || fail(ErrorCodes.itemNotFound), [key]);
  }

  getItemOrNullObject(key) {
    return this._child(Worksheet, "getItemOrNullObject", (m) => m.findSheet(key) || fail(ErrorCodes.itemNotFound),
      [key], { nullable: true });
  }

  add(name) {
    let created = null;
    this._queueCommand("WorksheetCollection.add", (m) => { created = m.addSheet(name); }, [name ?? null]);
    return this._child(Worksheet, "add", () => created || fail(ErrorCodes.itemNotFound), [name]);
  }

  getActiveWorksheet() {
    return this._child(Worksheet, "getActiveWorksheet", (m) => live(m.activeSheet), []);
  }

  getFirst() { return this._child(Worksheet, "getFirst", (m) => m.sheets[0], []); }

  getLast() { return this._child(Worksheet, "getLast", (m) => m.sheets[m.sheets.length - 1], []); }

  getCount() { return this._callForResult("getCount", (m) => m.sheets.length); }
}
defineScalars(WorksheetCollection, "WorksheetCollection", {});

export class Worksheet extends ClientObject {
  get onChanged() {
    if (!this._onChanged) this._onChanged = new EventHandlers(this, "onChanged");
    return this._onChanged;
  }

  delete() { this._queueCommand("Worksheet.delete", (s) => model.deleteSheet(live(s))); }

  activate() { this._queueCommand("Worksheet.activate", (s) => { model.activeSheet = live(s); }); }

  getRange(address) {
    return this._child(Range, "getRange", (s) => ({
      sheet: live(s),
      rect: address === undefined || address === null || address === "" ? makeRect(0, 0, MAX_ROWS - 1, MAX_COLS - 1) : parseAddress(address),
    }), [address ?? null], { volatile: true });
  }

  getRangeByIndexes(startRow, startColumn, rowCount, columnCount) {
    return this._child(Range, "getRangeByIndexes", (s) => {
      needInteger(startRow, startColumn, rowCount, columnCount);
      const r1 = startRow + rowCount - 1; const c1 = startColumn + columnCount - 1;
      if (rowCount < 1 || columnCount < 1 || !rectInBounds(startRow, startColumn, r1, c1)) fail(ErrorCodes.invalidArgument);
      return { sheet: live(s), rect: makeRect(startRow, startColumn, r1, c1) };
    }, [startRow, startColumn, rowCount, columnCount], { volatile: true });
  }

  getCell(row, column) {
    return this._child(Range, "getCell", (s) => {
      needInteger(row, column);
      if (!rectInBounds(row, column, row, column)) fail(ErrorCodes.invalidArgument);
      return { sheet: live(s), rect: makeRect(row, column, row, column) };
    }, [row, column], { volatile: true });
  }

  getRanges(address) {
    return this._child(RangeAreas, "getRanges", (s) => {
      const parts = String(address ?? "").split(",").map((p) => p.trim());
      if (parts.some((p) => !p)) fail(ErrorCodes.invalidArgument);
      return { sheet: live(s), rects: parts.map(parseAddress) };
    }, [address ?? null], { volatile: true });
  }

  getUsedRange(valuesOnly) {
    return this._child(Range, "getUsedRange", (s) => ({ sheet: live(s), rect: usedRect(s) || makeRect(0, 0, 0, 0) }),
      [valuesOnly ?? null], { volatile: true });
  }

  getUsedRangeOrNullObject(valuesOnly) {
    return this._child(Range, "getUsedRangeOrNullObject", (s) => {
      const rect = usedRect(s);
      return rect ? { sheet: s, rect } : fail(ErrorCodes.itemNotFound);
    }, [valuesOnly ?? null], { volatile: true, nullable: true });
  }
}
defineScalars(Worksheet, "Worksheet", {
  name: rw((s) => live(s).name, (s, v) => model.renameSheet(live(s), v)),
  id: ro((s) => live(s).id),
  position: rw((s) => model.sheets.indexOf(live(s)), (s, v) => model.moveSheet(live(s), v)),
  visibility: ro((s) => (live(s), "Visible")),
});
WorksheetCollection._itemType = Worksheet;

// ---- Ranges -----------------------------------------------------------------------------

function rangeOf(self, other, name) {
  checkArgContext(self, other);
  return (e) => {
    if (typeof other === "string") return { sheet: e.sheet, rect: parseAddress(other) };
    if (other instanceof Range) {
      const o = other._resolve();
      if (o === null || live(o.sheet) !== e.sheet) fail(ErrorCodes.invalidArgument);
      return o;
    }
    return fail(ErrorCodes.invalidArgument, `${name}: expected a Range or an address.`);
  };
}

function usedWithin(e) {
  const used = usedRect(e.sheet);
  const rect = used && intersectRects(used, e.rect);
  return rect ? { sheet: e.sheet, rect } : fail(ErrorCodes.itemNotFound);
}

function shifted(e, r0, c0, r1, c1) {
  if (!rectInBounds(r0, c0, r1, c1)) fail(ErrorCodes.invalidArgument);
  return { sheet: live(e.sheet), rect: makeRect(r0, c0, r1, c1) };
}

export class Range extends ClientObject {
  _range(name, resolve, args, opts = {}) {
    return this._child(Range, name, resolve, args, { volatile: true, ...opts });
  }

  getCell(row, column) {
    return this._range("getCell", (e) => {
      needInteger(row, column);
      const r = e.rect.r0 + row; const c = e.rect.c0 + column;
      return shifted(e, r, c, r, c);
    }, [row, column]);
  }

  getRow(row) {
    return this._range("getRow", (e) => {
      needInteger(row);
      return shifted(e, e.rect.r0 + row, e.rect.c0, e.rect.r0 + row, e.rect.c1);
    }, [row]);
  }

  getColumn(column) {
    return this._range("getColumn", (e) => {
      needInteger(column);
      return shifted(e, e.rect.r0, e.rect.c0 + column, e.rect.r1, e.rect.c0 + column);
    }, [column]);
  }

  getOffsetRange(rowOffset, columnOffset) {
    return this._range("getOffsetRange", (e) => {
      needInteger(rowOffset, columnOffset);
      const { r0, c0, r1, c1 } = e.rect;
      return shifted(e, r0 + rowOffset, c0 + columnOffset, r1 + rowOffset, c1 + columnOffset);
    }, [rowOffset, columnOffset]);
  }

  getResizedRange(deltaRows, deltaColumns) {
    return this._range("getResizedRange", (e) => {
      needInteger(deltaRows, deltaColumns);
      const { r0, c0, r1, c1 } = e.rect;
      if (r1 + deltaRows < r0 || c1 + deltaColumns < c0) fail(ErrorCodes.invalidArgument);
      return shifted(e, r0, c0, r1 + deltaRows, c1 + deltaColumns);
    }, [deltaRows, deltaColumns]);
  }

  getEntireRow() {
    return this._range("getEntireRow", (e) => shifted(e, e.rect.r0, 0, e.rect.r1, MAX_COLS - 1), []);
  }

  getEntireColumn() {
    return this._range("getEntireColumn", (e) => shifted(e, 0, e.rect.c0, MAX_ROWS - 1, e.rect.c1), []);
  }

  getLastCell() {
    return this._range("getLastCell", (e) => shifted(e, e.rect.r1, e.rect.c1, e.rect.r1, e.rect.c1), []);
  }

  getIntersection(other) {
    const find = rangeOf(this, other, "getIntersection");
    return this._range("getIntersection", (e) => {
      const rect = intersectRects(e.rect, find(e).rect);
      return rect ? { sheet: e.sheet, rect } : fail(ErrorCodes.itemNotFound);
    }, [typeof other === "string" ? other : null]);
  }

  getIntersectionOrNullObject(other) {
    const find = rangeOf(this, other, "getIntersectionOrNullObject");
    return this._range("getIntersectionOrNullObject", (e) => {
      const o = find(e);
      const rect = intersectRects(e.rect, o.rect);
      return rect ? { sheet: e.sheet, rect } : fail(ErrorCodes.itemNotFound);
    }, [typeof other === "string" ? other : null], { nullable: true });
  }

  getBoundingRect(other) {
    const find = rangeOf(this, other, "getBoundingRect");
    return this._range("getBoundingRect", (e) => {
      const o = find(e).rect;
      return shifted(e, Math.min(e.rect.r0, o.r0), Math.min(e.rect.c0, o.c0), Math.max(e.rect.r1, o.r1), Math.max(e.rect.c1, o.c1));
    }, [typeof other === "string" ? other : null]);
  }

  // Unlike Worksheet.getUsedRange, a range with no used cell has no used range.
  getUsedRange(valuesOnly) {
    return this._range("getUsedRange", (e) => usedWithin(e), [valuesOnly ?? null]);
  }

  getUsedRangeOrNullObject(valuesOnly) {
    return this._range("getUsedRangeOrNullObject", (e) => usedWithin(e), [valuesOnly ?? null], { nullable: true });
  }

  select() {
    this._queueCommand("Range.select", (e) => {
      model.activeSheet = live(e.sheet);
      model.selection = { sheet: e.sheet, rects: [e.rect] };
    });
  }

  clear(applyTo) {
    this._queueCommand("Range.clear", (e) => clearRect(e.sheet, e.rect, applyTo ?? "All"), [applyTo ?? null]);
  }
}

const grid = (kind) => rw((e) => readGrid(e.sheet, e.rect, kind), (e, v) => writeGrid(e.sheet, e.rect, v, kind));
const rangeAddress = (e) => sheetPrefix(live(e.sheet).name) + rectAddress(e.rect);

defineScalars(Range, "Range", {
  address: ro(rangeAddress),
  addressLocal: ro(rangeAddress),
  values: grid("values"),
  formulas: grid("formulas"),
  formulasLocal: grid("formulas"),
  numberFormat: grid("numberFormat"),
  text: ro((e) => readGrid(e.sheet, e.rect, "text")),
  valueTypes: ro((e) => readGrid(e.sheet, e.rect, "valueTypes")),
  rowCount: ro((e) => e.rect.r1 - e.rect.r0 + 1),
  columnCount: ro((e) => e.rect.c1 - e.rect.c0 + 1),
  rowIndex: ro((e) => e.rect.r0),
  columnIndex: ro((e) => e.rect.c0),
  cellCount: ro((e) => cellCount(e.rect)),
}, {
  format: (r) => new RangeFormat(r.context, r, (e) => e, "format"),
  worksheet: (r) => new Worksheet(r.context, r, (e) => live(e.sheet), "worksheet"),
});

// ---- Multi-area ranges ------------------------------------------------------------------

export class RangeAreas extends ClientObject {
  clear(applyTo) {
    this._queueCommand("RangeAreas.clear", (e) => e.rects.forEach((r) => clearRect(e.sheet, r, applyTo ?? "All")),
      [applyTo ?? null]);
  }
}
defineScalars(RangeAreas, "RangeAreas", {
  address: ro((e) => e.rects.map((r) => sheetPrefix(live(e.sheet).name) + rectAddress(r)).join(", ")),
  addressLocal: ro((e) => e.rects.map((r) => sheetPrefix(live(e.sheet).name) + rectAddress(r)).join(", ")),
  areaCount: ro((e) => e.rects.length),
  cellCount: ro((e) => e.rects.reduce((n, r) => n + cellCount(r), 0)),
}, {
  areas: (a) => new RangeCollection(a.context, a, (e) => e, "areas"),
  format: (a) => new RangeFormat(a.context, a, (e) => e, "format"),
  worksheet: (a) => new Worksheet(a.context, a, (e) => live(e.sheet), "worksheet"),
});

export class RangeCollection extends ClientCollection {
  _list(e) { return e.rects.map((rect) => ({ sheet: e.sheet, rect })); }
  getCount() { return this._callForResult("getCount", (e) => e.rects.length); }
  getItemAt(index) {
    return this._child(Range, "getItemAt", (e) => {
      needInteger(index);
      return index >= 0 && index < e.rects.length ? { sheet: e.sheet, rect: e.rects[index] } : fail(ErrorCodes.itemNotFound);
    }, [index], { volatile: true });
  }
}
defineScalars(RangeCollection, "RangeCollection", {});
RangeCollection._itemType = Range;

// ---- Formats: one target is a Range entity {sheet, rect} or a RangeAreas entity {sheet, rects} ----

const rectsOf = (e) => e.rects || [e.rect];

function formatProp(prop, normalize) {
  return rw((e) => {
    const values = rectsOf(e).map((r) => readFormat(e.sheet, r, prop));
    if (values.every((v) => v === values[0])) return values[0];
    return typeof values.find((v) => v !== null) === "boolean" && e.rects ? false : null;
  }, (e, v) => {
    if (v === null || v === undefined) fail(ErrorCodes.invalidArgument);
    const value = normalize(v);
    rectsOf(e).forEach((r) => paint(e.sheet, r, prop, value));
  });
}

const asBool = (v) => (typeof v === "boolean" ? v : fail(ErrorCodes.invalidArgument));
const asNumber = (v) => (typeof v === "number" && v > 0 && v < 410 ? v : fail(ErrorCodes.invalidArgument));
const asText = (v) => (typeof v === "string" && v ? v : fail(ErrorCodes.invalidArgument));

export class RangeFormat extends ClientObject {}
defineScalars(RangeFormat, "RangeFormat", {}, {
  fill: (f) => new RangeFill(f.context, f, (e) => e, "fill"),
  font: (f) => new RangeFont(f.context, f, (e) => e, "font"),
});

export class RangeFill extends ClientObject {
  clear() {
    this._queueCommand("RangeFill.clear", (e) => rectsOf(e).forEach((r) => paint(e.sheet, r, "fill.color", undefined)));
  }
}
defineScalars(RangeFill, "RangeFill", { color: formatProp("fill.color", normalizeColor) });

export class RangeFont extends ClientObject {}
defineScalars(RangeFont, "RangeFont", {
  bold: formatProp("font.bold", asBool),
  italic: formatProp("font.italic", asBool),
  color: formatProp("font.color", normalizeColor),
  name: formatProp("font.name", asText),
  size: formatProp("font.size", asNumber),
});

// ---- Settings (per workbook and add-in) -------------------------------------------------

function settingKey(key) {
  if (typeof key !== "string" || !key) fail(ErrorCodes.invalidArgument);
  return key;
}

export class SettingCollection extends ClientCollection {
  _list(m) { return [...m.settings.keys()].map((key) => ({ key })); }

  add(key, value) {
    this._queueCommand("SettingCollection.add", (m) => {
      const text = JSON.stringify(value);
      if (text === undefined) fail(ErrorCodes.invalidArgument);
      m.settings.set(settingKey(key), text);
    }, [key, value ?? null]);
    return this._child(Setting, "add", (m) => (m.settings.has(key) ? { key } : fail(ErrorCodes.itemNotFound)), [key]);
  }

  getItem(key) {
    return this._child(Setting, "getItem", (m) => (m.settings.has(settingKey(key)) ? { key } : fail(ErrorCodes.itemNotFound)), [key]);
  }

  getItemOrNullObject(key) {
    return this._child(Setting, "getItemOrNullObject", (m) => (m.settings.has(settingKey(key)) ? { key } : fail(ErrorCodes.itemNotFound)),
      [key], { nullable: true });
  }

  getCount() { return this._callForResult("getCount", (m) => m.settings.size); }
}
defineScalars(SettingCollection, "SettingCollection", {});

function storedSetting(e) {
  const text = model.settings.get(e.key);
  return text === undefined ? fail(ErrorCodes.itemNotFound) : text;
}

export class Setting extends ClientObject {
  delete() { this._queueCommand("Setting.delete", (e) => { storedSetting(e); model.settings.delete(e.key); }); }
}
defineScalars(Setting, "Setting", {
  key: ro((e) => (storedSetting(e), e.key)),
  value: rw((e) => JSON.parse(storedSetting(e)), (e, v) => {
    storedSetting(e);
    const text = JSON.stringify(v);
    if (text === undefined) fail(ErrorCodes.invalidArgument);
    model.settings.set(e.key, text);
  }),
});
SettingCollection._itemType = Setting;

// ---- Request context, events, run -------------------------------------------------------

export class RequestContext extends ClientRequestContext {
  constructor() {
    super();
    this.workbook = new Workbook(this, null, (m) => m, "workbook");
    this.runtime = new Runtime(this, null, (m) => m, "runtime");
    this.application = this.workbook.application;
  }
}

// The argument of a Worksheet.onChanged handler.
model.changedArgs = ({ sheet, address, details }) => ({
  type: "WorksheetChanged",
  changeType: "RangeEdited",
  source: "Local",
  address,
  worksheetId: sheet.id,
  details,
  getRange(ctx) { return ctx.workbook.worksheets.getItem(sheet.id).getRange(address); },
  getRangeOrNullObject(ctx) {
    const ws = ctx.workbook.worksheets.getItemOrNullObject(sheet.id);
    return ws._child(Range, "getRange", (s) => ({ sheet: live(s), rect: parseAddress(address) }), [address],
      { volatile: true, nullable: true });
  },
});

function runContext(target) {
  if (target instanceof ClientRequestContext) return target;
  if (Array.isArray(target)) return target.length ? runContext(target[0]) : new RequestContext();
  if (target && target.context instanceof ClientRequestContext) return target.context;
  if (target && typeof target === "object" && "previousObjects" in target) {
    return target.previousObjects ? runContext(target.previousObjects) : new RequestContext();
  }
  if (target && typeof target === "object") return new RequestContext(); // RunOptions
  throw new OfficeExtensionError(ErrorCodes.invalidArgument);
}

// run(batch), run(object | objects[] | context | options, batch): the batch's objects stay valid
// across its syncs; queued commands are flushed when it finishes. delayForCellEdit holds for
// the syncs made while this run is in progress, not for the context's later use.
export async function run(target, batch) {
  if (typeof target === "function") { batch = target; target = undefined; }
  if (typeof batch !== "function") throw new OfficeExtensionError(ErrorCodes.invalidArgument);
  const context = target === undefined ? new RequestContext() : runContext(target);
  const delay = Boolean(target && typeof target === "object" && !(target instanceof ClientRequestContext)
    && !(target instanceof ClientObject) && target.delayForCellEdit);
  context._runDepth += 1;
  if (delay) context._delayDepth += 1;
  try {
    const result = await batch(context);
    await context.sync();
    return result;
  } finally {
    if (delay) context._delayDepth -= 1;
    context._runDepth -= 1;
    if (context._runDepth === 0) context._releaseVolatile();
  }
}
