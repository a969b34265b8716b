"""Column widths and row heights, in points, and fitting them to the text.

Widths are estimated, not measured: a column fits its longest shown text
at 7 pixels a character plus 10 pixels of margin (0.75 points a pixel).
One font and no wrapping, so a fitted row has the standard height. Sizes
are kept as spans painted in order, the last over a line wins, so that a
whole-column range costs one entry.
"""

import math

from . import numfmt
from .formulas import ErrorValue, Evaluator
from .members import INVALID_ARGUMENT, JsError

STANDARD_WIDTH = 48.0     # points: 8.43 characters, 64 pixels
STANDARD_HEIGHT = 15.0    # points: 20 pixels
MAX_WIDTH = 1342.5        # points: 255 characters
MAX_HEIGHT = 409.0


def text_width(chars):
    return (7 * chars + 10) * 0.75


def size_arg(value, limit, what):
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or not 0 <= value <= limit):
        raise JsError(INVALID_ARGUMENT, "%s must be a number of points from 0 to %g, got %r"
                      % (what, limit, value))
    return float(value)


class Spans:
    """Sizes of lines (columns or rows) painted over spans; a line not
    painted has the default."""

    def __init__(self, default):
        self.default = default
        self.spans = []             # (first, last, size), oldest first

    def paint(self, first, last, size):
        self.spans = [s for s in self.spans if not (first <= s[0] and s[1] <= last)]
        self.spans.append((first, last, size))

    def at(self, line):
        for first, last, size in reversed(self.spans):
            if first <= line <= last:
                return size
        return self.default

    def total(self, first, last):
        """The summed size of lines first..last."""
        if last < first:
            return 0.0
        cuts = {first, last + 1}
        for a, b, _ in self.spans:
            cuts.update(x for x in (a, b + 1) if first < x <= last)
        cuts = sorted(cuts)
        return float(sum((b - a) * self.at(a) for a, b in zip(cuts, cuts[1:])))

    def common(self, first, last):
        """The one size of lines first..last, or None when they differ."""
        cuts = {first}
        for a, b, _ in self.spans:
            cuts.update(x for x in (a, b + 1) if first < x <= last)
        sizes = {self.at(x) for x in cuts}
        return sizes.pop() if len(sizes) == 1 else None


def shown_texts(sheet, block):
    """{column: longest shown text length} over the block's stored cells."""
    r0, c0, r1, c1 = block
    ev = Evaluator(sheet.cells)
    longest = {}
    for (r, c), cell in sheet.cells.items():
        if r0 <= r <= r1 and c0 <= c <= c1 and cell.value != "":
            value = ev.result((r, c))
            text = value.text if isinstance(value, ErrorValue) else numfmt.display(
                value, cell.number_format)
            longest[c] = max(longest.get(c, 0), len(text))
    return longest


def autofit_columns(sheet, block):
    """Columns with shown text fit it; columns without keep their width."""
    for col, chars in shown_texts(sheet, block).items():
        sheet.column_widths.paint(col, col, min(text_width(chars), MAX_WIDTH))


def autofit_rows(sheet, block):
    sheet.row_heights.paint(block[0], block[2], STANDARD_HEIGHT)
