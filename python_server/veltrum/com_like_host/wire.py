"""The records and responses com_like exchanges with an add-in, for the
Python side: the simulated add-in, the hosts and the tests' add-in doubles
build and read them here, and nowhere else.

A value record is ``{"type": tag, "value": v, "isSpec": bool}``: plain
values ("Null", "Bool", "Int", "Float", "String", "Date" as ISO text,
"Bytes" as Base64), containers ("Array", "Dict", with the add-in's object
"id" when they stand for an object of its own), and references
(``isSpec`` true): an add-in object by its type name and integer id, or a
Python callable ("Python_Function") by its callable id.
"""

from __future__ import annotations

import base64
import binascii
import datetime as _dt
from collections.abc import Callable
from typing import Any

# A value record, or a response.
Record = dict[str, Any]

__all__ = ["WireError", "null", "plain", "reference", "callable_ref", "array", "mapping",
           "encode", "decode", "ok", "error", "is_reference", "FIXED_IDS", "FIRST_ISSUED_ID",
           "ROOT_PROXIES"]


# The objects every add-in holds from its start, and their ids; it issues
# every other id itself, from FIRST_ISSUED_ID on.
CONTEXT_ID, EXCEL_ID, GETSETTING_ID, UNION_ID, INTERSECT_ID, TRANSACTION_ID = range(6)
FIXED_IDS = frozenset(range(6))
FIRST_ISSUED_ID = 6
ROOT_PROXIES = ("Context", "Excel", "GetSetting", "Union", "Intersect")   # ids 0 to 4


class WireError(ValueError):
    """A record that cannot be read."""


def null() -> Record:
    return {"type": "Null", "value": None, "isSpec": False}


def plain(tag: str, value: Any) -> Record:
    return {"type": tag, "value": value, "isSpec": False}


def reference(type_name: str, oid: int) -> Record:
    return {"type": type_name, "value": oid, "isSpec": True}


def callable_ref(callable_id: str) -> Record:
    return {"type": "Python_Function", "value": callable_id, "isSpec": True}


def array(items: list[Record], oid: int | None = None) -> Record:
    rec = {"type": "Array", "value": items, "isSpec": False}
    if oid is not None:
        rec["id"] = oid
    return rec


def mapping(items: dict[str, Record], oid: int | None = None) -> Record:
    rec = {"type": "Dict", "value": items, "isSpec": False}
    if oid is not None:
        rec["id"] = oid
    return rec


def is_reference(record: Record) -> bool:
    return bool(record.get("isSpec")) and record.get("type") != "Python_Function"


def encode(value: Any, obj: Callable[[Any], tuple[str, int] | None] | None = None,
           container: Callable[[Any], int | None] | None = None) -> Record:
    """The record for a Python value. ``obj(value)`` gives (type name, id)
    for anything that is not plain data (None: refused); ``container(value)``
    gives the id an Array or Dict stands for (None: no id)."""
    if value is None:
        return null()
    if isinstance(value, bool):
        return plain("Bool", value)
    if isinstance(value, int):
        return plain("Int", value)
    if isinstance(value, float):
        return plain("Float", value)
    if isinstance(value, str):
        return plain("String", value)
    if isinstance(value, (_dt.datetime, _dt.date)):
        return plain("Date", value.isoformat())
    if isinstance(value, (bytes, bytearray)):
        return plain("Bytes", base64.b64encode(bytes(value)).decode("ascii"))
    if isinstance(value, (list, tuple)):
        oid = container(value) if container is not None else None
        return array([encode(v, obj, container) for v in value], oid)
    if isinstance(value, dict):
        oid = container(value) if container is not None else None
        return mapping({k: encode(v, obj, container) for k, v in value.items()}, oid)
    found = obj(value) if obj is not None else None
    if found is None:
        raise WireError("cannot send a value of type %s" % type(value).__name__)
    return reference(*found)


_SCALARS = {"Bool": bool, "Int": int, "Float": float, "String": str}


def decode(record: Any, resolve: Callable[[str, Any], Any] | None = None,
           function: Callable[[str], Any] | None = None) -> Any:
    """The Python value of a record. ``resolve(type, id)`` gives the object
    a reference names and ``function(callable_id)`` what a Python callable
    reference stands for (without them, references are refused)."""
    if not isinstance(record, dict):
        raise WireError("malformed value record %r" % (record,))
    tag: Any = record.get("type")
    v: Any = record.get("value")
    if tag == "Python_Function":
        if function is None:
            raise WireError("a Python callable cannot be used here")
        return function(str(v))
    if record.get("isSpec"):
        if resolve is None:
            raise WireError("an object reference cannot be used here")
        return resolve(tag, v)
    if tag in ("Null", "Undefined"):
        return None
    if tag in _SCALARS:
        try:
            return _SCALARS[tag](v)
        except (TypeError, ValueError):
            raise WireError("bad %s value %r" % (tag, v)) from None
    if tag == "Date":
        try:
            # A date alone stays a date (written to a cell it gets a date
            # format, not a date-time one).
            if isinstance(v, str) and len(v) == 10:
                return _dt.date.fromisoformat(v)
            # Senders other than com_like may mark UTC with "Z".
            return _dt.datetime.fromisoformat(v[:-1] + "+00:00" if v.endswith("Z") else v)
        except (AttributeError, TypeError, ValueError):
            raise WireError("bad date %r: expected ISO 8601 text" % (v,)) from None
    if tag == "Bytes":
        try:
            return base64.b64decode(v or "")
        except (binascii.Error, TypeError, ValueError):
            raise WireError("bad Base64 bytes value") from None
    if tag == "Array":
        return [decode(x, resolve, function) for x in (v or [])]
    if tag == "Dict":
        return {k: decode(x, resolve, function) for k, x in (v or {}).items()}
    raise WireError("unknown value type %r" % (tag,))


def ok(request_id: Any = None, result: Record | None = None) -> Record:
    """A successful response; ``result`` is a record (default Null)."""
    return {"requestId": request_id, "kind": "response", "ok": True,
            "result": null() if result is None else result}


def error(request_id: Any = None, message: str | None = None,
          missing_member: bool | None = None) -> Record:
    """A failed response; without a message the "error" dict is empty.
    ``missing_member`` (for a failed GET): whether the member read does not
    exist, which Python raises as an attribute error, or the read failed for
    another reason, which it raises as a RuntimeError."""
    err: dict[str, Any] = {} if message is None else {"message": message}
    if missing_member is not None:
        err["missingMember"] = bool(missing_member)
    return {"requestId": request_id, "kind": "response", "ok": False, "result": None,
            "error": err}
