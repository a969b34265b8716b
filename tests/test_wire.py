"""The Python side's records and responses (com_like_host.wire) agree with
what the module itself sends and reads."""

import datetime as dt

import pytest

import com_like
from com_like_host import wire


@pytest.mark.parametrize("value", [
    None, True, 0, -7, 2.5, "text", "", dt.datetime(2024, 3, 1, 12, 30), b"\x00\x01",
    [1, "a", [None, False]], {"k": [1.5], "n": None},
])
def test_plain_values_match_the_module(value):
    ids = iter(range(100, 200))          # an add-in's containers carry ids
    record = wire.encode(value, container=lambda v: next(ids))
    assert wire.decode(record) == value
    # com_like reads what wire writes, and writes what wire reads.
    assert com_like.Serializer.from_wire(record) == value
    assert wire.decode(com_like.Serializer.to_wire(value)) == value


def test_references_and_callables():
    objects = {7: "seven"}
    record = wire.encode(object(), lambda v: ("Range", 7))
    assert record == {"type": "Range", "value": 7, "isSpec": True} and wire.is_reference(record)
    assert wire.decode(record, lambda t, oid: (t, objects[oid])) == ("Range", "seven")
    fn = wire.callable_ref("pyfunc_1")
    assert not wire.is_reference(fn)
    assert wire.decode(fn, function=lambda cid: "called " + cid) == "called pyfunc_1"
    ids = iter(range(40, 50))
    nested = wire.encode([[1]], container=lambda v: next(ids))
    assert nested["id"] == 40 and nested["value"][0]["id"] == 41


@pytest.mark.parametrize("record, text", [
    ("not a record", "malformed value record"),
    ({"type": "Weird", "value": 1}, "unknown value type 'Weird'"),
    ({"type": "Int", "value": "x"}, "bad Int value"),
    ({"type": "Date", "value": 5}, "bad date 5"),
    ({"type": "Bytes", "value": "A"}, "bad Base64"),
    ({"type": "Range", "value": 1, "isSpec": True}, "reference cannot be used here"),
    ({"type": "Python_Function", "value": "f", "isSpec": True}, "callable cannot be used here"),
])
def test_bad_records_are_refused(record, text):
    with pytest.raises(wire.WireError, match=text):
        wire.decode(record)


def test_unknown_objects_are_refused():
    with pytest.raises(wire.WireError, match="cannot send a value of type object"):
        wire.encode(object())


def test_responses():
    assert wire.ok("r1") == {"requestId": "r1", "kind": "response", "ok": True,
                             "result": wire.null()}
    assert wire.error("r2", "ItemNotFound: x")["error"] == {"message": "ItemNotFound: x"}
    assert wire.error()["error"] == {}
