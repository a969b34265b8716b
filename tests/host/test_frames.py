"""The frame codec: compact plain arrays restore to exactly the records
that were packed, and frames hold only valid JSON. The cases both ends
share (tests/data/frame_cases.json) are also run by tests/js/frames.test.mjs
against the add-in's end."""

import json
import math
import pathlib

import orjson
import pytest

from com_like_host import frames

CASES = json.loads((pathlib.Path(__file__).parent.parent / "data" / "frame_cases.json").read_text())


def rec(tag, value, **extra):
    return dict({"type": tag, "value": value, "isSpec": False}, **extra)


@pytest.mark.parametrize("record", CASES["round_trip"])
def test_pack_round_trip(record):
    packed = frames.pack(record)
    assert frames.unpack(orjson.loads(orjson.dumps(packed))) == record


@pytest.mark.parametrize("record, packed", CASES["packed"])
def test_packed_form(record, packed):
    assert frames.pack(record) == packed


def test_plain_block_is_compact():
    block = rec("Array", [rec("Array", [rec("Float", float(i * j)) for j in range(100)])
                          for i in range(100)])
    assert len(orjson.dumps(frames.pack(block))) * 3 < len(orjson.dumps(block))


@pytest.mark.parametrize("bad", CASES["bad_compact"])
def test_bad_compact_arrays_are_refused(bad):
    with pytest.raises(frames.FrameError):
        frames.unpack(bad)


@pytest.mark.parametrize("case", CASES["requests"])
def test_requests_as_the_add_in_reads_them(case):
    data = frames.encode_request(case["message"], case["release"])
    assert orjson.loads(data) == case["frame"]
    # The add-in's decoding, mirrored here, restores the message.
    expected = dict(case["message"], **({"release": case["release"]} if case["release"] else {}))
    assert frames.decode(data, frames.HOST_KINDS) == expected


# What the add-in sent, as the host reads its frame back.
ADDIN_SENT = (
    [(c["frame"], dict(c["response"], kind="excel_response")) for c in CASES["responses"]]
    + [(c["frame"], {"kind": "callback", "callId": c["callId"], "callableId": c["callableId"],
                     "args": c["args"]}) for c in CASES["callbacks"]]
    + [(c["frame"], dict(c["counts"], kind="progress", requestId=c["requestId"]))
       for c in CASES["progress"]])


@pytest.mark.parametrize("frame, sent", ADDIN_SENT)
def test_add_in_frames_restore_what_it_sent(frame, sent):
    assert frames.decode(orjson.dumps(frame)) == sent


@pytest.mark.parametrize("case", CASES["cancel"])
def test_cancel_frames(case):
    assert orjson.loads(frames.encode_cancel(case["requestId"])) == case["frame"]


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


@pytest.mark.parametrize("case", CASES["refused"])
def test_frames_neither_end_takes_are_refused(case):
    data = case["frame"].encode("utf-8")
    with pytest.raises(frames.FrameError, match=case["host_error"]):
        frames.decode(data)
    with pytest.raises(frames.FrameError):
        frames.decode(data, frames.HOST_KINDS)


@pytest.mark.parametrize("data, error", [
    (b'{"kind": "request"}', "unknown kind"),
    (b'{"kind": "callback", "callId": 1, "callableId": 5}', "callableId"),
    (b'{"kind": "callback", "callId": 1, "callableId": "f", "args": [], "source": 5}', "source"),
    (b'{"kind": "release_callables", "ids": [1]}', "list of callable ids"),
    (b'{"kind": "progress", "rows": 1}', "progress needs"),
    (b'{"kind": "progress", "requestId": "r", "rows": -1}', "progress needs"),
    (b'{"kind": "progress", "requestId": "r", "totalRows": "9"}', "progress needs"),
    # The lenient parser behind orjson still refuses what JSON does not allow.
    (b'{"kind": "echo", "s": "\\ud83d", "t": "\xff"}', "not JSON"),
    (b'{"kind": "echo", "s": "\\ud83d"' + b', "a": [' * 100000, "not JSON"),
])
def test_decode_refuses_what_the_add_in_may_not_send(data, error):
    with pytest.raises(frames.FrameError, match=error):
        frames.decode(data)


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
