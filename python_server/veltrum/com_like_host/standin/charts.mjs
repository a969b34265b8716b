// Charts of a worksheet, as metadata: type, name, id, title, source rectangle, and position and
// size in points (placed over cells by the sheet's column widths and row heights). Nothing is
// drawn.

import { ClientObject, ClientCollection, defineScalars, extendScalars, ErrorCodes, fail } from "./core.mjs";
import { Range, Worksheet } from "./excel.mjs";
import { live, parseAddress } from "./workbook.mjs";
import { extent } from "./layout.mjs";

const ro = (read) => ({ read });
const rw = (read, write) => ({ read, write });

export const ChartType = Object.freeze({
  invalid: "Invalid", columnClustered: "ColumnClustered", columnStacked: "ColumnStacked",
  columnStacked100: "ColumnStacked100", _3DColumnClustered: "3DColumnClustered", _3DColumnStacked: "3DColumnStacked",
  _3DColumnStacked100: "3DColumnStacked100", barClustered: "BarClustered", barStacked: "BarStacked",
  barStacked100: "BarStacked100", _3DBarClustered: "3DBarClustered", _3DBarStacked: "3DBarStacked",
  _3DBarStacked100: "3DBarStacked100", lineStacked: "LineStacked", lineStacked100: "LineStacked100",
  lineMarkers: "LineMarkers", lineMarkersStacked: "LineMarkersStacked", lineMarkersStacked100: "LineMarkersStacked100",
  pieOfPie: "PieOfPie", pieExploded: "PieExploded", _3DPieExploded: "3DPieExploded", barOfPie: "BarOfPie",
  xyscatterSmooth: "XYScatterSmooth", xyscatterSmoothNoMarkers: "XYScatterSmoothNoMarkers",
  xyscatterLines: "XYScatterLines", xyscatterLinesNoMarkers: "XYScatterLinesNoMarkers", areaStacked: "AreaStacked",
  areaStacked100: "AreaStacked100", _3DAreaStacked: "3DAreaStacked", _3DAreaStacked100: "3DAreaStacked100",
  doughnutExploded: "DoughnutExploded", radarMarkers: "RadarMarkers", radarFilled: "RadarFilled", surface: "Surface",
  surfaceWireframe: "SurfaceWireframe", surfaceTopView: "SurfaceTopView",
  surfaceTopViewWireframe: "SurfaceTopViewWireframe", bubble: "Bubble", bubble3DEffect: "Bubble3DEffect",
  stockHLC: "StockHLC", stockOHLC: "StockOHLC", stockVHLC: "StockVHLC", stockVOHLC: "StockVOHLC",
  cylinderColClustered: "CylinderColClustered", cylinderColStacked: "CylinderColStacked",
  cylinderColStacked100: "CylinderColStacked100", cylinderBarClustered: "CylinderBarClustered",
  cylinderBarStacked: "CylinderBarStacked", cylinderBarStacked100: "CylinderBarStacked100", cylinderCol: "CylinderCol",
  coneColClustered: "ConeColClustered", coneColStacked: "ConeColStacked", coneColStacked100: "ConeColStacked100",
  coneBarClustered: "ConeBarClustered", coneBarStacked: "ConeBarStacked", coneBarStacked100: "ConeBarStacked100",
  coneCol: "ConeCol", pyramidColClustered: "PyramidColClustered", pyramidColStacked: "PyramidColStacked",
  pyramidColStacked100: "PyramidColStacked100", pyramidBarClustered: "PyramidBarClustered",
  pyramidBarStacked: "PyramidBarStacked", pyramidBarStacked100: "PyramidBarStacked100", pyramidCol: "PyramidCol",
  _3DColumn: "3DColumn", line: "Line", _3DLine: "3DLine", _3DPie: "3DPie", pie: "Pie", xyscatter: "XYScatter",
  _3DArea: "3DArea", area: "Area", doughnut: "Doughnut", radar: "Radar", histogram: "Histogram",
  boxwhisker: "Boxwhisker", pareto: "Pareto", regionMap: "RegionMap", treemap: "Treemap", waterfall: "Waterfall",
  sunburst: "Sunburst", funnel: "Funnel",
  columnClusteredEx: "ColumnClusteredEx", columnStackedEx: "ColumnStackedEx",
  columnStacked100Ex: "ColumnStacked100Ex", lineEx: "LineEx", lineStackedEx: "LineStackedEx",
  lineStacked100Ex: "LineStacked100Ex", pieEx: "PieEx", doughnutEx: "DoughnutEx",
  barClusteredEx: "BarClusteredEx", barStackedEx: "BarStackedEx", barStacked100Ex: "BarStacked100Ex",
  areaEx: "AreaEx", areaStackedEx: "AreaStackedEx", areaStacked100Ex: "AreaStacked100Ex",
  xyscatterEx: "XYScatterEx", bubbleEx: "BubbleEx",
});
export const ChartSeriesBy = Object.freeze({ auto: "Auto", columns: "Columns", rows: "Rows" });

const DEFAULT_SIZE = { width: 360, height: 216 };   // points: Excel's 5 x 3 inch chart

const points = (v) => (typeof v === "number" && Number.isFinite(v) && v >= 0 ? v : fail(ErrorCodes.invalidArgument));

// The rectangle a setPosition argument names on the chart's sheet.
function cellRect(chart, cell) {
  if (cell instanceof Range) {
    const e = cell._resolve();
    if (e === null || live(e.sheet) !== chart.sheet) fail(ErrorCodes.invalidArgument);
    return e.rect;
  }
  if (typeof cell !== "string") fail(ErrorCodes.invalidArgument);
  const bang = cell.lastIndexOf("!");
  if (bang >= 0 && cell.slice(0, bang).replace(/^'(.*)'$/, "$1").replace(/''/g, "'").toLowerCase() !== chart.sheet.name.toLowerCase()) {
    fail(ErrorCodes.invalidArgument);
  }
  return parseAddress(cell.slice(bang + 1));
}

// The chart's top-left corner goes to startCell's; with endCell it covers through endCell.
function setPosition(chart, startCell, endCell) {
  liveChart(chart);
  const start = cellRect(chart, startCell);
  let size = null;
  if (endCell !== undefined && endCell !== null) {
    const end = cellRect(chart, endCell);
    if (end.r1 < start.r0 || end.c1 < start.c0) fail(ErrorCodes.invalidArgument);
    size = { width: extent(chart.sheet, "columns", start.c0, end.c1), height: extent(chart.sheet, "rows", start.r0, end.r1) };
  }
  chart.left = extent(chart.sheet, "columns", 0, start.c0 - 1);
  chart.top = extent(chart.sheet, "rows", 0, start.r0 - 1);
  if (size) Object.assign(chart, size);
}

const CHART_TYPES = new Set(Object.values(ChartType).filter((t) => t !== "Invalid"));
const chartType = (v) => (CHART_TYPES.has(v) ? v : fail(ErrorCodes.invalidArgument));

let chartSeq = 0;
const sheetCharts = (sheet) => sheet.charts || (sheet.charts = []);

function liveChart(c) {
  live(c.sheet);
  if (c.deleted) fail(ErrorCodes.itemNotFound);
  return c;
}

// Charts are named "Chart N" on their sheet, N never reused there.
function addChart(sheet, type, sourceData, seriesBy) {
  live(sheet);
  const t = chartType(type);
  if (!(sourceData instanceof Range)) fail(ErrorCodes.invalidArgument);
  const source = sourceData._resolve();
  if (source === null) fail(ErrorCodes.invalidArgument);
  live(source.sheet);
  const by = seriesBy === undefined || seriesBy === null ? "Auto" : seriesBy;
  if (!Object.values(ChartSeriesBy).includes(by)) fail(ErrorCodes.invalidArgument);
  sheet.chartNumber = (sheet.chartNumber || 0) + 1;
  chartSeq += 1;
  const chart = {
    sheet, type: t, source, seriesBy: by, name: `Chart ${sheet.chartNumber}`, title: "", deleted: false,
    left: 0, top: 0, ...DEFAULT_SIZE,
    id: `{${chartSeq.toString(16).toUpperCase().padStart(8, "0")}-0003-0000-C000-000000000046}`,
  };
  sheetCharts(sheet).push(chart);
  return chart;
}

export class ChartCollection extends ClientCollection {
  _list(s) { return sheetCharts(live(s)).slice(); }

  _find(s, name) {
    if (typeof name !== "string") fail(ErrorCodes.invalidArgument);
    return this._list(s).find((c) => c.name === name) || null;   // the first of one name
  }

  add(type, sourceData, seriesBy) {
    if (sourceData instanceof ClientObject) { this.context._checkOwn(sourceData); sourceData._checkUsable(); }
    let created = null;
    const data = [type ?? null, seriesBy ?? null];
    this._queueCommand("ChartCollection.add", (s) => { created = addChart(s, type, sourceData, seriesBy); }, data);
    return this._child(Chart, "add", () => created || fail(ErrorCodes.itemNotFound), data);
  }

  getItem(name) {
    return this._child(Chart, "getItem", (s) => this._find(s, name) || fail(ErrorCodes.itemNotFound), [name]);
  }

  getItemOrNullObject(name) {
    return this._child(Chart, "getItemOrNullObject", (s) => this._find(s, name) || fail(ErrorCodes.itemNotFound),
      [name], { nullable: true });
  }

  getItemAt(index) {
    return this._child(Chart, "getItemAt", (s) => {
      if (!Number.isInteger(index)) fail(ErrorCodes.invalidArgument);
      return this._list(s)[index] || fail(ErrorCodes.itemNotFound);
    }, [index]);
  }

  getCount() { return this._callForResult("getCount", (s) => this._list(s).length); }
}

export class Chart extends ClientObject {
  setPosition(startCell, endCell) {
    for (const cell of [startCell, endCell]) {
      if (cell instanceof ClientObject) { this.context._checkOwn(cell); cell._checkUsable(); }
    }
    this._queueCommand("Chart.setPosition", (c) => setPosition(c, startCell, endCell),
      [typeof startCell === "string" ? startCell : null, typeof endCell === "string" ? endCell : null]);
  }

  delete() {
    this._queueCommand("Chart.delete", (c) => {
      liveChart(c);
      c.deleted = true;
      sheetCharts(c.sheet).splice(sheetCharts(c.sheet).indexOf(c), 1);
    });
  }
}

export class ChartTitle extends ClientObject {}

defineScalars(ChartCollection, "ChartCollection", { count: ro((s) => sheetCharts(live(s)).length) });
ChartCollection._itemType = Chart;
defineScalars(Chart, "Chart", {
  id: ro((c) => liveChart(c).id),
  name: rw((c) => liveChart(c).name, (c, v) => {
    liveChart(c);
    if (typeof v !== "string" || !v) fail(ErrorCodes.invalidArgument);
    c.name = v;
  }),
  chartType: rw((c) => liveChart(c).type, (c, v) => { liveChart(c).type = chartType(v); }),
  ...Object.fromEntries(["left", "top", "width", "height"].map((k) => [k,
    rw((c) => liveChart(c)[k], (c, v) => { liveChart(c)[k] = points(v); })])),
}, {
  title: (c) => new ChartTitle(c.context, c, (e) => e, "title"),
  worksheet: (c) => new Worksheet(c.context, c, (e) => liveChart(e).sheet, "worksheet"),
});
defineScalars(ChartTitle, "ChartTitle", {
  text: rw((c) => liveChart(c).title, (c, v) => {
    liveChart(c);
    if (typeof v !== "string") fail(ErrorCodes.invalidArgument);
    c.title = v;
  }),
});

extendScalars(Worksheet, {}, {
  charts: (w) => new ChartCollection(w.context, w, (s) => s, "charts"),
});
