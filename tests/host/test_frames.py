"""The frame codec: compact plain arrays restore to exactly the records
that were packed, and frames hold only valid JSON."""

import math

import orjson
import pytest

from com_like_host import frames


def rec(tag, value, **extra):
    return dict({"type": tag, "value": value, "isSpec": False}, **extra)


MIXED = rec("Array", [rec("Int", 1), rec("Float", 2.5), rec("String", "x"), rec("Null", None),
                      rec("Bool", True), rec("Date", "2024-01-02T03:04:05"), rec("Bytes", "AAE=")])

ROUND_TRIPS = [
    rec("Int", 5),
    rec("Array", []),
    rec("Array", [rec("Float", 1.5)] * 3),
    MIXED,
    dict(MIXED, id=17),
    rec("Array", [rec("Array", [rec("Int", i), rec("Int", -i)], id=i) for i in range(3)], id=99),
    rec("Dict", {"a": rec("Array", [rec("String", "s")]), "b": rec("Int", 1)}, id=4),
    # Not packable: a reference, an element with an extra key, a nested array.
    rec("Array", [{"type": "Range", "value": 12, "isSpec": True}, rec("Int", 1)]),
    rec("Array", [rec("Int", 1, id=3)]),
    rec("Array", [rec("Array", [])]),
    {"type": "Python_Function", "value": "pyfunc_0_1", "isSpec": True},
]


@pytest.mark.parametrize("record", ROUND_TRIPS)
def test_pack_round_trip(record):
    packed = frames.pack(record)
    assert frames.unpack(orjson.loads(orjson.dumps(packed))) == record


def test_plain_block_is_compact():
    block = rec("Array", [rec("Array", [rec("Float", float(i * j)) for j in range(100)])
                          for i in range(100)])
    verbatim, compact = orjson.dumps(block), orjson.dumps(frames.pack(block))
    assert len(compact) * 3 < len(verbatim)
    assert orjson.loads(compact)["value"][1] == {"@": "F", "v": [float(j) for j in range(100)]}


@pytest.mark.parametrize("bad", [
    {"@": "", "v": []}, {"@": "Q", "v": [1]}, {"@": "IF", "v": [1]}, {"@": "IQ", "v": [1, 2]},
    {"@": 5, "v": [1]}, {"@": "I", "v": "x"},
])
def test_bad_compact_arrays_are_refused(bad):
    with pytest.raises(frames.FrameError):
        frames.unpack(bad)


def test_request_frame_values_and_nonfinite_floats():
    message = {"requestId": "r1", "method": "CALL", "name": "__call__", "caller": 9, "kind": "request",
               "args": [{"arg_type": "PLACED", "value": rec("Array", [rec("Float", math.nan),
                                                                       rec("Float", math.inf)])},
                        {"arg_type": "NAMED", "name": "k", "value": rec("Int", 2**70)}]}
    data = frames.encode_request(message, [7, 8])
    decoded = frames.decode(data, frames.HOST_KINDS)
    assert decoded["release"] == [7, 8] and decoded["kind"] == "request"
    # NaN empties a cell; an infinity stays one, for the add-in to refuse.
    assert decoded["args"][0]["value"] == rec("Array", [rec("Float", None), rec("Float", "Infinity")])
    # Beyond 64 bits: sent as the nearest double, the only number a cell holds.
    assert decoded["args"][1]["value"] == rec("Int", float(2**70))
    assert "release" not in message and message["args"][0]["value"]["value"][0]["type"] == "Float"


@pytest.mark.parametrize("record, sent", [
    (rec("Float", -math.inf), rec("Float", "-Infinity")),
    (rec("Array", [rec("Float", 1.5), rec("Float", -math.inf)]),
     rec("Array", [rec("Float", 1.5), rec("Float", "-Infinity")])),
    (rec("Array", [rec("Array", [rec("Int", 1), rec("Float", math.inf), rec("String", "inf")])]),
     rec("Array", [rec("Array", [rec("Int", 1), rec("Float", "Infinity"), rec("String", "inf")])])),
    (rec("Dict", {"a": rec("Float", math.inf)}), rec("Dict", {"a": rec("Float", "Infinity")})),
])
def test_infinities_travel_as_text(record, sent):
    message = {"requestId": "r", "method": "SET", "name": "values", "caller": 9,
               "kind": "request", "value": record}
    assert frames.decode(frames.encode_request(message), frames.HOST_KINDS)["value"] == sent


@pytest.mark.parametrize("data, error", [
    (b"not json", "not JSON"),
    (b"[1, 2]", "not a JSON object"),
    (b'{"kind": "request"}', "unknown kind"),
    (b'{"requestId": "x"}', "unknown kind"),
    (b'{"kind": "excel_response", "ok": true}', "without requestId"),
    (b'{"kind": "callback", "callId": 1, "callableId": 5}', "callableId"),
    (b'{"kind": "callback", "callId": 1, "callableId": "f", "args": [], "source": 5}', "source"),
    (b'{"kind": "release_callables", "ids": [1]}', "list of callable ids"),
    (b'{"kind": "progress", "rows": 1}', "progress needs"),
    (b'{"kind": "progress", "requestId": "r", "rows": -1}', "progress needs"),
    (b'{"kind": "progress", "requestId": "r", "totalRows": "9"}', "progress needs"),
    (b'{"kind": "excel_response", "requestId": "r", "ok": true, "result": {"@": "Z", "v": [1]}}',
     "tag"),
    # The lenient parser behind orjson still refuses what JSON does not allow.
    (b'{"kind": "echo", "x": NaN, "s": "\\ud83d"}', "not JSON"),
    (b'{"kind": "echo", "s": "\\ud83d", "t": "\xff"}', "not JSON"),
    (b'{"kind": "echo", "s": "\\ud83d"' + b', "a": [' * 100000, "not JSON"),
])
def test_decode_refuses_what_the_add_in_may_not_send(data, error):
    with pytest.raises(frames.FrameError, match=error):
        frames.decode(data)


def test_progress_and_cancel_frames():
    report = frames.decode(b'{"kind": "progress", "requestId": "r", "rows": 2, "totalRows": 9, '
                           b'"cells": 20, "totalCells": 90}')
    assert (report["rows"], report["totalRows"], report["cells"]) == (2, 9, 20)
    assert frames.decode(frames.encode_cancel("r"), frames.HOST_KINDS) == {
        "kind": "cancel", "requestId": "r"}


@pytest.mark.parametrize("text", ["\ud83d", "a\udc00b", "\ud83d\ud83d", "\ud800" * 1000 + "\U0001F600"])
def test_lone_surrogates_cross_intact_both_ways(text):
    # JavaScript strings may hold them (=LEFT of an emoji), and its
    # JSON.stringify escapes them; orjson alone refuses both directions.
    from_pane = b'{"kind": "excel_response", "requestId": "r", "ok": true, "result": ' \
        + orjson.dumps(rec("Array", [rec("String", "x")])).replace(b'"x"', b"%s") + b"}"
    escaped = "".join("\\u%04x" % ord(c) if 0xD800 <= ord(c) < 0xE000 else c for c in text)
    frame = frames.decode(from_pane % ('"%s"' % escaped).encode("utf-8"))
    assert frame["result"]["value"][0]["value"] == text
    message = {"requestId": "r1", "method": "SET", "name": "values", "caller": 9,
               "kind": "request", "value": rec("Array", [rec("String", text), rec("Float", math.inf)])}
    data = frames.encode_request(message)
    assert frames.decode(data, frames.HOST_KINDS)["value"] == rec(
        "Array", [rec("String", text), rec("Float", "Infinity")])
