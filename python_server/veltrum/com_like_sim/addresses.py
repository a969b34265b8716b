"""A1-style cell addresses: parsing and formatting.

Rows and columns are 0-based internally; a block is (row0, col0, row1, col1)
with both corners inclusive, the way Excel addresses read.
"""

import re

MAX_ROWS = 1048576
MAX_COLUMNS = 16384  # column XFD

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$")
# A sheet name is either quoted ('My Sheet', with '' for a quote) or plain.
_SHEET = re.compile(r"^(?:'((?:[^']|'')+)'|([^'!:]+))!(.*)$")


class AddressError(ValueError):
    """An address that cannot name a block of cells."""


def column_letters(col):
    """0 -> 'A', 25 -> 'Z', 26 -> 'AA'."""
    letters = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(ord("A") + rem) + letters
    return letters


def column_index(letters):
    n = 0
    for ch in letters.upper():
        n = n * 26 + (ord(ch) - ord("A") + 1)
    return n - 1


def _hint(text):
    return ("invalid address %r: use cell references such as 'A1', 'A1:C3' "
            "or 'Sheet1!B2:D4'" % (text,))


def parse_cell(text, whole=None):
    m = _CELL.match(text.strip())
    if not m:
        raise AddressError(_hint(whole if whole is not None else text))
    col = column_index(m.group(1))
    row = int(m.group(2)) - 1
    if row < 0 or row >= MAX_ROWS or col >= MAX_COLUMNS:
        raise AddressError("address %r is outside the sheet (rows 1..%d, columns A..XFD)"
                           % (whole if whole is not None else text, MAX_ROWS))
    return row, col


def split_sheet(text):
    """'Sheet1!A1' -> ('Sheet1', 'A1'); 'A1' -> (None, 'A1')."""
    m = _SHEET.match(text.strip())
    if not m:
        return None, text.strip()
    name = m.group(1).replace("''", "'") if m.group(1) is not None else m.group(2)
    return name, m.group(3)


def parse_block(text):
    """'A1:C3' (no sheet part) -> (row0, col0, row1, col1), normalised."""
    if not isinstance(text, str) or not text.strip():
        raise AddressError(_hint(text))
    parts = text.split(":")
    if len(parts) == 1:
        r, c = parse_cell(parts[0], text)
        return r, c, r, c
    if len(parts) != 2:
        raise AddressError(_hint(text))
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
    if re.match(r"^[A-Za-z_][A-Za-z0-9_.]*$", name):
        return name
    return "'" + name.replace("'", "''") + "'"


def format_block(block):
    r0, c0, r1, c1 = block
    first = "%s%d" % (column_letters(c0), r0 + 1)
    if (r0, c0) == (r1, c1):
        return first
    return "%s:%s%d" % (first, column_letters(c1), r1 + 1)


def format_address(sheet, block):
    return "%s!%s" % (quote_sheet(sheet), format_block(block))
