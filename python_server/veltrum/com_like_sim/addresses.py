"""A1-style addresses: parsing and formatting.

Rows and columns are 0-based internally; a block is (row0, col0, row1, col1)
with both corners inclusive, the way Excel addresses read. Whole columns
("B:D") span every row and whole rows ("2:5") every column.
"""

import re

from com_like_host.columns import column_index, column_letters  # noqa: F401  (re-exported)

MAX_ROWS = 1048576
MAX_COLUMNS = 16384  # column XFD

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$")
_COLUMN = re.compile(r"^\$?([A-Za-z]{1,3})$")
_ROW = re.compile(r"^\$?([0-9]{1,7})$")
# A sheet name is either quoted ('My Sheet', with '' for a quote) or plain.
_SHEET = re.compile(r"^(?:'((?:[^']|'')+)'|([^'!:]+))!(.*)$")
# Names of word characters only go unquoted.
_PLAIN_SHEET = re.compile(r"^\w+$", re.ASCII)


class AddressError(ValueError):
    """An address that cannot name a block of cells."""


def _hint(text):
    return ("invalid address %r: use references such as 'A1', 'A1:C3', 'B:B', '2:5' "
            "or 'Sheet1!B2:D4'" % (text,))


def _outside(whole):
    return AddressError("address %r is outside the sheet (rows 1..%d, columns A..XFD)"
                        % (whole, MAX_ROWS))


def _column(text, whole):
    col = column_index(text)
    if col >= MAX_COLUMNS:
        raise _outside(whole)
    return col


def _row(text, whole):
    row = int(text) - 1
    if not 0 <= row < MAX_ROWS:
        raise _outside(whole)
    return row


def parse_cell(text, whole=None):
    whole = text if whole is None else whole
    m = _CELL.match(text.strip())
    if not m:
        raise AddressError(_hint(whole))
    return _row(m.group(2), whole), _column(m.group(1), whole)


def split_sheet(text):
    """'Sheet1!A1' -> ('Sheet1', 'A1'); 'A1' -> (None, 'A1')."""
    m = _SHEET.match(text.strip())
    if not m:
        return None, text.strip()
    name = m.group(1).replace("''", "'") if m.group(1) is not None else m.group(2)
    return name, m.group(3)


def _whole_lines(first, last, text):
    """'B:D' or '2:5' as a block, or None when the parts are cell references."""
    a, b = _COLUMN.match(first), _COLUMN.match(last)
    if a and b:
        c0, c1 = _column(a.group(1), text), _column(b.group(1), text)
        return 0, min(c0, c1), MAX_ROWS - 1, max(c0, c1)
    a, b = _ROW.match(first), _ROW.match(last)
    if a and b:
        r0, r1 = _row(a.group(1), text), _row(b.group(1), text)
        return min(r0, r1), 0, max(r0, r1), MAX_COLUMNS - 1
    return None


def parse_block(text):
    """'A1:C3', 'B:B' or '2:2' (no sheet part) -> (row0, col0, row1, col1)."""
    if not isinstance(text, str) or not text.strip():
        raise AddressError(_hint(text))
    parts = [p.strip() for p in text.split(":")]
    if len(parts) == 1:
        r, c = parse_cell(parts[0], text)
        return r, c, r, c
    if len(parts) != 2:
        raise AddressError(_hint(text))
    lines = _whole_lines(parts[0], parts[1], text)
    if lines is not None:
        return lines
    r0, c0 = parse_cell(parts[0], text)
    r1, c1 = parse_cell(parts[1], text)
    return min(r0, r1), min(c0, c1), max(r0, r1), max(c0, c1)


def parse_address(text):
    """'Sheet1!B2:D4' -> ('Sheet1', (1, 1, 3, 3)); the sheet is None when absent."""
    if not isinstance(text, str):
        raise AddressError("an address must be text such as 'A1:C3', got %r" % (text,))
    sheet, rest = split_sheet(text)
    return sheet, parse_block(rest)


def quote_sheet(name):
    if _PLAIN_SHEET.match(name):
        return name
    return "'" + name.replace("'", "''") + "'"


def is_unbounded(block):
    """True for whole columns or whole rows."""
    r0, c0, r1, c1 = block
    return (r0 == 0 and r1 == MAX_ROWS - 1) or (c0 == 0 and c1 == MAX_COLUMNS - 1)


def format_block(block):
    r0, c0, r1, c1 = block
    if r0 == 0 and r1 == MAX_ROWS - 1:
        return "%s:%s" % (column_letters(c0), column_letters(c1))
    if c0 == 0 and c1 == MAX_COLUMNS - 1:
        return "%d:%d" % (r0 + 1, r1 + 1)
    first = "%s%d" % (column_letters(c0), r0 + 1)
    if (r0, c0) == (r1, c1):
        return first
    return "%s:%s%d" % (first, column_letters(c1), r1 + 1)


def format_address(sheet, block):
    return "%s!%s" % (quote_sheet(sheet), format_block(block))
