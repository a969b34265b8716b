"""Charts of a worksheet, as metadata: type, name, id, title, source
block, and position and size in points (placed over cells by the sheet's
column widths and row heights). Nothing is drawn."""

import itertools

import math

from .addresses import AddressError, parse_address
from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject, int_arg,
                      item_at, method, prop)
from .ranges import Range

_chart_ids = itertools.count(1)

# Excel.ChartType
CHART_TYPES = frozenset("""
Invalid ColumnClustered ColumnStacked ColumnStacked100 3DColumnClustered 3DColumnStacked
3DColumnStacked100 BarClustered BarStacked BarStacked100 3DBarClustered 3DBarStacked
3DBarStacked100 LineStacked LineStacked100 LineMarkers LineMarkersStacked LineMarkersStacked100
PieOfPie PieExploded 3DPieExploded BarOfPie XYScatterSmooth XYScatterSmoothNoMarkers
XYScatterLines XYScatterLinesNoMarkers AreaStacked AreaStacked100 3DAreaStacked
3DAreaStacked100 DoughnutExploded RadarMarkers RadarFilled Surface SurfaceWireframe
SurfaceTopView SurfaceTopViewWireframe Bubble Bubble3DEffect StockHLC StockOHLC StockVHLC
StockVOHLC CylinderColClustered CylinderColStacked CylinderColStacked100 CylinderBarClustered
CylinderBarStacked CylinderBarStacked100 CylinderCol ConeColClustered ConeColStacked
ConeColStacked100 ConeBarClustered ConeBarStacked ConeBarStacked100 ConeCol PyramidColClustered
PyramidColStacked PyramidColStacked100 PyramidBarClustered PyramidBarStacked
PyramidBarStacked100 PyramidCol 3DColumn Line 3DLine 3DPie Pie XYScatter 3DArea Area Doughnut
Radar Histogram Boxwhisker Pareto RegionMap Treemap Waterfall Sunburst Funnel ColumnClusteredEx
ColumnStackedEx ColumnStacked100Ex LineEx LineStackedEx LineStacked100Ex PieEx DoughnutEx
BarClusteredEx BarStackedEx BarStacked100Ex AreaEx AreaStackedEx AreaStacked100Ex XYScatterEx
BubbleEx
""".split()) - {"Invalid"}
SERIES_BY = ("Auto", "Columns", "Rows")   # Excel.ChartSeriesBy
DEFAULT_SIZE = (360.0, 216.0)             # points: Excel's 5 x 3 inch chart


def _points(value, what):
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value < 0):
        raise JsError(INVALID_ARGUMENT, "%s must be a number of points, 0 or more, got %r"
                      % (what, value))
    return float(value)


def _chart_type(value):
    if value not in CHART_TYPES:
        raise JsError(INVALID_ARGUMENT, "%r is not an Excel.ChartType; use one such as "
                      "'ColumnClustered', 'Line' or 'Pie'" % (value,))
    return value


class Chart(JsObject):
    js_type = "Chart"

    def __init__(self, sheet, chart_type, source, series_by, name):
        self.sheet = sheet
        self.chart_type = chart_type
        self.source = source        # (sheet, block) of the data
        self.series_by = series_by
        self.name_ = name
        self.id_ = "{%08X-0003-0000-0000-000000000000}" % next(_chart_ids)
        self.title_ = ""
        self.deleted = False
        self.left_ = self.top_ = 0.0
        self.width_, self.height_ = DEFAULT_SIZE

    def _cell_block(self, cell, what):
        if isinstance(cell, NullObject):
            raise cell.missing(what)
        if isinstance(cell, Range):
            if cell._alive() is not self.sheet:
                raise JsError(INVALID_ARGUMENT, "%s: the cell is on another worksheet" % what)
            return cell.block
        try:
            name, block = parse_address(cell)
        except AddressError as e:
            raise JsError(INVALID_ARGUMENT, "%s: %s" % (what, e)) from None
        if name is not None and name.lower() != self.sheet.name.lower():
            raise JsError(INVALID_ARGUMENT, "%s(%r): the address names another worksheet"
                          % (what, cell))
        return block

    def check_alive(self):
        self.sheet.check_alive()
        if self.deleted:
            raise JsError(ITEM_NOT_FOUND, "chart %r was deleted" % self.name_)

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
        if not isinstance(value, str) or not value:
            raise JsError(INVALID_ARGUMENT, "Chart.name must be non-empty text, got %r" % (value,))
        self.name_ = value

    @prop
    def chartType(self):
        self.check_alive()
        return self.chart_type

    @chartType.setter
    def chartType(self, value):
        self.check_alive()
        self.chart_type = _chart_type(value)

    @prop
    def title(self):
        return ChartTitle(self)

    # Called in the class body to build a property, so ``name`` is no self.
    def _size(name: str, what: str) -> prop:  # type: ignore[misc]  # noqa: N805
        def read(self):
            self.check_alive()
            return getattr(self, name)

        def write(self, value):
            self.check_alive()
            setattr(self, name, _points(value, what))
        return prop(read).setter(write)

    left = _size("left_", "Chart.left")
    top = _size("top_", "Chart.top")
    width = _size("width_", "Chart.width")
    height = _size("height_", "Chart.height")
    del _size

    @method(mutating=True)
    def setPosition(self, startCell, endCell=None):
        """Moves the chart's top-left corner to startCell's; with endCell,
        sizes it to cover through endCell's bottom-right corner."""
        self.check_alive()
        r0, c0, _, _ = self._cell_block(startCell, "setPosition startCell")
        widths, heights = self.sheet.column_widths, self.sheet.row_heights
        size = None
        if endCell is not None:
            r1, c1 = self._cell_block(endCell, "setPosition endCell")[2:]
            if r1 < r0 or c1 < c0:
                raise JsError(INVALID_ARGUMENT, "setPosition: endCell lies above or left of "
                              "startCell")
            size = widths.total(c0, c1), heights.total(r0, r1)
        self.left_, self.top_ = widths.total(0, c0 - 1), heights.total(0, r0 - 1)
        if size is not None:
            self.width_, self.height_ = size

    @prop
    def worksheet(self):
        self.check_alive()
        return self.sheet

    @method(mutating=True)
    def delete(self):
        self.check_alive()
        self.deleted = True
        self.sheet.chart_list.remove(self)


class ChartTitle(JsObject):
    js_type = "ChartTitle"

    def __init__(self, chart):
        self.chart = chart

    @prop
    def text(self):
        self.chart.check_alive()
        return self.chart.title_

    @text.setter
    def text(self, value):
        self.chart.check_alive()
        if not isinstance(value, str):
            raise JsError(INVALID_ARGUMENT, "ChartTitle.text must be text, got %r" % (value,))
        self.chart.title_ = value


class ChartCollection(JsObject):
    js_type = "ChartCollection"

    def __init__(self, sheet):
        self.sheet = sheet

    def _charts(self):
        self.sheet.check_alive()
        return list(self.sheet.chart_list)

    def _find(self, name):
        if not isinstance(name, str):
            raise JsError(INVALID_ARGUMENT, "charts.getItem expects a chart name, got %r" % (name,))
        # The first of several charts of one name.
        return next((c for c in self._charts() if c.name_ == name), None)

    @prop
    def count(self):
        return len(self._charts())

    @prop
    def items(self):
        return self._charts()

    @method
    def getCount(self):
        return len(self._charts())

    @method
    def getItem(self, name):
        chart = self._find(name)
        if chart is None:
            raise JsError(ITEM_NOT_FOUND, "charts.getItem(%r): no such chart" % (name,))
        return chart

    @method
    def getItemOrNullObject(self, name):
        chart = self._find(name)
        return NullObject("Chart", "chart %r" % (name,)) if chart is None else chart

    @method
    def getItemAt(self, index):
        charts = self._charts()
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < len(charts):
            raise JsError(ITEM_NOT_FOUND, "charts.getItemAt(%d): there are %d charts"
                          % (i, len(charts)))
        return charts[i]

    @method(mutating=True)
    def add(self, type, sourceData, seriesBy="Auto"):
        self.sheet.check_alive()
        chart_type = _chart_type(type)
        if isinstance(sourceData, NullObject):
            raise sourceData.missing("charts.add")
        if not isinstance(sourceData, Range):
            raise JsError(INVALID_ARGUMENT, "charts.add: sourceData must be a Range, got %s"
                          % getattr(sourceData, "js_type", sourceData.__class__.__name__))
        if seriesBy is None:
            seriesBy = "Auto"
        if seriesBy not in SERIES_BY:
            raise JsError(INVALID_ARGUMENT, "charts.add: seriesBy must be one of %s, got %r"
                          % (", ".join(SERIES_BY), seriesBy))
        self.sheet.chart_number += 1
        chart = Chart(self.sheet, chart_type, (sourceData._alive(), sourceData.block), seriesBy,
                      "Chart %d" % self.sheet.chart_number)
        self.sheet.chart_list.append(chart)
        return chart

    def get_item(self, key):
        return item_at(self._charts(), key, "charts")
