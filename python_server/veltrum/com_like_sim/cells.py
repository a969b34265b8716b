"""Cell contents: what a written value becomes and how a cell reads back.

Values are taken the way Excel takes typed input: numeric text becomes a
number, "TRUE"/"FALSE" booleans, a string starting with "=" a formula,
dates their serial number; None, NaN and "" empty the cell.
"""

import datetime as _dt
import math
import re

from .members import INVALID_ARGUMENT, JsError

EPOCH = _dt.datetime(1899, 12, 30)
_NUMERIC = re.compile(r"^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$")
_EXACT = 2 ** 53     # beyond this a double no longer holds every integer
# Excel's documented limits: characters of text a cell can hold,
# and of a formula.
MAX_TEXT = 32767
MAX_FORMULA = 8192

SHAPE_MISMATCH = ("The number of rows or columns in the input array doesn't match the size "
                  "or dimensions of the range.")


class Cell:
    __slots__ = ("value", "fill", "bold", "italic", "font_color", "number_format")

    FORMATS = {"fill": "#FFFFFF", "bold": False, "italic": False, "font_color": "#000000",
               "number_format": "General"}

    def __init__(self):
        self.value = ""
        for attr, default in self.FORMATS.items():
            setattr(self, attr, default)

    def reset_formats(self):
        for attr, default in self.FORMATS.items():
            setattr(self, attr, default)


def is_formula(value):
    return isinstance(value, str) and len(value) > 1 and value[0] == "="


def number(value):
    """A float that holds a whole number reads as an int, as the same
    number does after a trip through JavaScript."""
    if isinstance(value, float) and value.is_integer() and abs(value) < _EXACT:
        return int(value)
    return value


def as_double(rows):
    """Cell data as it reads back: every number a float, since a cell
    holds a double (booleans stay booleans)."""
    return [[float(v) if type(v) is int else v for v in row] for row in rows]


def serial(value):
    """A date or datetime as Excel's serial number: days since 1899-12-30,
    the time of day as the fraction."""
    if isinstance(value, _dt.datetime):
        # An aware datetime arrives in UTC; the cell keeps its wall time.
        delta = value.replace(tzinfo=None) - EPOCH
        return number(delta.days + (delta.seconds + delta.microseconds / 1e6) / 86400.0)
    return (value - EPOCH.date()).days


def typed(value, what):
    """One written value as the cell stores it."""
    if value is None or value == "":
        return ""
    if isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value if abs(value) < _EXACT else float(value)
    if isinstance(value, float):
        if math.isnan(value):
            return ""
        if math.isinf(value):
            raise JsError(INVALID_ARGUMENT, "%s: a cell cannot hold an infinite number" % what)
        return value
    if isinstance(value, str):
        if is_formula(value):
            if len(value) > MAX_FORMULA:
                raise JsError(INVALID_ARGUMENT, "%s: a formula has at most %d characters, got %d"
                              % (what, MAX_FORMULA, len(value)))
            return value
        if len(value) > MAX_TEXT:
            raise JsError(INVALID_ARGUMENT, "%s: a cell holds at most %d characters of text, got "
                          "%d" % (what, MAX_TEXT, len(value)))
        text = value.strip()
        if _NUMERIC.match(text):
            converted = float(text)
            if math.isinf(converted):
                return value
            return number(converted)
        if text.upper() in ("TRUE", "FALSE"):
            return text.upper() == "TRUE"
        return value
    if isinstance(value, (_dt.datetime, _dt.date)):
        return serial(value)
    raise JsError(INVALID_ARGUMENT, "%s: a cell holds a number, text, a boolean, a date or "
                  "None, not %s" % (what, type(value).__name__))


# The formats a date written to a General cell gets (as the add-in gives them).
DATE_FORMAT = "yyyy-mm-dd"
DATETIME_FORMAT = "yyyy-mm-dd hh:mm:ss"


def date_kind(value, what=None):
    """The format a written value gives a General cell: a date's, a
    datetime's, or None for anything else (and dates without a serial)."""
    if isinstance(value, _dt.datetime):
        return DATETIME_FORMAT if value.replace(tzinfo=None) >= _dt.datetime(1900, 1, 1) else None
    if isinstance(value, _dt.date):
        return DATE_FORMAT if value >= _dt.date(1900, 1, 1) else None
    return None


def has_dates(value):
    if isinstance(value, list):
        return any(has_dates(v) for v in value)
    return isinstance(value, (_dt.date, _dt.datetime))


def refuse_infinities(value, what):
    """Cell data with an infinity is refused when it is given, so that a
    batch refuses it at the assignment, as the add-in does, not at commit."""
    rows = value if isinstance(value, list) else [value]
    for row in rows:
        for v in (row if isinstance(row, list) else [row]):
            if isinstance(v, float) and math.isinf(v):
                raise JsError(INVALID_ARGUMENT, "%s: a cell cannot hold an infinite number" % what)


def grid(value, rows, cols, what, convert):
    """A rows x cols block of converted values: a list of row lists of
    exactly that shape, or one scalar or 1 x 1 list that fills every cell
    (Office.js's own sample sets [["$0.00"]] on the four cells E3:E6)."""
    if (isinstance(value, list) and len(value) == 1 and isinstance(value[0], list)
            and len(value[0]) == 1 and rows * cols > 1):
        value = value[0][0]
    if not isinstance(value, list):
        v = convert(value, what)
        return [[v] * cols for _ in range(rows)]
    if len(value) != rows or not all(isinstance(r, list) and len(r) == cols for r in value):
        got = "%d row(s)" % len(value)
        if value and all(isinstance(r, list) for r in value):
            widths = sorted({len(r) for r in value})
            got += " of %s column(s)" % "/".join(str(w) for w in widths)
        elif value:
            got += " that are not lists (values need a list of row lists, e.g. [[1, 2]])"
        raise JsError(INVALID_ARGUMENT, "%s %s: the range is %d x %d but the value has %s"
                      % (SHAPE_MISMATCH, what, rows, cols, got))
    return [[convert(v, what) for v in r] for r in value]


def number_format(value, what):
    if value is None or value == "":
        return "General"
    if not isinstance(value, str):
        raise JsError(INVALID_ARGUMENT, "%s: formats are text such as 'General' or '0.00', "
                      "got %r" % (what, value))
    return value


def value_type(value, is_error=False):
    """The Excel.RangeValueType name of a value as ``values`` reads it."""
    if is_error:
        return "Error"
    if value == "" and isinstance(value, str):
        return "Empty"
    if isinstance(value, bool):
        return "Boolean"
    if isinstance(value, (int, float)):
        return "Double"
    return "String"
