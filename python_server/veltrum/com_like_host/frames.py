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

NaN and infinities become null (orjson's rule, and JSON.stringify's).
Integers travel as JSON numbers; those beyond 64 bits, which orjson
refuses, are sent as floats, the only kind of number a cell holds.
"""

import orjson

__all__ = ["FrameError", "encode", "decode", "pack", "unpack"]

TAG_LETTER = {"Null": "N", "Bool": "B", "Int": "I", "Float": "F", "String": "S",
              "Date": "D", "Bytes": "Y"}
LETTER_TAG = {v: k for k, v in TAG_LETTER.items()}

# Kinds each side may send, and the keys whose values hold records.
HOST_KINDS = frozenset(("request", "release", "callback_result"))
ADDIN_KINDS = frozenset(("excel_response", "callback", "release_callables", "hello"))


class FrameError(ValueError):
    """A frame that is not what the other end may send."""


# ---------------------------------------------------------------- records

def pack(record):
    """The record with every packable plain array in compact form."""
    if type(record) is not dict:
        return record
    tag = record.get("type")
    if tag == "Array":
        items = record.get("value")
        if type(items) is not list or not items:
            return record
        packed = _pack_plain(record, items)
        if packed is not None:
            return packed
        out = dict(record)
        out["value"] = [pack(r) for r in items]
        return out
    if tag == "Dict":
        entries = record.get("value")
        if type(entries) is not dict:
            return record
        out = dict(record)
        out["value"] = {k: pack(r) for k, r in entries.items()}
        return out
    return record


def _pack_plain(record, items):
    if record.get("isSpec") or not (len(record) == 3 or (len(record) == 4 and "id" in record)):
        return None
    letters = []
    values = []
    for r in items:
        # Only exact three-key plain records: anything else must travel as it is.
        if type(r) is not dict or len(r) != 3 or r.get("isSpec") is not False:
            return None
        letter = TAG_LETTER.get(r.get("type"))
        if letter is None or "value" not in r:
            return None
        letters.append(letter)
        values.append(r["value"])
    first = letters[0]
    tags = first if letters.count(first) == len(letters) else "".join(letters)
    out = {"@": tags, "v": values}
    if "id" in record:
        out["id"] = record["id"]
    return out


def unpack(record):
    """Inverse of ``pack`` (also of the add-in's packing)."""
    if type(record) is not dict:
        return record
    if "@" in record and "type" not in record:
        return _unpack_plain(record)
    tag = record.get("type")
    if tag == "Array":
        items = record.get("value")
        if type(items) is list:
            record["value"] = [unpack(r) for r in items]
    elif tag == "Dict":
        entries = record.get("value")
        if type(entries) is dict:
            record["value"] = {k: unpack(r) for k, r in entries.items()}
    return record


def _unpack_plain(record):
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
        out["id"] = record["id"]
    return out


# ---------------------------------------------------------------- frames

def _dumps(obj):
    try:
        return orjson.dumps(obj)
    except orjson.JSONEncodeError as e:
        if "Integer exceeds" not in str(e):
            raise
    return orjson.dumps(_floats_for_huge_ints(obj))


def _floats_for_huge_ints(obj):
    if type(obj) is dict:
        return {k: _floats_for_huge_ints(v) for k, v in obj.items()}
    if type(obj) is list:
        return [_floats_for_huge_ints(v) for v in obj]
    if isinstance(obj, int) and not isinstance(obj, bool) and not -2**63 <= obj < 2**64:
        try:
            return float(obj)
        except OverflowError:
            return None   # beyond any double: travels like an infinity
    return obj


def encode_request(message, release=None):
    """A request message (it already carries "kind": "request"), with its
    value or arguments packed and released object ids riding along."""
    frame = dict(message)
    if "value" in frame:
        frame["value"] = pack(frame["value"])
    args = frame.get("args")
    if type(args) is list:
        frame["args"] = [dict(a, value=pack(a["value"])) if type(a) is dict and "value" in a
                         else a for a in args]
    if release:
        frame["release"] = list(release)
    frame["kind"] = "request"
    return _dumps(frame)


def encode_release(ids):
    return _dumps({"kind": "release", "ids": list(ids)})


def encode_callback_result(call_id, ok, result=None, error=None):
    if ok:
        return _dumps({"kind": "callback_result", "callId": call_id, "ok": True,
                       "result": pack(result)})
    return _dumps({"kind": "callback_result", "callId": call_id, "ok": False,
                   "error": {"message": str(error)}})


def encode(frame):
    """Any other frame, as it is (tests and the benchmark's echo)."""
    return _dumps(frame)


def decode(data, kinds=ADDIN_KINDS):
    """One frame from the add-in, records restored; FrameError if it is not
    a JSON object of a known kind with the fields that kind needs."""
    try:
        frame = orjson.loads(data)
    except orjson.JSONDecodeError as e:
        raise FrameError("not JSON: %s" % e) from None
    if type(frame) is not dict:
        raise FrameError("not a JSON object")
    kind = frame.get("kind")
    if kind not in kinds:
        raise FrameError("unknown kind %r" % (kind,))
    if kind == "excel_response":
        if "requestId" not in frame:
            raise FrameError("excel_response without requestId")
        if "result" in frame:
            frame["result"] = unpack(frame["result"])
    elif kind == "callback":
        args = frame.get("args", [])
        if type(frame.get("callableId")) is not str or type(args) is not list:
            raise FrameError("callback needs a callableId and a list of args")
        frame["args"] = [unpack(a) for a in args]
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
