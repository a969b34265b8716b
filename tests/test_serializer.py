"""Serializer.to_wire / from_wire: wire value records in both directions."""
import base64
import collections
import datetime as dt
import enum
import gc
import subprocess
import sys
import textwrap
import types

import numpy as np
import pandas as pd
import pytest

import com_like
from com_like import Serializer

to_wire = Serializer.to_wire
from_wire = Serializer.from_wire


def rec(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


def arr(*items):
    return rec("Array", list(items))


def with_ids(record, start=100):
    """The record as the add-in sends it back: Array and Dict records carry an id."""
    counter = iter(range(start, 1 << 30))

    def walk(r):
        r = dict(r)
        if r["type"] == "Array":
            r["id"] = next(counter)
            r["value"] = [walk(x) for x in r["value"]]
        elif r["type"] == "Dict":
            r["id"] = next(counter)
            r["value"] = {k: walk(x) for k, x in r["value"].items()}
        return r

    return walk(record)


class Color(enum.IntEnum):
    RED = 3


class Text(str):
    pass


class Plain:
    def __str__(self):
        return "plain thing"


# ------------------------------------------------------------------ encoding


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, rec("Null", None)),
        (True, rec("Bool", True)),
        (np.bool_(False), rec("Bool", False)),
        (0, rec("Int", 0)),
        (Color.RED, rec("Int", 3)),
        (2**70, rec("Int", 2**70)),
        (np.int64(7), rec("Int", 7)),
        (np.uint8(255), rec("Int", 255)),
        (np.int8(-3), rec("Int", -3)),
        (1.5, rec("Float", 1.5)),
        (np.float64(2.5), rec("Float", 2.5)),
        (np.float32(0.5), rec("Float", 0.5)),
        (np.float16(-1.0), rec("Float", -1.0)),
        ("", rec("String", "")),
        ("text", rec("String", "text")),
        (Plain(), rec("String", "plain thing")),
        (pd.NA, rec("Null", None)),
        (pd.NaT, rec("Null", None)),
        (np.datetime64("NaT", "ns"), rec("Null", None)),
    ],
)
def test_scalars(value, expected):
    got = to_wire(value)
    assert got == expected
    assert list(got) == ["type", "value", "isSpec"]
    # numpy and enum scalars travel as the plain Python kinds
    assert type(got["value"]) is type(expected["value"])


def test_str_subclass_is_sent_as_itself():
    t = Text("abc")
    assert to_wire(t)["value"] is t


def test_records_are_fresh_dicts():
    first = to_wire(None)
    first["value"] = "changed"
    to_wire(5)["type"] = "changed"
    assert to_wire(None) == rec("Null", None)
    assert to_wire(6) == rec("Int", 6)
    assert to_wire([]) is not to_wire([])


@pytest.mark.parametrize("value", [None, True, 7, 2.5, "s", b"b", [1], {"k": 1}])
def test_records_grow_and_shrink_like_any_dict(value):
    # Records may share one key table among them: changing the keys of one
    # must leave the others, and later records, as they are.
    grown, shrunk = to_wire(value), to_wire(value)
    grown["id"] = 1
    grown.update(("x%d" % i, i) for i in range(40))
    del shrunk["isSpec"]
    later = to_wire(value)
    assert type(grown) is dict and list(grown)[:4] == ["type", "value", "isSpec", "id"] and len(grown) == 44
    assert list(shrunk) == ["type", "value"]
    assert list(later) == ["type", "value", "isSpec"] and later == to_wire(value)
    assert later["isSpec"] is False


@pytest.mark.parametrize(
    "value, text",
    [
        (dt.datetime(2024, 5, 1, 12, 0, tzinfo=dt.timezone(dt.timedelta(hours=2))), "2024-05-01T10:00:00+00:00"),
        (pd.Timestamp("2024-05-01 12:00", tz="Europe/Berlin"), "2024-05-01T10:00:00+00:00"),
        (dt.datetime(2024, 5, 1, 12, 30, 1, 5), "2024-05-01T12:30:01.000005"),
        (pd.Timestamp("2024-05-01 12:30"), "2024-05-01T12:30:00"),
        (dt.date(2024, 5, 1), "2024-05-01"),
        (np.datetime64("2024-05-01T12:30:45.123456789"), "2024-05-01T12:30:45.123456"),
        (np.datetime64("2024-05-01"), "2024-05-01T00:00:00.000000"),
    ],
)
def test_dates(value, text):
    got = to_wire(value)
    assert got == rec("Date", text)
    dt.datetime.fromisoformat(got["value"])  # the add-in side must be able to read it


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
@pytest.mark.parametrize("raw", [b"", b"\x00\xffwire"])
def test_bytes_like_alike(kind, raw):
    assert to_wire(kind(raw)) == rec("Bytes", base64.b64encode(raw).decode("ascii"))


@pytest.mark.parametrize("base", [bytes, bytearray])
def test_bytes_subclass_sent_as_bytes_of_it(base):
    class Masked(base):
        def __bytes__(self):
            return b"shown"

    assert to_wire(Masked(b"hidden")) == rec("Bytes", base64.b64encode(b"shown").decode("ascii"))


class Pairs(dict):
    """A mapping whose items() yields the given pairs, whatever they are."""

    def __init__(self, *pairs):
        super().__init__(unused=None)  # not empty, so that the decoder walks it
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


def unpack_error(pair):
    try:
        key, value = pair
    except (TypeError, ValueError) as exc:
        return type(exc), str(exc)
    raise AssertionError("unpacked")


@pytest.mark.parametrize("make_pair", [lambda: 5, lambda: None, lambda: ("k",), lambda: ["k", 1, 2], lambda: "abc",
                                       lambda: iter("k"), lambda: iter(range(5))],
                         ids=["int", "None", "one", "three", "str", "iterator", "long-iterator"])  # fmt: skip
@pytest.mark.parametrize("direction", ["encode", "decode"])
def test_mapping_pairs_unpack_as_python_does(make_pair, direction):
    expected = unpack_error(make_pair())
    pair = make_pair()
    with pytest.raises(expected[0]) as info:
        if direction == "encode":
            to_wire(Pairs(("a", 1), pair))
        else:
            from_wire({"type": "Dict", "id": 1, "value": Pairs(("a", rec("Int", 1)), pair)})
    if isinstance(pair, type(iter(range(0)))):
        assert list(pair) == [3, 4]  # one item past the two, as the statement asks for, not the whole rest
    assert str(info.value) == expected[1]


@pytest.mark.parametrize(
    "value, expected",
    [
        ([], arr()),
        ((1, "a"), arr(rec("Int", 1), rec("String", "a"))),
        ([1, "a"], arr(rec("Int", 1), rec("String", "a"))),
        ([[None]], arr(arr(rec("Null", None)))),
        ({1: True, "k": 2.0}, rec("Dict", {1: rec("Bool", True), "k": rec("Float", 2.0)})),
        (collections.OrderedDict(a=None), rec("Dict", {"a": rec("Null", None)})),
        (np.array([1, 2]), arr(rec("Int", 1), rec("Int", 2))),
        (np.array([[1.5], [2.5]]), arr(arr(rec("Float", 1.5)), arr(rec("Float", 2.5)))),
        (np.array(["2024-05-01T10:00"], dtype="datetime64[ns]"), arr(rec("Date", "2024-05-01T10:00:00"))),
    ],
)
def test_containers(value, expected):
    assert to_wire(value) == expected


def test_large_array_keeps_every_element():
    got = to_wire(np.arange(5000))
    assert [r["value"] for r in got["value"]] == list(range(5000))


@pytest.mark.parametrize(
    "frame, expected",
    [
        (
            pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}),
            arr(arr(rec("String", "a"), rec("String", "b")), arr(rec("Int", 1), rec("String", "x")),
                arr(rec("Int", 2), rec("String", "y"))),
        ),
        (pd.DataFrame({"a": [], "b": []}), arr(arr(rec("String", "a"), rec("String", "b")))),
        (pd.Series([1.5], name="s"), arr(arr(rec("String", "s")), arr(rec("Float", 1.5)))),
        (
            pd.DataFrame({"t": pd.to_datetime(["2024-05-01 10:00", None])}),
            arr(arr(rec("String", "t")), arr(rec("Date", "2024-05-01T10:00:00")), arr(rec("Null", None))),
        ),
        (
            pd.DataFrame({"t": pd.to_datetime(["2024-05-01 10:00"]).tz_localize("Europe/Berlin")}),
            arr(arr(rec("String", "t")), arr(rec("Date", "2024-05-01T08:00:00+00:00"))),
        ),
        (
            pd.DataFrame({"d": pd.to_timedelta(["1 day"])}),
            arr(arr(rec("String", "d")), arr(rec("String", "1 days 00:00:00"))),
        ),
    ],
    ids=["mixed", "no-rows", "series", "datetimes", "aware", "timedeltas"],
)
def test_frames(frame, expected):
    assert to_wire(frame) == expected


def test_missing_value_probe_failure_is_no_answer():
    class Awkward:
        def __array__(self, *args, **kwargs):
            raise RuntimeError("not an array")

        def __str__(self):
            return "awkward"

    assert to_wire(Awkward()) == rec("String", "awkward")


def test_list_changing_while_encoded():
    items = []

    class Grow:
        def __str__(self):
            items.append(7)
            return "grow"

    class Shrink:
        def __str__(self):
            gc.collect()  # the half-built result must not be reachable meanwhile
            del items[1:]
            return "shrink"

    items[:] = [Grow()]
    assert to_wire(items) == arr(rec("String", "grow"), rec("Int", 7))
    items[:] = [Shrink(), 1, 2, 3]
    assert to_wire(items) == arr(rec("String", "shrink"))


def test_proxies_are_references_and_send_nothing(addin):
    assert to_wire(com_like.Excel) == rec("Excel", 1, True)
    assert to_wire(com_like.Context) == rec("RequestContext", 0, True)
    assert to_wire([com_like.Excel, com_like.Context]) == arr(rec("Excel", 1, True), rec("RequestContext", 0, True))
    proxy_list = com_like.OfficeJsArray(8)
    proxy_list.append(com_like.Excel)
    proxy_dict = com_like.OfficeJsDict(9)
    proxy_dict["k"] = 1
    assert to_wire(proxy_list) == arr(rec("Excel", 1, True))
    assert to_wire(proxy_dict) == rec("Dict", {"k": rec("Int", 1)})
    assert addin.requests == []


def test_callables_are_registered_each_time():
    fn = lambda: None  # noqa: E731
    first, second = to_wire(fn), to_wire([fn])["value"][0]
    for r in (first, second):
        assert r["type"] == "Python_Function" and r["isSpec"] is True
        assert com_like.messaging.get_callable(r["value"]) is fn
    assert first["value"] != second["value"]
    assert to_wire(Plain)["type"] == "Python_Function"


def test_rebound_to_wire_is_used_for_elements(monkeypatch):
    seen = []

    def spy(value):
        seen.append(value)
        return rec("String", "spied")

    monkeypatch.setattr(com_like.Serializer, "to_wire", staticmethod(spy))
    assert to_wire([1, [2]]) == arr(rec("String", "spied"), rec("String", "spied"))
    assert seen == [1, [2]]
    assert to_wire(pd.DataFrame({"a": [1]})) == rec("String", "spied")


class _EvenInts(type):
    """A numpy stand-in class whose isinstance answer depends on the value."""

    def __instancecheck__(cls, value):
        return type(value) is int and value % 2 == 0


@pytest.mark.parametrize(
    "np_stand_in, value, expected",
    [
        (None, [1.5, 2.5, True, 3, "s", np.float64(4.5), 5.5, Text("t"), 6],
         arr(rec("Float", 1.5), rec("Float", 2.5), rec("Bool", True), rec("Int", 3), rec("String", "s"),
             rec("Float", 4.5), rec("Float", 5.5), rec("String", "t"), rec("Int", 6))),
        ({"bool_": _EvenInts("Even", (), {}), "integer": int, "floating": float}, [1, 2, 3, "s"],
         arr(rec("Int", 1), rec("Bool", True), rec("Int", 3), rec("String", "s"))),
        ({"floating": str}, [0.5, "1.5", 2.5, "3"], arr(*(rec("Float", x) for x in (0.5, 1.5, 2.5, 3.0)))),
    ],
    ids=["types-change-midway", "value-dependent-class", "str-taken-as-float"],
)
def test_list_elements_each_meet_every_step(monkeypatch, np_stand_in, value, expected):
    if np_stand_in is not None:
        names = ("bool_", "integer", "floating", "datetime64", "ndarray")
        monkeypatch.setattr(com_like, "np", types.SimpleNamespace(**{**{n: getattr(np, n) for n in names}, **np_stand_in}))
    assert to_wire(value) == expected


class _ArraySubclass(np.ndarray):
    pass


class _SubclassValuesFrame(pd.DataFrame):
    @property
    def values(self):
        return super().values.view(_ArraySubclass)


@pytest.mark.parametrize(
    "frame, table",
    [
        (pd.DataFrame(index=[0, 1]), [[], [], []]),
        (pd.DataFrame({"a": [1.5, 2.5], "b": ["y", "x"]}), [["a", "b"], [1.5, "y"], [2.5, "x"]]),
        (pd.DataFrame({"a": [1, 2], "b": [3, 4]})[["b", "a"]], [["b", "a"], [3, 1], [4, 2]]),
        (_SubclassValuesFrame({"a": [1]}), [["a"], [1]]),
    ],
    ids=["no-columns", "object-cells", "column-order", "subclass-values"],
)
def test_frame_rows_reach_a_rebound_to_wire(monkeypatch, frame, table):
    seen = []
    monkeypatch.setattr(com_like.Serializer, "to_wire", staticmethod(lambda v: seen.append(v) or rec("Null", None)))
    assert to_wire(frame) == rec("Null", None)
    assert seen == [table] and all(type(row) is list for row in seen[0])
    monkeypatch.undo()
    assert to_wire(frame) == arr(*(arr(*(to_wire(c) for c in row)) for row in table))


def test_rebound_global_takes_effect(monkeypatch):
    monkeypatch.setattr(com_like, "np", types.SimpleNamespace(bool_=int))
    assert to_wire(5) == rec("Bool", True)
    monkeypatch.undo()
    assert to_wire(5) == rec("Int", 5)


@pytest.mark.parametrize(
    "name, value, unaffected",
    [("np", 5, None), ("dt", object(), 1), ("base64", b"x", [1]), ("pd", object(), "s")],
)
def test_removed_global_is_name_error(name, value, unaffected):
    namespace = vars(com_like)
    saved = dict(namespace)
    del namespace[name]
    try:
        with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
            to_wire(value)
        to_wire(unaffected)  # steps before the one needing it still work
    finally:
        # Put back in place, not at the end: the binding order is checked too.
        namespace.clear()
        namespace.update(saved)


# ------------------------------------------------------------------ decoding


@pytest.mark.parametrize(
    "record, expected",
    [
        ({"type": "Null", "value": 5}, None),
        ({"type": "Bool", "value": 0}, False),
        ({"type": "Bool", "value": "false"}, True),
        ({"type": "Int", "value": 3.7}, 3),
        ({"type": "Int", "value": "12"}, 12),
        ({"type": "Float", "value": 2}, 2.0),
        ({"type": "String", "value": 5}, "5"),
        ({"type": "String"}, "None"),
        ({"type": "Date", "value": "2024-05-01"}, dt.datetime(2024, 5, 1)),
        ({"type": "Date", "value": "2024-05-01T10:00:00+02:00"},
         dt.datetime(2024, 5, 1, 10, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
        ({"type": "Date", "value": "yesterday"}, "yesterday"),
        ({"type": "Date", "value": 5}, 5),
        ({"type": "Bytes", "value": ""}, b""),
        ({"type": "Bytes"}, b""),
        ({"type": "Bytes", "value": "AP8="}, b"\x00\xff"),
        ({"type": "Mystery", "value": 4, "isSpec": False}, "4"),
        ({"value": 3}, "3"),
        ({"type": "Int", "value": 9, "isSpec": True}, 9),
        ({"type": "".join(["In", "t"]), "value": 1}, 1),  # an equal text, not our own object
    ],
)
def test_plain_records(record, expected):
    got = from_wire(record)
    assert got == expected and type(got) is type(expected)


def test_values_are_passed_through_without_copies():
    text, number = "some text", 10**20
    assert from_wire({"type": "String", "value": text}) is text
    assert from_wire({"type": "Int", "value": number}) is number


@pytest.mark.parametrize(
    "record, error",
    [
        ({"type": "Int", "value": None}, TypeError),
        ({"type": "Int", "value": "x"}, ValueError),
        ({"type": "Python_Function", "value": "pyfunc_ab_1", "isSpec": True}, ValueError),
        ({"type": "Bytes", "value": "abc"}, ValueError),
        ({"type": "Array", "value": []}, TypeError),
        ({"type": "Array", "value": 5, "id": 1}, TypeError),
        (to_wire([1]), TypeError),
        (to_wire({"a": 1}), TypeError),
    ],
)
def test_failures_propagate(record, error):
    with pytest.raises(error):
        from_wire(record)


@pytest.mark.parametrize("bad", [collections.OrderedDict(type="Null"), None])
def test_only_exact_dicts(bad):
    with pytest.raises(TypeError, match="^Argument 'wire' has incorrect type"):
        from_wire(bad)
    with pytest.raises(TypeError, match="^Argument 'wire' has incorrect type"):
        from_wire({"type": "Array", "id": 1, "value": [{"type": "Null"}, bad]})
    with pytest.raises(TypeError, match="^Argument 'wire' has incorrect type"):
        from_wire({"type": "Dict", "id": 1, "value": {"k": bad}})


class Stop(BaseException):
    pass


@pytest.mark.parametrize("exc, swallowed", [(LookupError, True), (Stop, False)])
def test_date_swallows_only_exceptions(monkeypatch, exc, swallowed):
    class FakeDatetime:
        @staticmethod
        def fromisoformat(text):
            raise exc(text)

    monkeypatch.setattr(com_like, "dt", types.SimpleNamespace(datetime=FakeDatetime))
    record = {"type": "Date", "value": "2024-05-01"}
    if swallowed:
        assert from_wire(record) == "2024-05-01"
    else:
        with pytest.raises(Stop):
            from_wire(record)


def test_references_and_proxies():
    obj = from_wire({"type": "Excel", "value": "7", "isSpec": True})
    assert isinstance(obj, com_like.OfficeJsObject)
    assert (obj._internal_id, obj._internal_typeName) == (7, "Excel")
    empty = from_wire({"type": "Array", "value": None, "id": 7})
    assert type(empty) is com_like.OfficeJsArray and empty == [] and empty._internal_id == 7
    nested = from_wire(with_ids(to_wire([[1], {"k": "v"}])))
    assert type(nested[0]) is com_like.OfficeJsArray and type(nested[1]) is com_like.OfficeJsDict
    assert nested == [[1], {"k": "v"}]


def test_proxies_made_before_their_elements(monkeypatch):
    log = []

    class Array(com_like.OfficeJsArray):
        def __init__(self, object_id):
            log.append(("new", object_id))
            super().__init__(object_id)

        def extend(self, items):
            log.append(("extend", self._internal_id, len(items)))
            super().extend(items)

    class Dict(com_like.OfficeJsDict):
        def update(self, entries):
            log.append(("update", self._internal_id, len(entries)))
            super().update(entries)

    monkeypatch.setattr(com_like, "OfficeJsArray", Array)
    monkeypatch.setattr(com_like, "OfficeJsDict", Dict)
    got = from_wire(with_ids(to_wire([1, [2, 3], {"a": 4}])))
    assert got == [1, [2, 3], {"a": 4}]
    assert log == [("new", 100), ("new", 101), ("extend", 101, 2), ("update", 102, 1), ("extend", 100, 3)]


def test_failed_element_releases_constructed_proxy(addin):
    with pytest.raises(ValueError):
        from_wire({"type": "Array", "id": 41, "value": [{"type": "Int", "value": 1}, {"type": "Int", "value": "x"}]})
    gc.collect()
    assert ("DEL", "__del__", 41) in addin.methods()


def test_rebound_from_wire_is_used_for_elements(monkeypatch):
    monkeypatch.setattr(com_like.Serializer, "from_wire", staticmethod(lambda w: "spied"))
    assert from_wire({"type": "Array", "id": 1, "value": [{"type": "Int", "value": 1}]}) == ["spied"]


# ------------------------------------------------------------------ round trips

@pytest.mark.parametrize(
    "value",
    [
        dt.datetime(2024, 5, 1, 12, 30, 1, 5),
        dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
        b"\x00bytes",
        np.int64(5),
        np.float32(0.25),
    ],
)
def test_round_trip_other_kinds(value):
    back = from_wire(to_wire(value))
    assert back == value


# ------------------------------------------------------------------ nesting limits

DEEP = textwrap.dedent(
    """
    import sys
    import threading
    import com_like
    from com_like import Serializer
    limit, stack_kib = sys.argv[1:3]
    if limit != "-":
        sys.setrecursionlimit(int(limit))

    def expect_recursion_error(fn, arg):
        try:
            fn(arg)
        except RecursionError:
            return
        raise SystemExit("no RecursionError")

    # Built (and freed) on the main thread: CPython 3.13 itself overflows a
    # small stack freeing nesting this deep. Only the serializer runs on it.
    loop = []
    loop.append(loop)
    cyc = {}
    cyc["self"] = cyc
    deep = []
    for _ in range(100_000):
        deep = [deep]
    record = {"type": "Null"}
    for _ in range(100_000):
        record = {"type": "Array", "id": 1, "value": [record]}

    def main():
        expect_recursion_error(Serializer.to_wire, loop)
        expect_recursion_error(Serializer.to_wire, cyc)
        expect_recursion_error(Serializer.to_wire, deep)
        expect_recursion_error(Serializer.from_wire, record)
        # the depth count is back at zero: ordinary nesting still works
        assert Serializer.to_wire([[[1]]])["value"][0]["value"][0]["value"][0]["value"] == 1

    if stack_kib == "-":
        main()
    else:
        # A thread of its own with a small stack, as threads that native
        # code starts may have.
        threading.stack_size(int(stack_kib) * 1024)
        failed = []
        def run():
            try:
                main()
            except BaseException as e:
                failed.append(e)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        if failed:
            raise failed[0]
    print("ok")
    """
)


@pytest.mark.parametrize("stack_kib", ["-", "256", "512"], ids=["main-thread", "thread-256k", "thread-512k"])
@pytest.mark.parametrize("limit", ["-", "1000000"], ids=["default-limit", "raised-limit"])
def test_self_containing_and_deep_nesting_raise(limit, stack_kib):
    args = [sys.executable, "-c", DEEP, limit, stack_kib]
    done = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"
