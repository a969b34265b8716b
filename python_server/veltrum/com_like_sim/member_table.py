"""The table of what the simulated workbook answers, type by type, as the
README shows it (``python -m com_like_sim members`` prints it)."""

import inspect
import json

from . import addin  # noqa: F401  (defines the add-in's own types)
from .members import Function, JsObject, NullObject, prop

# Read from the roots down; types not named here follow in definition order.
MEMBER_TABLE_FIRST = ("RequestContext", "Excel", "Workbook", "WorksheetCollection", "Worksheet",
                      "Range")
MEMBER_TABLE_SHARED = ("isNullObject",)  # every object has it


def member_table_types():
    """Every type the add-in hands out: the roots first, then the rest in
    the order they were defined. A class without a type of its own (a
    shared base) is none."""
    found, seen = [], set()
    todo = [JsObject]
    while todo:
        cls = todo.pop()
        todo += cls.__subclasses__()
        if (cls is not JsObject and "js_type" in cls.__dict__
                and not issubclass(cls, (NullObject, Function)) and cls.js_type not in seen):
            seen.add(cls.js_type)
            found.append(cls)
    first = {name: i for i, name in enumerate(MEMBER_TABLE_FIRST)}
    return sorted(found, key=lambda c: (first.get(c.js_type, len(first)), c.defined))


def member_table_describe(cls):
    """(properties, methods) as text: "name", or "name (rw)" for a writable
    property, and "name(parameters)" for a method."""
    props, methods = [], []
    for name, member in sorted(cls.members().items()):
        if name in MEMBER_TABLE_SHARED:
            continue
        if isinstance(member, prop):
            props.append("`%s`%s" % (name, " (rw)" if member.fset else ""))
        else:
            params = list(inspect.signature(member).parameters.values())[1:]
            methods.append("`%s(%s)`" % (name, ", ".join(str(p) for p in params)))
    return ", ".join(props) or "-", ", ".join(methods) or "-"


def member_table_json():
    """The table both workbooks read (com_like_host/addin/members.json):
    type -> {"properties": {name: "r" | "rw"}, "methods": {name: [parameter
    names]}}."""
    out = {}
    for cls in member_table_types():
        props, methods = {}, {}
        for name, member in sorted(cls.members().items()):
            if name in MEMBER_TABLE_SHARED:
                continue
            if isinstance(member, prop):
                props[name] = "rw" if member.fset else "r"
            else:
                methods[name] = list(inspect.signature(member).parameters)[1:]
        out[cls.js_type] = {"properties": props, "methods": methods}
    return out


def member_table_json_text():
    return json.dumps(member_table_json(), indent=1) + "\n"


def member_table_markdown():
    lines = ["| Type | Properties (rw: writable) | Methods |", "| --- | --- | --- |"]
    for cls in member_table_types():
        props, methods = member_table_describe(cls)
        lines.append("| %s | %s | %s |" % (cls.js_type, props, methods))
    return "\n".join(lines)
