"""Every public operation, repeated many times, leaves no objects, memory
blocks or references behind."""
import concurrent.futures
import datetime as dt
import enum
import gc
import os
import sys

import numpy as np
import pandas as pd
import pytest

import com_like
from com_like import Excel, GetSetting, OfficeJsTransaction, Serializer, messaging
from com_like_host import wire

SANITIZED = bool(os.environ.get("COM_LIKE_SANITIZED"))
ROUNDS = 100 if SANITIZED else 200  # per window; three windows
WARMUP = 50

NULL = wire.null()

# What the add-in double answers for a GET / GETITEM of a given name.
RESULTS = {
    "num": wire.plain("Int", 7),
    "obj": wire.reference("Range", 42),
    "fn": wire.reference("Function", 43),
    "arr": wire.array([wire.plain("Int", 1), wire.array([], 45)], 44),
    "dct": wire.mapping({"a": wire.plain("String", "x"), "b": wire.reference("Range", 47)}, 46),
    "start": wire.reference("Function", 48),
    "commit": wire.reference("Function", 49),
}


def answer(message):
    """Synchronous double that keeps nothing: answers from inside the handler."""
    name = message.get("name")
    if name == "silent":
        return
    rid = message["requestId"]
    failing = name == "fail" or any(a.get("name") == "fail" for a in message.get("args", ()))
    if failing:
        response = wire.error(rid, "remote says no")
    elif message.get("method") == "CALL":
        response = wire.ok(rid, RESULTS["obj"])
    else:
        response = wire.ok(rid, RESULTS.get(name, NULL))
    messaging.on_message(response)


def answer_cancelling(message):
    # A reset while the request waits: its future is cancelled.
    messaging.reset()


def raising_handler(message):
    raise ValueError("handler broke")


class Color(enum.IntEnum):
    RED = 1


class Thing:
    def __str__(self):
        return "thing"


def callback():
    pass


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError("%s not raised" % exc_type.__name__)


def stale_proxy():
    p = Serializer.from_wire(RESULTS["obj"])
    p._msg_guid = "0" * 32
    return p


def wire_of_callable():
    rec = Serializer.to_wire(callback)
    messaging.unregister_callable(rec["value"])


def transaction_ok():
    with OfficeJsTransaction(block_gets=True) as t:
        Excel.x = 1
        t.commit()


def transaction_error():
    try:
        with OfficeJsTransaction(roolback_at_error=True, error_callback=lambda *a: None):
            raise KeyError("in block")
    except KeyError:
        pass


def self_containing_list():
    lst = [1]
    lst.append(lst)
    expect(RecursionError, Serializer.to_wire, lst)
    lst.clear()


TO_WIRE_VALUES = {
    "none": None, "bool": True, "np_bool": np.bool_(False), "int": 12, "int_subclass": Color.RED,
    "big_int": 10 ** 40, "float": 1.5, "np_float": np.float64(2.5), "np_int": np.int32(3), "nan": float("nan"),
    "str": "text", "naive_datetime": dt.datetime(2024, 1, 2, 3, 4, 5),
    "aware_datetime": dt.datetime(2024, 1, 2, 12, tzinfo=dt.timezone(dt.timedelta(hours=2))),
    "date": dt.date(2024, 1, 2), "timestamp": pd.Timestamp("2024-01-02 03:04"), "nat": pd.NaT,
    "datetime64": np.datetime64("2024-01-02T03:04"), "bytes": b"\x00\x01", "bytearray": bytearray(b"ab"),
    "memoryview": memoryview(b"xyz"), "list": [1, [2, "a"], {"k": None}], "tuple": (1, 2.0),
    "dict": {"a": 1, 2: [3], None: {}}, "frame": pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}),
"ndarray": np.arange(6).reshape(2, 3), "proxy": Excel,
    "object": Thing(),
}

FROM_WIRE_RECORDS = {
    "null": NULL, "bool": {"type": "Bool", "value": 1}, "int": {"type": "Int", "value": "12"},
    "float": {"type": "Float", "value": 2}, "string": {"type": "String", "value": 5},
    "date": {"type": "Date", "value": "2024-01-02T03:04:05+02:00"}, "bad_date": {"type": "Date", "value": 5},
    "bytes": {"type": "Bytes", "value": "AAE="}, "array": RESULTS["arr"], "dict": RESULTS["dct"],
    "reference": RESULTS["obj"], "unknown_tag": {"type": "Whatever", "value": [1]},
}

FROM_WIRE_ERRORS = {
    "array_without_id": ({"type": "Array", "value": []}, TypeError),
    "bad_int": ({"type": "Int", "value": "x"}, ValueError),
    "bad_bytes": ({"type": "Bytes", "value": "A"}, ValueError),
    "nested_failure": ({"type": "Array", "id": 1, "value": [NULL, {"type": "Int", "value": None}]}, TypeError),
    "nested_non_dict": ({"type": "Dict", "id": 1, "value": {"a": 5}}, TypeError),
    "bad_reference": ({"type": "Python_Function", "value": "pyfunc_x", "isSpec": True}, ValueError),
}

GROUPS = {
    "proxy": {
        "getattr_value": lambda: Excel.num,
        "getattr_proxy_and_del": lambda: Excel.obj,
        "getattr_array": lambda: Excel.arr,
        "getattr_dict": lambda: Excel.dct,
        "getitem_int": lambda: Excel[3],
        "getitem_slice": lambda: Excel[1:"C3":2],
        "setattr": lambda: setattr(Excel, "values", [[1, 2], {"a": b"x"}]),
        "call": lambda: GetSetting(1, "two", key=[3]),
        "call_returned_function": lambda: Excel.fn(Excel),
        "array_proxy_getattr": lambda: Excel.arr.length,
        "repr": lambda: (repr(Excel), repr(Excel.arr), repr(Excel.dct)),
        "local_names": lambda: (Excel._internal_id, Excel._internal_cache, setattr(Excel, "_typ", "officejs_object")),
    },
    "proxy_errors": {
        "getattr_remote_error": lambda: expect(RuntimeError, getattr, Excel, "fail"),
        "setattr_remote_error": lambda: expect(RuntimeError, setattr, Excel, "fail", 1),
        "call_remote_error": lambda: expect(RuntimeError, Excel.fn, fail=True),
        "stale_proxy": lambda: expect(RuntimeError, getattr, stale_proxy(), "x"),
        "call_non_function": lambda: expect(TypeError, Excel),
        "bad_index": lambda: expect(TypeError, Excel.__getitem__, 2.0),
        "array_proxy_setattr": lambda: expect(AttributeError, setattr, Excel.arr, "x", 1),
        "unencodable_argument": lambda: expect(RecursionError, GetSetting, self_ref()),
    },
    "messaging": {
        "send_success": lambda: messaging.send_request_sync({"name": "num"}),
        "send_remote_error": lambda: expect(RuntimeError, messaging.send_request_sync, {"name": "fail"}),
        "send_timeout": lambda: expect(TimeoutError, messaging.send_request_sync, {"name": "silent"}, timeout=0),
        "on_message_unknown_id": lambda: messaging.on_message({"requestId": "nobody", "ok": True}),
        "on_message_no_id": lambda: messaging.on_message({"ok": True}),
        "registry": lambda: messaging.unregister_callable(registered_and_found()),
        "register_non_callable": lambda: expect(TypeError, messaging.register_callable, 5),
    },
    "to_wire": {
        "callable": wire_of_callable,
        "cycle": self_containing_list,
    },
    "from_wire": {},
    "transactions": {
        "with_commit": transaction_ok,
        "error_in_block": transaction_error,
        "bad_keyword": lambda: expect(TypeError, OfficeJsTransaction, rollback_at_error=True),
    },
    "argument_errors": {
        "too_many_arguments": lambda: expect(TypeError, messaging.send_request_sync, {}, 1.0, 2),
        "missing_argument": lambda: expect(TypeError, Serializer.from_wire),
        "unexpected_keyword": lambda: expect(TypeError, Serializer.to_wire, 1, other=2),
        "multiple_values": lambda: expect(TypeError, Serializer.to_wire, 1, value=2),
        "dict_subclass": lambda: expect(TypeError, messaging.on_message, type("D", (dict,), {})()),
        "wrong_type": lambda: expect(TypeError, messaging.get_callable, 123),
        "timeout_none": lambda: expect(TypeError, messaging.send_request_sync, {}, timeout=None),
        "name_not_str": lambda: expect(TypeError, com_like._cw__getattr__, Excel, 5),
    },
}
for _k, _v in TO_WIRE_VALUES.items():
    GROUPS["to_wire"][_k] = (lambda v: lambda: Serializer.to_wire(v))(_v)
# A fresh Series each time: one that is turned into a frame again and again
# collects weak references in pandas, which prunes them only now and then.
GROUPS["to_wire"]["series"] = lambda: Serializer.to_wire(pd.Series([1.0, 2.0], name="s"))
for _k, _v in FROM_WIRE_RECORDS.items():
    GROUPS["from_wire"][_k] = (lambda r: lambda: Serializer.from_wire(r))(_v)
for _k, (_r, _e) in FROM_WIRE_ERRORS.items():
    GROUPS["from_wire"][_k] = (lambda r, e: lambda: expect(e, Serializer.from_wire, r))(_r, _e)


def registered_and_found():
    cid = messaging.register_callable(callback)
    assert messaging.get_callable(cid) is callback
    return cid


def self_ref():
    d = {}
    d["d"] = d
    return d


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()


def growth(ops, rounds):
    """Objects and blocks gained over three windows of `rounds` calls of each op.

    A leak grows in every window; caches of the libraries fill up (or
    empty themselves now and then) in some of them only, so the
    smallest growth is what counts.
    """
    for _ in range(WARMUP):
        for op in ops:
            op()
    marks = [snapshot()]
    for _ in range(3):
        for _ in range(rounds):
            for op in ops:
                op()
        marks.append(snapshot())
    windows = [(b[0] - a[0], b[1] - a[1]) for a, b in zip(marks, marks[1:])]
    return min(w[0] for w in windows), min(w[1] for w in windows)


def assert_flat(group, rounds, watched=()):
    gc.collect()  # garbage of earlier tests may still hold references
    refs = [sys.getrefcount(o) for o in watched]
    objects, blocks = growth(list(group.values()), rounds)
    # A leak of one object or block per round shows as `rounds`; the slack
    # is for caches of the libraries that fill up slowly.
    if objects >= rounds // 20 or blocks >= rounds // 2:
        # Name the operations that leak on their own.
        culprits = {name: growth([op], rounds) for name, op in group.items()}
        culprits = {k: v for k, v in culprits.items() if v[0] >= rounds // 20 or v[1] >= rounds // 2}
        raise AssertionError("growth over %d rounds: %d objects, %d blocks; (objects, blocks) by operation: %r"
                             % (rounds, objects, blocks, culprits))
    now = [sys.getrefcount(o) for o in watched]
    changed = [(o, r, n) for o, r, n in zip(watched, refs, now) if n != r]
    assert not changed, "reference counts changed (object, before, after): %r" % changed


# Objects whose reference counts must come back to where they were (plain
# scalars are shared too widely to watch).
WATCHED = (messaging, Excel, GetSetting, callback) + tuple(
    v for v in list(TO_WIRE_VALUES.values()) + list(FROM_WIRE_RECORDS.values())
    if not isinstance(v, (type(None), bool, int, float, str)))


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_operations_do_not_leak(group):
    messaging.set_send_handler(answer)
    assert_flat(GROUPS[group], ROUNDS, WATCHED)
    assert messaging.waiters == {}
    assert messaging._callable_registry == {}


@pytest.mark.parametrize("handler, exc_type", [
    (answer_cancelling, concurrent.futures.CancelledError),
    (raising_handler, ValueError),
    (None, RuntimeError),
], ids=["cancelled", "handler_raises", "no_handler"])
def test_failed_send_does_not_leak(handler, exc_type):
    messaging.set_send_handler(handler)
    op = {"send": lambda: expect(exc_type, messaging.send_request_sync, {"name": "x"})}
    assert_flat(op, ROUNDS, (messaging, Excel) + ((handler,) if handler else ()))
    assert messaging.waiters == {}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
def test_memory_stays_flat_over_all_operations():
    messaging.set_send_handler(answer)
    ops = [op for group in GROUPS.values() for op in group.values()]
    for _ in range(20):
        for op in ops:
            op()
    gc.collect()
    before = rss_bytes()
    for _ in range(150):
        for op in ops:
            op()
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 8 * 2 ** 20, "RSS grew by %d KiB" % (grown // 1024)
