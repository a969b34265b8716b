"""The in-memory workbook and its Office.js-named object model.

One module per concern: the member layer (members.py), cell contents
(cells.py), formulas (formulas.py), ranges (ranges.py), and the workbook
with its worksheets (sheets.py). This module gathers what the add-in and
users of the simulation need.
"""

from .members import (Function, JsError, JsObject, NullObject, PyCallback, method,  # noqa: F401
                      prop)
from .ranges import Range, RangeAreas, intersect, union  # noqa: F401
from .sheets import ExcelRoot, RequestContext, Workbook, Worksheet  # noqa: F401
