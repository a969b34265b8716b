// Builds the OfficeExtension and Excel namespaces and the Office.context parts on a global object.

import {
  ClientObject, ClientResult, ClientRequestContext, TrackedObjects,
  EventHandlers, EventHandlerResult, OfficeExtensionError, ErrorCodes, config,
} from "./core.mjs";
import * as excel from "./excel.mjs";
import * as tables from "./tables.mjs";
import * as charts from "./charts.mjs";
import { WorksheetFreezePanes } from "./panes.mjs";
import "./layout.mjs";
import { model } from "./workbook.mjs";

// Office.context.document.settings: an in-memory bag; saveAsync writes it to the workbook.
export class DocumentSettings {
  constructor() { this._bag = new Map(); this.refresh(); }
  refresh() { this._bag = new Map(model.settings); }
  get(name) { return this._bag.has(name) ? JSON.parse(this._bag.get(name)) : null; }
  set(name, value) {
    const text = JSON.stringify(value);
    if (typeof name !== "string" || !name || text === undefined) throw new Error("Invalid setting.");
    this._bag.set(name, text);
  }
  remove(name) { this._bag.delete(name); }
  saveAsync(options, callback) {
    const cb = typeof options === "function" ? options : callback;
    model.settings = new Map(this._bag);
    if (cb) setTimeout(() => cb({ status: "succeeded", value: undefined, error: null }), 0);
  }
  refreshAsync(callback) {
    this.refresh();
    if (callback) setTimeout(() => callback({ status: "succeeded", value: this, error: null }), 0);
  }
}

export const documentSettings = new DocumentSettings();

// What Office.context.requirements reports; tests lower it to reach fallbacks.
export const supported = { ExcelApi: "1.20" };

// "1.9" < "1.10": versions compare part by part, not as decimals.
function versionParts(v) { return String(v).split(".").map(Number); }
function versionAtMost(a, b) {
  const [x, y] = [versionParts(a), versionParts(b)];
  for (let i = 0; i < Math.max(x.length, y.length); i += 1) {
    const d = (x[i] || 0) - (y[i] || 0);
    if (d !== 0) return d < 0;
  }
  return true;
}

export function install(g) {
  g.OfficeExtension = {
    Error: OfficeExtensionError,
    ErrorCodes,
    ClientObject,
    ClientResult,
    ClientRequestContext,
    TrackedObjects,
    EventHandlers,
    EventHandlerResult,
    config,
  };
  g.Excel = {
    run: excel.run,
    RequestContext: excel.RequestContext,
    Workbook: excel.Workbook,
    Application: excel.Application,
    Runtime: excel.Runtime,
    WorksheetCollection: excel.WorksheetCollection,
    Worksheet: excel.Worksheet,
    Range: excel.Range,
    RangeAreas: excel.RangeAreas,
    RangeCollection: excel.RangeCollection,
    RangeFormat: excel.RangeFormat,
    RangeFill: excel.RangeFill,
    RangeFont: excel.RangeFont,
    SettingCollection: excel.SettingCollection,
    Setting: excel.Setting,
    TableCollection: tables.TableCollection,
    Table: tables.Table,
    TableRowCollection: tables.TableRowCollection,
    TableRow: tables.TableRow,
    TableColumnCollection: tables.TableColumnCollection,
    TableColumn: tables.TableColumn,
    WorksheetFreezePanes,
    ChartCollection: charts.ChartCollection,
    Chart: charts.Chart,
    ChartTitle: charts.ChartTitle,
    ChartType: charts.ChartType,
    ChartSeriesBy: charts.ChartSeriesBy,
    ErrorCodes,
    ClearApplyTo: { all: "All", formats: "Formats", contents: "Contents", hyperlinks: "Hyperlinks", removeHyperlinks: "RemoveHyperlinks", resetContents: "ResetContents" },
    RangeValueType: { unknown: "Unknown", empty: "Empty", string: "String", integer: "Integer", double: "Double", boolean: "Boolean", error: "Error", richValue: "RichValue" },
    DataChangeType: { unknown: "Unknown", rangeEdited: "RangeEdited", rowInserted: "RowInserted", rowDeleted: "RowDeleted", columnInserted: "ColumnInserted", columnDeleted: "ColumnDeleted", cellInserted: "CellInserted", cellDeleted: "CellDeleted" },
    EventSource: { local: "Local", remote: "Remote" },
    EventType: { worksheetChanged: "WorksheetChanged" },
  };
  // Not Office.js: the stand-in's request counters, for tests that drive it through the whole
  // stack (a plain property, read without a sync).
  Object.defineProperty(g.Excel, "standinStats", { enumerable: false, get: () => ({ ...model.stats }) });
  const Office = g.Office;
  Office.context = {
    host: Office.HostType.Excel,
    platform: Office.PlatformType.OfficeOnline,
    document: { settings: documentSettings },
    requirements: {
      isSetSupported(name, version) {
        const top = supported[name];
        return top !== undefined && (version === undefined || versionAtMost(version, top));
      },
    },
  };
}

