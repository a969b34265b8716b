"""Charts of a worksheet, as metadata: type, name, id, title, source
block, and position and size in points (placed over cells by the sheet's
column widths and row heights). Nothing is drawn. The objects here are
views over the model's charts (model.Chart)."""

import math

from .members import (INVALID_ARGUMENT, JsError, JsObject, KeyedCollection, NullObject, method,
                      prop)
from .ranges import Range, block_on, worksheet_of

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

    def __init__(self, chart):
        self.chart = chart          # a model.Chart

    @prop
    def id(self):
        self.chart.check_alive()
        return self.chart.id

    @prop
    def name(self):
        self.chart.check_alive()
        return self.chart.name

    @name.setter
    def name(self, value):
        self.chart.check_alive()
        if not isinstance(value, str) or not value:
            raise JsError(INVALID_ARGUMENT, "Chart.name must be non-empty text, got %r" % (value,))
        self.chart.name = value

    @prop
    def chartType(self):
        self.chart.check_alive()
        return self.chart.chart_type

    @chartType.setter
    def chartType(self, value):
        self.chart.check_alive()
        self.chart.chart_type = _chart_type(value)

    @prop
    def title(self):
        return ChartTitle(self.chart)

    # Called in the class body to build a property, so ``name`` is no self.
    def _size(name: str, what: str) -> prop:  # type: ignore[misc]  # noqa: N805
        def read(self):
            self.chart.check_alive()
            return getattr(self.chart, name)

        def write(self, value):
            self.chart.check_alive()
            setattr(self.chart, name, _points(value, what))
        return prop(read).setter(write)

    left = _size("left", "Chart.left")
    top = _size("top", "Chart.top")
    width = _size("width", "Chart.width")
    height = _size("height", "Chart.height")
    del _size

    @method(mutating=True)
    def setPosition(self, startCell, endCell=None):
        """Moves the chart's top-left corner to startCell's; with endCell,
        sizes it to cover through endCell's bottom-right corner."""
        chart = self.chart
        chart.check_alive()
        r0, c0, _, _ = block_on(chart.sheet, startCell, "setPosition startCell", "cell")
        widths, heights = chart.sheet.column_widths, chart.sheet.row_heights
        size = None
        if endCell is not None:
            r1, c1 = block_on(chart.sheet, endCell, "setPosition endCell", "cell")[2:]
            if r1 < r0 or c1 < c0:
                raise JsError(INVALID_ARGUMENT, "setPosition: endCell lies above or left of "
                              "startCell")
            size = widths.total(c0, c1), heights.total(r0, r1)
        chart.left, chart.top = widths.total(0, c0 - 1), heights.total(0, r0 - 1)
        if size is not None:
            chart.width, chart.height = size

    @prop
    def worksheet(self):
        self.chart.check_alive()
        return worksheet_of(self.chart.sheet)

    @method(mutating=True)
    def delete(self):
        self.chart.check_alive()
        self.chart.delete()


class ChartTitle(JsObject):
    js_type = "ChartTitle"

    def __init__(self, chart):
        self.chart = chart

    @prop
    def text(self):
        self.chart.check_alive()
        return self.chart.title

    @text.setter
    def text(self, value):
        self.chart.check_alive()
        if not isinstance(value, str):
            raise JsError(INVALID_ARGUMENT, "ChartTitle.text must be text, got %r" % (value,))
        self.chart.title = value


class ChartCollection(KeyedCollection):
    js_type = "ChartCollection"
    noun, item_type, item_noun = "charts", "Chart", "chart"

    def __init__(self, sheet):
        self.sheet = sheet

    def _items(self):
        self.sheet.check_alive()
        return [Chart(c) for c in self.sheet.charts]

    def _find(self, name):
        if not isinstance(name, str):
            raise JsError(INVALID_ARGUMENT, "charts.getItem expects a chart name, got %r" % (name,))
        # The first of several charts of one name.
        return next((c for c in self._items() if c.chart.name == name), None)

    # Office.js names the key of a chart ``name``.
    @method
    def getItem(self, name):
        return super().getItem(name)

    @method
    def getItemOrNullObject(self, name):
        return super().getItemOrNullObject(name)

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
        source = (sourceData._alive(), sourceData.block)
        return Chart(self.sheet.add_chart(chart_type, source, seriesBy))
