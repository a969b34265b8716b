"""The five proxy operations: one request per operation, its exact body, and
how failures reach user code."""
import threading
import traceback
import types

import pytest

import com_like
from com_like import OfficeJsObject, _cw__call__, _cw__del__, _cw__getattr__, _cw__getitem__, _cw__setattr__
from addin_doubles import error, ok

STALE = "Excel Object used after messaging context was stopped"
NOT_CALLABLE = "Only Function-typed SpecialObjects are callable"


pytestmark = pytest.mark.usefixtures("frozen_module", "no_leftovers")


def wire(value):
    return com_like.Serializer.to_wire(value)


def stale(type_name="Range", oid=20):
    proxy = OfficeJsObject(oid, type_name)
    com_like.messaging.reset()
    return proxy


def tb_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


def set_values(p):
    p.values = 3


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


OPERATIONS = {
    "GET": (lambda p: p.values, AttributeError),
    "GETITEM": (lambda p: p[1:5], AttributeError),
    "SET": (set_values, AttributeError),
    "CALL": (lambda p: p(1), RuntimeError),
}


# ------------------------------------------------------------------ bodies


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda p: p.values, [("method", "GET"), ("name", "values"), ("caller", 9)]),
        (lambda p: p[3], [("method", "GETITEM"), ("name", "3"), ("caller", 9)]),
        (set_values, [("method", "SET"), ("name", "values"), ("value", wire(3)), ("caller", 9)]),
        (lambda p: p(), [("method", "CALL"), ("name", "__call__"), ("args", []), ("caller", 9)]),
        (_cw__del__, [("method", "DEL"), ("name", "__del__"), ("caller", 9)]),
    ],
    ids=["GET", "GETITEM", "SET", "CALL", "DEL"],
)
def test_request_body_keys_in_order(addin, op, expected):
    proxy = OfficeJsObject(9, "Function")
    op(proxy)
    assert [list(b.items()) for b in addin.bodies()] == [expected]
    assert list(addin.requests[0])[-2:] == ["requestId", "kind"]


def test_results_are_decoded(addin):
    addin.answer = lambda req: ok({"type": "Worksheet", "value": 41, "isSpec": True})
    sheet = com_like.Excel.activeSheet
    assert (type(sheet), sheet._internal_id, sheet._internal_typeName) == (OfficeJsObject, 41, "Worksheet")
    addin.answer = lambda req: ok({"type": "Int", "value": 7})
    assert sheet[0] == 7 and com_like.GetSetting("x") == 7
    assert _cw__setattr__(sheet, "name", "S") is None


def test_operations_take_any_object_with_the_identity_attributes(addin):
    target = types.SimpleNamespace(_internal_id=42, _msg_guid=com_like.messaging._guid, _internal_typeName="Function")
    _cw__getattr__(target, "x")
    _cw__getitem__(target, 0)
    _cw__setattr__(target, "x", 1)
    _cw__call__(target)
    _cw__del__(target)
    assert [r["caller"] for r in addin.requests] == [42] * 5


@pytest.mark.parametrize(
    "index, key",
    [
        (3, "3"),
        (-1, "-1"),
        (True, "True"),
        (slice(1, 5), "1:5:"),
        (slice(None, None, 2), "::2"),
        (slice(None), "::"),
        (slice("A1", "C3"), "A1:C3:"),
        (slice(-1, None, -1), "-1::-1"),
        (slice(1.5, 0), "1.5:0:"),
    ],
)
def test_index_keys(addin, index, key):
    rng = OfficeJsObject(9, "Range")
    rng[index]
    assert [b["name"] for b in addin.bodies()] == [key]


def test_slice_parts_are_formatted_not_str(addin):
    class Cell:
        def __format__(self, spec):
            return "B2"

        def __str__(self):
            return "wrong"

    rng = OfficeJsObject(9, "Range")
    rng[Cell() : Cell()]
    assert addin.bodies()[0]["name"] == "B2:B2:"


@pytest.mark.parametrize("index", [2.0, "A1", None, (1, 2)])
def test_index_type_is_tested_before_the_context(addin, index):
    proxy = stale()
    with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
        proxy[index]
    assert addin.requests == []


# ------------------------------------------------------------------ local names


@pytest.mark.parametrize("name", ["_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache"])
def test_local_reading_names_never_reach_the_addin(addin, name):
    bare = object.__new__(OfficeJsObject)
    with pytest.raises(AttributeError):
        _cw__getattr__(bare, name)
    proxy = OfficeJsObject(9, "Range")
    assert _cw__getattr__(proxy, name) is vars(proxy)[name]
    assert addin.requests == []


def test_other_underscore_names_stay_local_too(addin):
    # No Office.js member begins with "_": a near miss of a local name is a
    # plain AttributeError, not a request.
    proxy = OfficeJsObject(9, "Range")
    with pytest.raises(AttributeError) as info:
        _cw__getattr__(proxy, "_internal")
    assert type(info.value) is AttributeError
    assert addin.requests == []


@pytest.mark.parametrize("name", ["_internal_id", "_internal_typeName", "_msg_guid", "_typ"])
def test_local_writing_names_store_on_the_instance(addin, name):
    proxy = OfficeJsObject(9, "Range")
    setattr(proxy, name, "new")
    assert vars(proxy)[name] == "new"
    assert addin.requests == []


def test_internal_cache_is_read_locally_but_written_remotely(addin):
    proxy = OfficeJsObject(9, "Range")
    cache = proxy._internal_cache
    proxy._internal_cache = {"a": 1}
    assert addin.methods() == [("SET", "_internal_cache", 9)]
    assert addin.bodies()[0]["value"] == wire({"a": 1})
    assert proxy._internal_cache is cache == {}


# ------------------------------------------------------------------ stale context


@pytest.mark.parametrize("op", OPERATIONS, ids=list(OPERATIONS))
def test_stale_proxy_is_refused(addin, op):
    proxy = stale("Function")
    with pytest.raises(RuntimeError, match=f"^{STALE}$") as info:
        OPERATIONS[op][0](proxy)
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    assert addin.requests == []


def test_stale_proxy_still_sends_its_del(addin):
    proxy = stale(oid=33)
    assert _cw__del__(proxy) is None
    del proxy
    assert addin.methods() == [("DEL", "__del__", 33)] * 2


def test_call_checks_the_context_before_the_type(addin):
    old, live = stale("Range"), OfficeJsObject(9, "Range")
    with pytest.raises(RuntimeError, match=STALE):
        old()
    with pytest.raises(TypeError, match=f"^{NOT_CALLABLE}$"):
        live()
    assert addin.requests == []


def test_set_checks_the_context_before_encoding(addin):
    old, live = stale(), OfficeJsObject(9, "Range")
    with pytest.raises(RuntimeError, match=STALE):
        old.values = Unprintable()
    with pytest.raises(ValueError, match="no text"):
        live.values = Unprintable()
    assert addin.requests == []


# ------------------------------------------------------------------ calls


def test_call_arguments_placed_then_named(addin):
    f = OfficeJsObject(9, "Function")
    f(1, "a", key=3, other=None)
    assert addin.bodies()[0]["args"] == [
        {"arg_type": "PLACED", "value": wire(1)},
        {"arg_type": "PLACED", "value": wire("a")},
        {"arg_type": "NAMED", "name": "key", "value": wire(3)},
        {"arg_type": "NAMED", "name": "other", "value": wire(None)},
    ]
    assert [list(a) for a in addin.bodies()[0]["args"]][1:3] == [["arg_type", "value"], ["arg_type", "name", "value"]]


def test_call_keyword_order_is_kept(addin):
    OfficeJsObject(9, "Function")(b=1, a=2)
    assert [a["name"] for a in addin.bodies()[0]["args"]] == ["b", "a"]


def test_call_encoding_error_sends_nothing(addin):
    f = OfficeJsObject(9, "Function")
    with pytest.raises(ValueError, match="no text"):
        f(1, x=Unprintable())
    assert addin.requests == []


# ------------------------------------------------------------------ failures


@pytest.mark.parametrize(
    "response", [{"ok": False}, {"ok": 0, "error": {}}, {"error": {"code": 3}}], ids=["no-error", "empty", "no-message"]
)
@pytest.mark.parametrize(
    "op, exc, message",
    [
        (lambda p: p.x, com_like.OfficeJsAttributeError, "GET failed for x"),
        (lambda p: p[1:5], AttributeError, "GET ITEM failed for slice(1, 5, None)"),
        (lambda p: p[-2], AttributeError, "GET ITEM failed for -2"),
        (lambda p: setattr(p, "x", 1), AttributeError, "SET failed for x"),
        (lambda p: p(), RuntimeError, "CALL failed"),
    ],
)
def test_false_ok_gives_the_default_message(monkeypatch, response, op, exc, message):
    monkeypatch.setattr(com_like.messaging, "send_request_sync", lambda req: response)
    with pytest.raises(exc) as info:
        op(OfficeJsObject(9, "Function"))
    assert type(info.value) is exc and info.value.args == (message,)


@pytest.mark.parametrize(
    "response, exc, args",
    [
        ({"ok": False, "error": {"message": 5}}, AttributeError, (5,)),
        ({"ok": False, "error": "bad"}, AttributeError, ("'str' object has no attribute 'get'",)),
        ({"ok": True}, TypeError, None),  # decoding the missing result
    ],
    ids=["false-ok-with-a-message", "error-without-get", "missing-result"],
)
def test_odd_responses_to_a_read(monkeypatch, response, exc, args):
    monkeypatch.setattr(com_like.messaging, "send_request_sync", lambda req: response)
    with pytest.raises(exc) as info:
        OfficeJsObject(9, "Range").x
    assert args is None or info.value.args == args


def test_response_is_read_through_get(monkeypatch):
    reads = []

    class Response:
        def __init__(self, items):
            self.items = items

        def get(self, key, *default):
            reads.append(key)
            return self.items.get(key, *default)

    answers = iter([Response({"ok": 1, "result": {"type": "Int", "value": 4}}), Response({"error": Response({})})])
    monkeypatch.setattr(com_like.messaging, "send_request_sync", lambda req: next(answers))
    proxy = OfficeJsObject(9, "Range")
    assert proxy.x == 4
    with pytest.raises(AttributeError, match="^GET failed for y$"):
        proxy.y
    assert reads == ["ok", "result", "ok", "error", "message"]


@pytest.mark.parametrize("op", OPERATIONS, ids=list(OPERATIONS))
@pytest.mark.parametrize("message, text", [("boom", "boom"), (None, "Remote error")])
def test_error_response_surfaces_as_messaging_runtime_error(addin, op, message, text):
    addin.answer = lambda req: error(message)
    with pytest.raises(RuntimeError) as info:
        OPERATIONS[op][0](OfficeJsObject(9, "Function"))
    exc = info.value
    # A failed read is also an AttributeError, for hasattr() and getattr() with a default.
    assert type(exc) is (com_like.OfficeJsAttributeError if op == "GET" else RuntimeError)
    assert exc.args == (text,)
    assert exc.__suppress_context__ is True and exc.__cause__ is None


# ------------------------------------------------------------------ traceback trimming


def test_native_code_adds_no_entries(addin):
    addin.answer = lambda req: error("boom")
    with pytest.raises(RuntimeError) as info:
        com_like.Excel.workbook
    names = tb_names(info.value)
    assert names[0] == "test_native_code_adds_no_entries"
    assert not set(names) & set(com_like._internal_officejs_names)


def test_leading_internal_entries_are_cut(addin):
    def fail(req):
        raise ValueError("from the add-in")

    addin.answer = fail  # RecordingAddin.__call__ runs first: its entry is cut
    with pytest.raises(ValueError) as info:
        com_like.Excel.workbook
    assert tb_names(info.value) == ["test_leading_internal_entries_are_cut", "fail"]


def test_replaced_operation_in_python(monkeypatch):
    def __getitem__(name):
        raise LookupError(name)

    def step(name):
        return __getitem__(name)

    def _cw__getattr__(self, name):
        return step(name)

    monkeypatch.setattr(com_like, "_cw__getattr__", _cw__getattr__)
    with pytest.raises(LookupError) as info:
        com_like.Excel.workbook
    here = "test_replaced_operation_in_python"
    assert tb_names(info.value) == [here, "step", "__getitem__"]  # only the leading run goes
    assert info.value.__suppress_context__

    monkeypatch.setattr(com_like, "_internal_officejs_names", [])  # looked up at each use
    with pytest.raises(LookupError) as info:
        com_like.Excel.workbook
    assert tb_names(info.value) == [here, "_cw__getattr__", "step", "__getitem__"]


def test_python_subclass_calling_super(addin):
    class Sheet(OfficeJsObject):
        def __getattr__(self, name):
            return super().__getattr__(name)

    sheet = Sheet(3, "Worksheet")
    del sheet._msg_guid  # the context check's own read comes back through Sheet.__getattr__
    with pytest.raises(AttributeError, match="_msg_guid") as info:
        sheet.values
    assert tb_names(info.value) == ["test_python_subclass_calling_super", "__getattr__"]
    assert addin.requests == []


def test_context_chain_is_hidden(monkeypatch):
    def send(req):
        try:
            raise KeyError("inner")
        except KeyError:
            raise ValueError("outer")

    monkeypatch.setattr(com_like.messaging, "send_request_sync", send)
    with pytest.raises(ValueError) as info:
        com_like.Excel.x
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__suppress_context__ and info.value.__cause__ is None


@pytest.mark.parametrize("op", OPERATIONS, ids=list(OPERATIONS))
def test_keyboard_interrupt_passes_untouched(addin, op):
    def interrupt(req):
        raise KeyboardInterrupt

    addin.answer = interrupt
    proxy = OfficeJsObject(9, "Function")
    with pytest.raises(KeyboardInterrupt) as info:
        OPERATIONS[op][0](proxy)
    addin.answer = lambda req: ok()  # for the DEL at the end
    assert tb_names(info.value)[-2:] == ["__call__", "interrupt"]  # nothing cut
    assert not info.value.__suppress_context__


# ------------------------------------------------------------------ release


def test_del_swallows_exceptions_but_not_interrupts(addin):
    proxy = OfficeJsObject(9, "Range")
    for exc in (ValueError, TimeoutError, RuntimeError):

        def fail(req, exc=exc):
            raise exc("x")

        addin.answer = fail
        assert _cw__del__(proxy) is None

    def interrupt(req):
        raise KeyboardInterrupt

    addin.answer = interrupt
    with pytest.raises(KeyboardInterrupt):
        _cw__del__(proxy)
    addin.answer = lambda req: error("gone")
    assert _cw__del__(proxy) is None


def test_del_without_handler_or_id_is_silent(addin):
    assert _cw__del__(object()) is None
    assert addin.requests == []
    com_like.messaging.set_send_handler(None)
    assert _cw__del__(OfficeJsObject(9, "Range")) is None


def test_del_is_sent_on_the_dropping_thread(addin):
    threads = []
    addin.answer = lambda req: (threads.append(threading.get_ident()), ok())[1]
    box = [OfficeJsObject(77, "Range")]
    worker = threading.Thread(target=box.clear)
    worker.start()
    worker.join()
    assert addin.methods() == [("DEL", "__del__", 77)]
    assert threads == [worker.ident]


# ------------------------------------------------------------------ threaded add-in


def test_threaded_addin_many_workers(threaded_addin):
    threaded_addin.answer = lambda req: ok({"type": "String", "value": req["name"]})
    results, errors = {}, []

    def work(n):
        try:
            proxy = OfficeJsObject(n, "Range")
            results[n] = [getattr(proxy, f"p{n}_{i}") for i in range(20)]
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(10, 14)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(10)
    assert errors == []
    assert results == {n: [f"p{n}_{i}" for i in range(20)] for n in range(10, 14)}
    assert sorted(m for m, _, _ in threaded_addin.methods()) == ["DEL"] * 4 + ["GET"] * 80
