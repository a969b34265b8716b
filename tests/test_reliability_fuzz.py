"""Property-based fuzzing of the wire value encoder and decoder and of the
response path: random input only ever ends in a value or an exception, and
values that travel both ways come back equal."""
import collections
import datetime as dt
import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import com_like
from com_like import OfficeJsArray, OfficeJsDict, OfficeJsObject, Serializer, messaging
from test_serializer import with_ids

# COM_LIKE_FUZZ_FACTOR scales every example count, e.g. 20 for a long local
# run; the sanitizer build runs a quarter of them.
FACTOR = float(os.environ.get("COM_LIKE_FUZZ_FACTOR") or (0.25 if os.environ.get("COM_LIKE_SANITIZED") else 1))
CASES = collections.Counter()


def fuzz_settings(examples):
    return settings(max_examples=max(10, int(examples * FACTOR)), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def report_cases():
    yield
    print("\nfuzz cases run: %s (total %d)" % (dict(CASES), sum(CASES.values())))


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Hostile:
    """Fails in whichever operation the decoder or encoder tries on it."""

    def __init__(self, exc):
        self.exc = exc

    def _fail(self, *args):
        raise self.exc

    def __repr__(self):
        return "Hostile(%r)" % (self.exc,)

    __bool__ = __int__ = __index__ = __float__ = __str__ = __iter__ = __eq__ = __hash__ = _fail
    __len__ = __getitem__ = items = isoformat = _fail


def hostile():
    return st.sampled_from([ValueError, TypeError, OverflowError, ZeroDivisionError, MemoryError]).map(
        lambda e: Hostile(e("hostile")))


def failures_are_exceptions(fn, *args):
    """Runs fn; returns (True, result) or (False, exception), and lets only
    an ordinary exception out, never a sign of a broken C-API contract."""
    try:
        return True, fn(*args)
    except SystemError:
        raise
    except Exception as e:  # noqa: B902 - any ordinary exception is acceptable
        return False, e


# ------------------------------------------------------------------ records

TAGS = ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict",
        "Python_Function", "Function", "Excel", "Range", "", "null", "ARRAY"]
TEXTS = ["12", "-3", " 7 ", "1.5", "1e400", "nan", "inf", "0x1F", "AAE=", "A", "====", "2024-01-02",
         "2024-01-02T03:04:05+02:00", "2024-01-02T03:04:05Z", "9999-12-31T23:59:59.999999", "pyfunc_ab_1"]

scalar_values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2 ** 70, max_value=2 ** 70),
    st.floats(), st.text(max_size=12), st.sampled_from(TEXTS), st.binary(max_size=12),
    st.lists(st.integers(), max_size=3), st.tuples(st.integers()), hostile())
dict_keys = st.one_of(st.text(max_size=5), st.integers(), st.none(), st.tuples(st.integers()), st.booleans())


def record_of(values):
    rec = st.fixed_dictionaries({}, optional={
        "type": st.one_of(st.sampled_from(TAGS), st.sampled_from(TAGS), st.text(max_size=6), scalar_values),
        "value": values,
        "isSpec": st.one_of(st.booleans(), st.none(), st.integers(), st.text(max_size=3), scalar_values),
        "id": st.one_of(st.integers(), st.integers(min_value=0, max_value=9), st.none(), st.floats(),
                        st.sampled_from(TEXTS), scalar_values),
        "extra": scalar_values,
    })
    return st.one_of(rec, rec, rec, rec.map(DictSub))


records = st.recursive(
    record_of(scalar_values),
    lambda children: record_of(st.one_of(
        scalar_values, children, st.lists(children, max_size=4), st.lists(children, max_size=4).map(tuple),
        st.dictionaries(dict_keys, children, max_size=4), st.dictionaries(dict_keys, children, max_size=3).map(DictSub),
        st.lists(st.one_of(children, scalar_values), max_size=3))),
    max_leaves=12)


@fuzz_settings(500)
@given(records)
def test_from_wire_never_crashes(wire):
    CASES["from_wire"] += 1
    failures_are_exceptions(Serializer.from_wire, wire)


# ------------------------------------------------------------------ values

def a_callable(x=None):
    return x


class Plain:
    def __str__(self):
        return "plain"


naive_datetimes = st.datetimes()
offsets = st.integers(min_value=-23 * 60, max_value=23 * 60).map(lambda m: dt.timezone(dt.timedelta(minutes=m)))
aware_datetimes = st.datetimes(min_value=dt.datetime(2, 1, 1), max_value=dt.datetime(9998, 12, 31), timezones=offsets)

odd_leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=10), st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray), st.binary(max_size=10).map(memoryview),
    naive_datetimes, st.datetimes(timezones=offsets), st.dates(),
    st.integers(min_value=-2 ** 40, max_value=2 ** 40).map(lambda n: np.datetime64(n, "s")),
    st.just(np.datetime64("NaT", "s")), st.just(pd.NaT), st.just(pd.NA), st.just(float("nan")),
    naive_datetimes.map(pd.Timestamp),
    st.integers(min_value=-2 ** 63, max_value=2 ** 63 - 1).map(np.int64), st.floats(width=32).map(np.float32),
    st.booleans().map(np.bool_), st.sampled_from(["Excel", "Context", "Union"]).map(lambda n: getattr(com_like, n)),
    st.just(a_callable), st.just(lambda: None), st.just(Plain), st.just(Plain()), hostile(),
    st.lists(st.integers(), max_size=4).map(np.array), st.lists(st.floats(), max_size=4).map(pd.Series))
odd_values = st.recursive(
    odd_leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.lists(children, max_size=4).map(tuple),
        st.lists(children, max_size=3).map(ListSub),
        st.dictionaries(dict_keys, children, max_size=4),
        st.dictionaries(dict_keys, children, max_size=3).map(DictSub),
        st.lists(st.lists(st.integers(), min_size=2, max_size=2), max_size=3).map(
            lambda rows: pd.DataFrame(rows, columns=["a", "b"]))),
    max_leaves=12)

KNOWN_TAGS = {"Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "Python_Function",
              "RequestContext", "Excel", "Function"}


def assert_record(rec):
    assert type(rec) is dict and list(rec) == ["type", "value", "isSpec"], rec
    assert rec["type"] in KNOWN_TAGS, rec
    assert rec["isSpec"] is (rec["type"] in ("Python_Function", "RequestContext", "Excel", "Function")), rec
    if rec["type"] == "Array":
        assert type(rec["value"]) is list
        for r in rec["value"]:
            assert_record(r)
    elif rec["type"] == "Dict":
        assert type(rec["value"]) is dict
        for r in rec["value"].values():
            assert_record(r)


@fuzz_settings(400)
@given(odd_values)
def test_to_wire_gives_a_record_or_an_exception(value):
    CASES["to_wire"] += 1
    ok, rec = failures_are_exceptions(Serializer.to_wire, value)
    if ok:
        assert_record(rec)
    if len(messaging._callable_registry) > 1000:
        messaging._callable_registry.clear()


def test_self_containing_values_end_in_an_exception():
    lst, dct = [], {}
    lst.append(lst)
    dct["me"] = [dct]
    for value in (lst, dct):
        with pytest.raises(RecursionError):
            Serializer.to_wire(value)
    lst.clear()
    dct.clear()


# ------------------------------------------------------------------ round trip

plain_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=20),
              st.binary(max_size=20), naive_datetimes, aware_datetimes),
    lambda children: st.one_of(st.lists(children, max_size=5), st.dictionaries(st.text(max_size=6), children,
                                                                               max_size=5)),
    max_leaves=15)


def assert_same(decoded, original):
    if isinstance(original, list):
        assert type(decoded) is OfficeJsArray and len(decoded) == len(original)
        for d, o in zip(decoded, original):
            assert_same(d, o)
    elif isinstance(original, dict):
        assert type(decoded) is OfficeJsDict and list(decoded) == list(original)
        for k in original:
            assert_same(decoded[k], original[k])
    else:
        # Type and value both: True must not come back as 1, nor b"" as "".
        assert type(decoded) is type(original) and decoded == original, (decoded, original)
        if isinstance(original, dt.datetime) and original.tzinfo:
            assert decoded.utcoffset() == dt.timedelta(0)


@fuzz_settings(300)
@given(plain_values)
def test_encoded_values_decode_back_equal(value):
    CASES["round_trip"] += 1
    assert_same(Serializer.from_wire(with_ids(Serializer.to_wire(value), 10)), value)


@fuzz_settings(100)
@given(st.dates())
def test_dates_come_back_as_midnight(day):
    CASES["round_trip_date"] += 1
    assert Serializer.from_wire(Serializer.to_wire(day)) == dt.datetime.combine(day, dt.time())


@fuzz_settings(100)
@given(st.integers(min_value=0, max_value=2 ** 62), st.sampled_from(["Excel", "Range", "Function", "x"]))
def test_proxies_travel_as_references(object_id, type_name):
    CASES["round_trip_proxy"] += 1
    proxy = OfficeJsObject(object_id, type_name)
    back = Serializer.from_wire(Serializer.to_wire(proxy))
    assert type(back) is OfficeJsObject
    assert (back._internal_id, back._internal_typeName) == (object_id, type_name)


# ------------------------------------------------------------------ responses

responses = st.fixed_dictionaries({}, optional={
    "ok": st.one_of(st.booleans(), st.none(), st.integers(), st.text(max_size=2), hostile()),
    "error": st.one_of(st.none(), st.text(max_size=5), st.integers(), st.lists(st.integers(), max_size=2),
                       st.fixed_dictionaries({}, optional={"message": scalar_values}), hostile(),
                       st.fixed_dictionaries({}, optional={"message": scalar_values}).map(DictSub)),
    "result": st.one_of(record_of(scalar_values), scalar_values),
})


@fuzz_settings(200)
@given(responses, st.sampled_from(["raw", "GET", "CALL"]))
def test_any_response_ends_the_request_in_a_value_or_an_exception(response, path):
    CASES["responses"] += 1
    delivered = []

    def handler(message):
        try:
            messaging.on_message(dict(response, requestId=message["requestId"]))
        except Exception as e:  # noqa: B902 - the host sees this one
            assert not isinstance(e, SystemError)
            delivered.append(e)

    messaging.set_send_handler(handler)
    if path == "raw":
        ok, out = failures_are_exceptions(messaging.send_request_sync, {"name": "x"}, 0)
        if ok:
            assert out["requestId"] and out["ok"]
        elif delivered:
            # on_message failed; the waiting call still ended at once, with
            # an exception of its own.
            assert type(out) is RuntimeError and out.args == ("Remote error",), (out, delivered)
    else:
        target = com_like.Excel if path == "GET" else com_like.Union
        failures_are_exceptions(lambda: target.values if path == "GET" else target(1))
    assert messaging.waiters == {}
