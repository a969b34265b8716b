"""The table of Office.js members that both workbooks implement, as the
simulated workbook and the add-in read it (``addin/members.json``, made
from the simulated workbook's declarations by ``python -m com_like_sim
members --json``), and the error texts made from it: a missing member
with the nearest name ("Did you mean 'getRange'?"), a keyword that
names no parameter, and how a call that made an object reads
(``Context.workbook.worksheets.getItem("Sheeet1")``). ``addin/members.mjs``
is the same for the add-in; both must give the same text for the same
table.

Each type maps to {"properties": {name: "r" | "rw"}, "methods": {name:
[parameter names, in order]}}.
"""

import functools
import json
import pathlib

TABLE_PATH = pathlib.Path(__file__).resolve().parent / "addin" / "members.json"


@functools.lru_cache(maxsize=None)
def table():
    with open(TABLE_PATH, encoding="utf-8") as f:
        return json.load(f)


def member_names(type_name):
    """The type's member names, sorted; None for a type not in the table."""
    entry = table().get(type_name)
    if entry is None:
        return None
    return sorted(list(entry["properties"]) + list(entry["methods"]))


def parameters(type_name, method):
    """The method's parameter names; None when the table does not know it."""
    entry = table().get(type_name)
    return None if entry is None else entry["methods"].get(method)


def distance(a, b):
    """Edit distance (insertions, deletions, substitutions) of two texts."""
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[len(b)]


def nearest(name, names):
    """The name closest to ``name`` ignoring case, within a third of its
    length (at least one edit); the first in ``names``' order on a tie."""
    best, best_d = None, max(1, len(name) // 3) + 1
    for candidate in names:
        d = distance(name.lower(), candidate.lower())
        if d < best_d:
            best, best_d = candidate, d
    return best


def missing_member_text(type_name, name):
    text = "%s has no member '%s'." % (type_name, name)
    names = member_names(type_name)
    if not names:
        return text
    close = nearest(name, names)
    if close is not None:
        text += " Did you mean '%s'?" % close
    return text + " Members of %s: %s" % (type_name, ", ".join(names))


def unknown_keyword_text(label, keyword, params):
    text = "%s() has no parameter '%s'." % (label, keyword)
    close = nearest(keyword, params)
    if close is not None:
        text += " Did you mean '%s'?" % close
    return text + " Its parameters: %s" % (", ".join(params) or "none")


LABEL_LIMIT = 200
LITERAL_LIMIT = 40     # a long text argument is shown by its start


def path_text(text):
    """A path of calls, cut to its last LABEL_LIMIT characters (a loop of
    getOffsetRange calls makes long ones)."""
    return text if len(text) <= LABEL_LIMIT else "..." + text[-(LABEL_LIMIT - 3):]


def call_text(label, args, kwargs):
    """How a call reads in an error: label("text", 1, name=2); the add-in
    writes its calls the same way."""
    parts = [_literal(a) for a in args] + ["%s=%s" % (k, _literal(v)) for k, v in kwargs.items()]
    return path_text("%s(%s)" % (label, ", ".join(parts)))


def _literal(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if value is None:
        return "null"
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        if len(value) > LITERAL_LIMIT:
            value = value[:LITERAL_LIMIT - 3] + "..."
        return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')
    if isinstance(value, (list, tuple)):
        return "Array"
    if isinstance(value, dict):
        return "Object"
    return getattr(value, "js_type", type(value).__name__)
