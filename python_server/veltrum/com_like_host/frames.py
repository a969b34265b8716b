"""Frames between the host and the add-in: one JSON object per WebSocket
text frame, with a "kind" (see addin/frames.mjs for the other end).

Plain records travel compactly: an "Array" record whose elements are all
plain scalar records ("Null", "Bool", "Int", "Float", "String", "Date",
"Bytes") is sent as ``{"@": tags, "v": [values], "id"?: n}``, where
``tags`` is one letter per element, or a single letter when all elements
share it. A 1,000 x 1,000 block of floats is then about 18 MB of JSON
instead of 58 MB, and both ends parse and rebuild it faster than they
parse the verbatim records. Both ends restore exactly the records the
other end packed; nothing above this layer sees the compact form.

NaN becomes null (orjson's rule, and JSON.stringify's). An infinity in a
"Float" record travels as the text "Infinity" or "-Infinity", which the
add-in reads back as the number: a cell cannot hold one, and the add-in
must be able to refuse it rather than take it for an empty cell.
Integers travel as JSON numbers; those beyond 64 bits, which orjson
refuses, are sent as floats, the only kind of number a cell holds. Text
with lone UTF-16 surrogates, which JavaScript strings may hold, crosses
intact both ways as ``\\uXXXX`` escapes.
"""

import gc
import json
import math
import operator

import orjson

from .wire import FIRST_ISSUED_ID, is_reference

__all__ = ["FrameError", "encode", "decode", "pack", "unpack"]

TAG_LETTER = {"Null": "N", "Bool": "B", "Int": "I", "Float": "F", "String": "S",
              "Date": "D", "Bytes": "Y"}
LETTER_TAG = {v: k for k, v in TAG_LETTER.items()}

# Kinds each side may send, and the keys whose values hold records.
HOST_KINDS = frozenset(("request", "release", "callback_result", "echo", "cancel"))
ADDIN_KINDS = frozenset(("excel_response", "callback", "release_callables", "hello", "echo",
                         "part", "progress"))
# "progress": {"requestId", "rows", "totalRows", "cells", "totalCells"}, how
# far a request has got (the add-in sends one per block of rows);
# "cancel": {"requestId"}, stop that request between blocks.
PROGRESS_COUNTS = ("rows", "totalRows", "cells", "totalCells")

# Packing can be turned off to measure what it is worth (bench/transport.py).
PACK = True
BIG_FRAME = 1 << 20


class FrameError(ValueError):
    """A frame that is not what the other end may send."""


# ---------------------------------------------------------------- records
#
# Object ids: each session's ids are shifted by a base of its own on the
# host's side (``base`` = session number << 32), so that a proxy left over
# from an earlier page (whose add-in counted from 6 again) can never name,
# release or be passed as an argument for an object of the live one. Ids 0
# to 5 are the same in every session and never shifted.

ID_SPAN = 1 << 32


class StaleObject(RuntimeError):
    def __init__(self):
        super().__init__("Excel Object used after messaging context was stopped")


def to_addin_id(oid, base):
    if not base or type(oid) is not int or oid < FIRST_ISSUED_ID:
        return oid
    local = oid - base
    if not FIRST_ISSUED_ID <= local < ID_SPAN:
        raise StaleObject()
    return local


def to_host_id(oid, base):
    if not base:
        return oid
    if type(oid) is str:
        try:
            oid = int(oid)
        except ValueError:
            return oid
    if type(oid) is int and FIRST_ISSUED_ID <= oid < ID_SPAN:
        return oid + base
    return oid


def release_ids(ids, base):
    """The ids of this session, as the add-in knows them; others dropped."""
    if not base:
        return list(ids)
    return [i - base for i in ids if type(i) is int and FIRST_ISSUED_ID <= i - base < ID_SPAN]


def pack(record, base=0):
    """The record with every packable plain array in compact form (and its
    object references in the add-in's ids)."""
    if type(record) is not dict:
        return record
    tag = record.get("type")
    if tag == "Array":
        items = record.get("value")
        if type(items) is not list or not items:
            return record
        if PACK:
            packed = _pack_plain(record, items)
            if packed is not None:
                return packed
        out = dict(record)
        out["value"] = [pack(r, base) for r in items]
        return out
    if tag == "Dict":
        entries = record.get("value")
        if type(entries) is not dict:
            return record
        out = dict(record)
        out["value"] = {k: pack(r, base) for k, r in entries.items()}
        return out
    if tag == "Float" and record.get("value") in _INFINITIES:
        return dict(record, value=_infinity_text(record["value"]))
    if base and is_reference(record):
        return dict(record, value=to_addin_id(record.get("value"), base))
    return record


_INFINITIES = (math.inf, -math.inf)


def _infinity_text(v):
    if type(v) is float and math.isinf(v):
        return "Infinity" if v > 0 else "-Infinity"
    return v


_get_type = operator.itemgetter("type")
_get_value = operator.itemgetter("value")
_get_spec = operator.itemgetter("isSpec")
PLAIN_TAGS = frozenset(TAG_LETTER)


def _pack_plain(record, items):
    if record.get("isSpec") or not (len(record) == 3 or (len(record) == 4 and "id" in record)):
        return None
    # Only exact three-key plain records: anything else travels as it is.
    # Whole-list passes in C: a row of 1,000 cells costs microseconds. An
    # element that is no mapping fails an itemgetter with TypeError.
    try:
        if set(map(len, items)) != {3} or set(map(_get_spec, items)) != {False}:
            return None
        kinds = set(map(_get_type, items))
        if not kinds <= PLAIN_TAGS:
            return None
        values = list(map(_get_value, items))
    except (KeyError, TypeError):
        return None
    # Containment compares in C: a row without infinities costs two passes.
    if "Float" in kinds and (math.inf in values or -math.inf in values):
        values = [_infinity_text(v) for v in values]
    if len(kinds) == 1:
        tags = TAG_LETTER[next(iter(kinds))]
    else:
        tags = "".join([TAG_LETTER[r["type"]] for r in items])
    out = {"@": tags, "v": values}
    if "id" in record:
        out["id"] = record["id"]
    return out


def unpack(record, base=0):
    """Inverse of ``pack`` (also of the add-in's packing)."""
    if type(record) is not dict:
        return record
    if "@" in record and "type" not in record:
        return _unpack_plain(record, base)
    tag = record.get("type")
    if tag == "Array":
        items = record.get("value")
        if type(items) is list:
            record["value"] = [unpack(r, base) for r in items]
    elif tag == "Dict":
        entries = record.get("value")
        if type(entries) is dict:
            record["value"] = {k: unpack(r, base) for k, r in entries.items()}
    elif base and is_reference(record):
        record["value"] = to_host_id(record.get("value"), base)
        return record
    if base and "id" in record:
        record["id"] = to_host_id(record["id"], base)
    return record


def _unpack_plain(record, base=0):
    tags, values = record.get("@"), record.get("v")
    if type(tags) is not str or type(values) is not list or not tags:
        raise FrameError("bad compact array")
    if len(tags) == 1:
        tag = LETTER_TAG.get(tags)
        if tag is None:
            raise FrameError("bad compact array tag %r" % tags)
        items = [{"type": tag, "value": v, "isSpec": False} for v in values]
    else:
        if len(tags) != len(values):
            raise FrameError("compact array: %d tags for %d values" % (len(tags), len(values)))
        try:
            items = [{"type": LETTER_TAG[t], "value": v, "isSpec": False}
                     for t, v in zip(tags, values)]
        except KeyError as e:
            raise FrameError("bad compact array tag %s" % e) from None
    out = {"type": "Array", "value": items, "isSpec": False}
    if "id" in record:
        out["id"] = to_host_id(record["id"], base)
    return out


# ---------------------------------------------------------------- parts
#
# An answer too large for one frame comes as "part" frames, each with
# "key" (the request id, or the echo's id) and "value" (a slice of the
# answer's list: an Array record, or a plain list for an echo), then the
# answer's own frame with the rest of the list and "parts", the number of
# part frames before it. The list is whole again before anyone sees it.

def _part_items(frame, base):
    if type(frame.get("key")) not in (str, int) or "value" not in frame:
        raise FrameError("part needs a key and a value")
    value = frame["value"]
    if type(value) is dict:
        value = unpack(value, base)
        if value.get("type") != "Array" or type(value.get("value")) is not list:
            raise FrameError("a part of an answer must hold an array")
        return value["value"]
    if type(value) is not list:
        raise FrameError("a part must hold a list")
    return value


def join_parts(pieces, frame):
    """The answer ``frame`` with the lists of its parts ahead of its own."""
    if frame["kind"] == "echo":
        frame["payload"] = _joined(pieces, frame["payload"])
    else:
        result = frame["result"]
        result["value"] = _joined(pieces, result["value"])
    return frame


def _joined(pieces, tail):
    out = []
    for items in pieces:
        out += items
    out += tail
    return out


# ---------------------------------------------------------------- frames

def _dumps(obj):
    try:
        return orjson.dumps(obj)
    except orjson.JSONEncodeError:
        pass
    # What orjson refuses and JSON can still carry: integers beyond 64
    # bits, and text with lone UTF-16 surrogates, which JavaScript strings
    # hold (half an emoji from a formula); escaped, they cross intact.
    return json.dumps(_json_safe(obj), ensure_ascii=True, allow_nan=False,
                      separators=(",", ":")).encode("ascii")


def _json_safe(obj):
    if type(obj) is dict:
        return {k: _json_safe(v) for k, v in obj.items()}
    if type(obj) is list:
        return [_json_safe(v) for v in obj]
    if type(obj) is float:
        return obj if math.isfinite(obj) else None
    if isinstance(obj, int) and not isinstance(obj, bool) and not -2**63 <= obj < 2**64:
        try:
            return float(obj)
        except OverflowError:
            return None   # beyond any double: travels like an infinity
    return obj


def _refuse_constant(name):
    raise ValueError("%s is not JSON" % name)


def _loads(data):
    try:
        return orjson.loads(data)
    except orjson.JSONDecodeError as e:
        error = e
    # orjson refuses escaped lone surrogates, which JSON allows and the
    # pane's JSON.stringify writes for them: the standard parser takes them.
    try:
        return json.loads(data, parse_constant=_refuse_constant)
    except (ValueError, RecursionError):
        raise FrameError("not JSON: %s" % error) from None


def _large(record):
    items = record.get("value") if type(record) is dict else None
    return type(items) is list and len(items) * max(1, len(_first_value(items))) >= 50_000


def _first_value(items):
    first = items[0] if items else None
    inner = first.get("value") if type(first) is dict else None
    return inner if type(inner) is list else ()


class _NoGC:
    """The collector paused while a large frame is built or read: records
    make no cycles, but a million of them would run it hundreds of times."""

    def __enter__(self):
        self.was_enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.was_enabled:
            gc.enable()


def encode_request(message, release=None, base=0):
    """A request message (it already carries "kind": "request"), with its
    value or arguments packed and released object ids riding along.
    StaleObject if it names an object of another session."""
    if _large(message.get("value")):
        with _NoGC():
            return _encode_request(message, release, base)
    return _encode_request(message, release, base)


def _encode_request(message, release, base):
    frame = dict(message)
    if "caller" in frame:
        frame["caller"] = to_addin_id(frame["caller"], base)
    if "value" in frame:
        frame["value"] = pack(frame["value"], base)
    args = frame.get("args")
    if type(args) is list:
        frame["args"] = [dict(a, value=pack(a["value"], base)) if type(a) is dict and "value" in a
                         else a for a in args]
    if release:
        ids = release_ids(release, base)
        if ids:
            frame["release"] = ids
    frame["kind"] = "request"
    return _dumps(frame)


def encode_release(ids, base=0):
    """None when none of ``ids`` belongs to this session."""
    ids = release_ids(ids, base)
    return _dumps({"kind": "release", "ids": ids}) if ids else None


def encode_callback_result(call_id, ok, result=None, error=None, base=0):
    if ok:
        try:
            result = pack(result, base)
        except StaleObject as e:
            ok, error = False, e
    if ok:
        return _dumps({"kind": "callback_result", "callId": call_id, "ok": True,
                       "result": result})
    return _dumps({"kind": "callback_result", "callId": call_id, "ok": False,
                   "error": {"message": str(error)}})


def encode_cancel(request_id):
    return _dumps({"kind": "cancel", "requestId": request_id})


def encode(frame):
    """Any other frame, as it is (tests and the benchmark's echo)."""
    return _dumps(frame)


def decode(data, kinds=ADDIN_KINDS, base=0):
    """One frame from the add-in, records restored (ids shifted by
    ``base``); FrameError if it is not a JSON object of a known kind with
    the fields that kind needs."""
    if len(data) < BIG_FRAME:
        return _decode(data, kinds, base)
    with _NoGC():
        return _decode(data, kinds, base)


def _decode(data, kinds, base):
    frame = _loads(data)
    if type(frame) is not dict:
        raise FrameError("not a JSON object")
    kind = frame.get("kind")
    if kind not in kinds:
        raise FrameError("unknown kind %r" % (kind,))
    parts = frame.get("parts", 0)
    if type(parts) is not int or parts < 0:
        raise FrameError("bad count of parts %r" % (parts,))
    if kind == "part":
        frame["value"] = _part_items(frame, base)
    elif kind == "excel_response":
        if "requestId" not in frame:
            raise FrameError("excel_response without requestId")
        if "result" in frame:
            frame["result"] = unpack(frame["result"], base)
        if parts and not (type(frame.get("result")) is dict
                          and frame["result"].get("type") == "Array"
                          and type(frame["result"].get("value")) is list):
            raise FrameError("the last part of an answer must hold an array")
    elif kind == "echo" and parts and type(frame.get("payload")) is not list:
        raise FrameError("the last part of an echo must hold a list")
    elif kind == "callback":
        args = frame.get("args", [])
        if type(frame.get("callableId")) is not str or type(args) is not list:
            raise FrameError("callback needs a callableId and a list of args")
        if type(frame.get("source", "")) is not str:
            raise FrameError("a callback's source names an event source as text")
        frame["args"] = [unpack(a, base) for a in args]
    elif kind == "progress":
        if type(frame.get("requestId")) is not str or not all(
                type(frame.get(k, 0)) is int and frame.get(k, 0) >= 0 for k in PROGRESS_COUNTS):
            raise FrameError("progress needs a requestId and counts")
    elif kind == "cancel":
        if "requestId" not in frame:
            raise FrameError("cancel without requestId")
    elif kind == "release":
        if type(frame.get("ids")) is not list:
            raise FrameError("release without ids")
    elif kind == "release_callables":
        ids = frame.get("ids")
        if type(ids) is not list or not all(type(i) is str for i in ids):
            raise FrameError("release_callables needs a list of callable ids")
    elif kind in ("request", "callback_result"):
        # The add-in's own decoding, mirrored for tests of this module.
        if "value" in frame:
            frame["value"] = unpack(frame["value"])
        if type(frame.get("args")) is list:
            for a in frame["args"]:
                if type(a) is dict and "value" in a:
                    a["value"] = unpack(a["value"])
        if "result" in frame:
            frame["result"] = unpack(frame["result"])
    return frame
