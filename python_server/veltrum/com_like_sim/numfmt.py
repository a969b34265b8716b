"""What ``Range.text`` shows: a cell's value under its number format.

Covers the formats reports use: General, fixed decimals ("0.00"),
thousands separators ("#,##0"), percent ("0.0%"), literal text around the
number ("$#,##0.00", '0 "units"'), sections for negative and zero values,
"@" (text), and date and time codes on serial numbers ("yyyy-mm-dd",
"m/d/yyyy h:mm AM/PM", "dddd, mmmm d"). Column width never matters here.
"""

import datetime as _dt
import re
from decimal import ROUND_HALF_UP, Decimal

_EPOCH = _dt.datetime(1899, 12, 30)
_LAST_SERIAL = 2958466                      # 10000-01-01: beyond Excel's calendar
_QUOTED = re.compile(r'"[^"]*"')
_LITERAL = re.compile(r'"([^"]*)"|\\(.)|_.|\*.')
_DIGITS = re.compile(r"[#0?][#0?,]*(\.[#0?]*)?")
_DATE_TOKENS = re.compile(r'"[^"]*"|\\.|AM/PM|y+|m+|d+|h+|s+|.', re.IGNORECASE)


def display(value, fmt="General"):
    """``value`` as ``values`` reads it (an error as its text, empty as "")."""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, str):
        sections = (fmt or "General").split(";")
        if value == "" or len(sections) < 4:
            return value
        return _QUOTED.sub(lambda m: m.group(0)[1:-1], sections[3]).replace("@", value, 1)
    if not fmt or fmt.lower() == "general" or fmt == "@":
        return general(value)
    if _is_date(fmt):
        return _date(value, fmt)
    return _number(value, fmt)


def general(n):
    if n == 0:
        return "0"
    a = abs(n)
    if float(n).is_integer() and a < 1e11:
        return str(int(n))
    if a >= 1e11 or a < 1e-9:
        mantissa, exp = ("%.5e" % n).split("e")
        mantissa = mantissa.rstrip("0").rstrip(".") if "." in mantissa else mantissa
        return "%sE%s%02d" % (mantissa, "-" if int(exp) < 0 else "+", abs(int(exp)))
    rounded = float("%.10g" % n)
    return str(int(rounded)) if rounded.is_integer() else repr(rounded)


def _fixed(x, decimals):
    """x to ``decimals`` places, halves away from zero (as a cell shows it)."""
    q = Decimal(1).scaleb(-decimals)
    return str(Decimal(x).quantize(q, rounding=ROUND_HALF_UP))


def _literal(text):
    return _LITERAL.sub(lambda m: m.group(1) if m.group(1) is not None else (m.group(2) or ""),
                        text)


def _number(n, fmt):
    sections = fmt.split(";")
    section, value = sections[0], n
    if n < 0 and len(sections) > 1:
        section, value = sections[1], -n
    if n == 0 and len(sections) > 2:
        section = sections[2]
    blanked = _QUOTED.sub(lambda m: " " * len(m.group(0)), section)
    m = _DIGITS.search(blanked)
    if m is None:
        return _literal(section)
    before, after = _literal(section[:m.start()]), _literal(section[m.end():])
    if "%" in before + after:
        value *= 100
    pattern = m.group(0)
    whole = pattern.split(".")[0]
    decimals = len(m.group(1)) - 1 if m.group(1) else 0
    text = _fixed(abs(value), decimals)
    int_part, _, frac = text.partition(".")
    if int_part == "0" and "0" not in whole:
        int_part = ""
    if "," in whole:
        int_part = "{:,}".format(int(int_part)) if int_part else ""
    text = int_part + ("." + frac if decimals else "")
    sign = "-" if value < 0 and len(sections) == 1 and any(c in "123456789" for c in text) else ""
    return sign + before + text + after


def _is_date(fmt):
    bare = re.sub(r'"[^"]*"|\\.', "", fmt)
    return bool(re.search(r"[ydhs]", bare, re.IGNORECASE)
                or (re.search(r"\bm{1,5}\b", bare, re.IGNORECASE) and re.search(r"[:/-]", bare)))


def _parts(serial):
    day = int(serial // 1)
    secs = round((serial - day) * 86400)
    if secs >= 86400:
        day, secs = day + 1, secs - 86400
    if day == 60:                               # the 1900-02-29 Excel counts
        y, mo, d = 1900, 2, 29
    elif day == 0:
        y, mo, d = 1900, 1, 0
    else:
        date = _EPOCH + _dt.timedelta(days=day if day > 60 else day + 1)
        y, mo, d = date.year, date.month, date.day
    weekday = (day - 1) % 7                     # 0 = Sunday
    return y, mo, d, weekday, secs // 3600, secs // 60 % 60, secs % 60


_MONTHS = ["January", "February", "March", "April", "May", "June", "July", "August",
           "September", "October", "November", "December"]
_DAYS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]


def _date(serial, fmt):
    if serial < 0 or serial >= _LAST_SERIAL:
        return "#" * 11
    y, mo, d, weekday, h, mi, s = _parts(serial)
    tokens = _DATE_TOKENS.findall(fmt)
    twelve = any(t.upper() == "AM/PM" for t in tokens)
    units = [i for i, t in enumerate(tokens) if t[0].lower() in "hsdym"]
    out = []
    for i, tok in enumerate(tokens):
        low = tok.lower()
        n = len(tok)
        if tok.startswith('"'):
            out.append(tok[1:-1])
        elif tok.startswith("\\"):
            out.append(tok[1:])
        elif low == "am/pm":
            out.append("AM" if h < 12 else "PM")
        elif low[0] == "y":
            out.append("%02d" % (y % 100) if n <= 2 else str(y))
        elif low[0] == "d":
            out.append([str(d), "%02d" % d, _DAYS[weekday][:3], _DAYS[weekday]][min(n, 4) - 1])
        elif low[0] == "h":
            hour = (h + 11) % 12 + 1 if twelve else h
            out.append("%02d" % hour if n > 1 else str(hour))
        elif low[0] == "s":
            out.append("%02d" % s if n > 1 else str(s))
        elif low[0] == "m":
            prev = [tokens[j] for j in units if j < i]
            nxt = [tokens[j] for j in units if j > i]
            minutes = (prev and prev[-1][0].lower() == "h") or (nxt and nxt[0][0].lower() == "s")
            if minutes and n <= 2:
                out.append("%02d" % mi if n > 1 else str(mi))
            else:
                name = _MONTHS[mo - 1]
                out.append([str(mo), "%02d" % mo, name[:3], name, name[0]][min(n, 5) - 1])
        else:
            out.append(tok)
    return "".join(out)
