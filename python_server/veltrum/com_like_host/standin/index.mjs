// Node entry: installs Office, Excel and OfficeExtension on globalThis (as office.js does in a
// page) and exports hooks for tests. The add-in never imports this file.

import "./office.js";
import { model, parseAddress, readGrid, readFormat, storedCells } from "./workbook.mjs";
import { documentSettings, supported } from "./namespaces.mjs";

await globalThis.Office.onReady();

// Replace the workbook: sheets are names or {name, cells: {"A1": value | {value|formula, numberFormat}}}.
export function resetWorkbook(spec = {}) {
  model.reset(spec);
  documentSettings.refresh();
}

export function setLimits(limits) { Object.assign(model.limits, limits); }

export function limits() { return { ...model.limits }; }

// Request counters: every sync (round trip), the empty and the tracking-only ones among them,
// objects the host holds tracked, and the last payload sizes.
export function stats() { return { ...model.stats }; }

export function sheetNames() { return model.sheets.map((s) => s.name); }

function sheetOf(name) {
  const sheet = model.findSheet(name);
  if (!sheet) throw new Error(`no sheet ${name}`);
  return sheet;
}

// Cell data of a range as the workbook holds it, without going through a request.
export function inspect(sheetName, address) {
  const sheet = sheetOf(sheetName);
  const rect = parseAddress(address);
  return {
    values: readGrid(sheet, rect, "values"),
    formulas: readGrid(sheet, rect, "formulas"),
    numberFormat: readGrid(sheet, rect, "numberFormat"),
    text: readGrid(sheet, rect, "text"),
    fillColor: readFormat(sheet, rect, "fill.color"),
    bold: readFormat(sheet, rect, "font.bold"),
  };
}

// Number of stored cells (with a value, formula or number format) on a sheet.
export function storedCellCount(sheetName) { return storedCells(sheetOf(sheetName)); }

export function settings() {
  return Object.fromEntries([...model.settings].map(([k, v]) => [k, JSON.parse(v)]));
}

export function handlerCount(sheetName, eventName = "onChanged") {
  return sheetOf(sheetName).handlers[eventName].length;
}

// Select ranges as a user would: "A1:B2" or several areas "A1:B2, D4" on a sheet, which becomes active.
export function setSelection(sheetName, address) {
  const sheet = sheetOf(sheetName);
  model.activeSheet = sheet;
  model.selection = { sheet, rects: String(address).split(",").map(parseAddress) };
}

export function setCellEditMode(on) { model.setCellEditMode(on); }

// The ExcelApi version Office.context.requirements reports (1.20 unless lowered).
export function setApiVersion(version) { supported.ExcelApi = String(version); }

export function activeSheetName() { return model.activeSheet ? model.activeSheet.name : null; }


resetWorkbook();
