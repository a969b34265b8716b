"""Excel's column letters: one definition for the host, its helpers and
the simulated workbook. Columns count from 0."""

from __future__ import annotations


def column_letters(col: int) -> str:
    """0 -> 'A', 25 -> 'Z', 26 -> 'AA'."""
    letters = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(ord("A") + rem) + letters
    return letters


def column_index(letters: str) -> int:
    """'A' -> 0, 'AA' -> 26; ValueError for anything but letters."""
    text = letters.strip().upper()
    if not text or not all("A" <= ch <= "Z" for ch in text):
        raise ValueError("%r is not a column letter" % (letters,))
    n = 0
    for ch in text:
        n = n * 26 + (ord(ch) - ord("A") + 1)
    return n - 1
