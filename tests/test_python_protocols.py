"""Proxies under Python's own protocols: names that begin with an underscore
(Python's protocol probes, IPython's and pandas' private probes) never reach
the add-in, and a failed read is an AttributeError (for hasattr, getattr
with a default, duck typing) that is still the RuntimeError every other
add-in failure is, and that pickles."""
import concurrent.futures
import gc
import traceback

import pytest

import com_like
from com_like import OfficeJsAttributeError, OfficeJsObject, OfficeJsTransaction, Serializer, _cw__getattr__
from addin_doubles import error, ok

STALE = "Excel Object used after messaging context was stopped"

pytestmark = pytest.mark.usefixtures("frozen_module", "no_leftovers", "release_here")


@pytest.fixture
def release_here():
    """Proxies caught in exception cycles here are released while this
    module's double still answers, not later against another add-in."""
    yield
    gc.collect()

PROXIES = {
    "object": lambda: OfficeJsObject(9, "Range"),
    "function": lambda: OfficeJsObject(9, "Function"),
    "array": lambda: Serializer.from_wire({"type": "Array", "id": 9, "value": [{"type": "Int", "value": 1}]}),
    "dict": lambda: Serializer.from_wire({"type": "Dict", "id": 9, "value": {"k": {"type": "Int", "value": 1}}}),
}


@pytest.mark.parametrize("kind", PROXIES)
@pytest.mark.parametrize(
    "name", ["__array_struct__", "__array_interface__", "__deepcopy__", "__setstate__", "__fspath__", "__x__", "__",
             "_repr_html_", "_ipython_display_", "_ipython_canary_method_should_not_exist_", "_repr_mimebundle_",
             "_fields", "_x", "__private", "_x_", "_"]
)
def test_underscore_names_stay_local(addin, kind, name):
    proxy = PROXIES[kind]()
    with pytest.raises(AttributeError) as info:
        getattr(proxy, name)
    assert type(info.value) is AttributeError
    assert str(info.value) == "'%s' object has no attribute '%s'" % (type(proxy).__name__, name)
    assert not hasattr(proxy, name) and getattr(proxy, name, 7) == 7
    assert addin.requests == []


@pytest.mark.parametrize("target", [lambda: OfficeJsObject(9, "Range"), OfficeJsTransaction])
@pytest.mark.parametrize("name", ["__array__", "_repr_html_"])
def test_underscore_names_stay_local_even_when_stale(addin, target, name):
    obj = target()
    com_like.messaging.reset()
    with pytest.raises(AttributeError) as info:
        _cw__getattr__(obj, name)
    assert type(info.value) is AttributeError
    assert _cw__getattr__(obj, "__class__") is type(obj)  # the plain lookup still finds what exists
    assert [r for r in addin.requests if r["method"] != "DEL"] == []


@pytest.mark.parametrize("name", ["tail__", "x_", "x", "a_b"])
def test_other_names_are_still_sent(addin, name):
    addin.answer = lambda req: ok({"type": "Int", "value": 5})
    proxy = OfficeJsObject(9, "Range")
    assert getattr(proxy, name) == 5
    assert addin.methods() == [("GET", name, 9)]


def test_failed_read_is_an_attribute_error_and_a_runtime_error(addin):
    addin.answer = lambda req: error("Range has no member 'shape'")
    proxy = OfficeJsObject(9, "Range")
    assert hasattr(proxy, "shape") is False
    assert getattr(proxy, "shape", None) is None
    with pytest.raises(RuntimeError) as info:
        proxy.shape
    exc = info.value
    assert type(exc) is OfficeJsAttributeError and isinstance(exc, AttributeError)
    assert exc.args == ("Range has no member 'shape'",)
    assert exc.__cause__ is None and exc.__suppress_context__ is True
    names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    assert not set(names) & set(com_like._internal_officejs_names)
    assert len(addin.requests) == 3


@pytest.mark.parametrize("missing_member", [None, True])
def test_a_read_not_said_otherwise_is_a_missing_member(addin, missing_member):
    addin.answer = lambda req: error("Range has no member 'shape'", missing_member)
    assert hasattr(OfficeJsObject(9, "Range"), "shape") is False


@pytest.mark.parametrize("answer", [
    lambda req: error("ItemNotFound: worksheets.getItem(\"x\"): no such sheet", False),
    lambda req: {"requestId": None, "kind": "response", "ok": False, "result": None,
                 "error": {"message": "ItemNotFound: gone", "missingMember": False, "other": 1}},
])
def test_a_read_that_failed_for_another_reason_is_a_plain_runtime_error(addin, answer):
    addin.answer = answer
    proxy = OfficeJsObject(9, "Worksheet")
    with pytest.raises(RuntimeError) as info:
        hasattr(proxy, "name")
    exc = info.value
    assert type(exc) is RuntimeError and exc.args[0].startswith("ItemNotFound: ")
    names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    assert not set(names) & set(com_like._internal_officejs_names)
    # The next failed read, with no mark, is a missing member again.
    addin.answer = lambda req: error("no such member")
    assert hasattr(proxy, "name") is False


@pytest.mark.parametrize("flag", [0, "false", None])
def test_only_false_itself_marks_a_read_as_not_missing(addin, flag):
    addin.answer = lambda req: {"requestId": None, "kind": "response", "ok": False, "result": None,
                                "error": {"message": "m", "missingMember": flag}}
    with pytest.raises(OfficeJsAttributeError):
        OfficeJsObject(9, "Range").x


def test_failed_read_answered_from_another_thread(threaded_addin):
    threaded_addin.answer = lambda req: error("no such member")
    with pytest.raises(OfficeJsAttributeError, match="no such member"):
        OfficeJsObject(9, "Range").x


class HandlerDown(RuntimeError):
    pass


def raising(exc):
    def handler(message):
        raise exc

    return handler


def reset_while_waiting(message):
    com_like.messaging.reset()


@pytest.mark.parametrize(
    "handler, stale, expected, text",
    [
        (None, False, RuntimeError, "No send handler registered"),
        (raising(RuntimeError("link down")), False, RuntimeError, "link down"),
        (raising(HandlerDown("link down")), False, HandlerDown, "link down"),
        (raising(concurrent.futures.TimeoutError()), False, TimeoutError, "Timed out waiting for Office.js response"),
        (reset_while_waiting, False, concurrent.futures.CancelledError, ""),
        (raising(AssertionError("never sent")), True, RuntimeError, STALE),
    ],
    ids=["no-handler", "handler-error", "handler-subclass", "time-out", "cancelled", "stale"],
)
def test_other_failures_keep_their_own_exceptions(handler, stale, expected, text):
    for read in (lambda p: p.shape, lambda p: hasattr(p, "shape")):
        proxy = OfficeJsObject(9, "Range")
        if stale:
            com_like.messaging.reset()
        com_like.messaging.set_send_handler(handler)
        with pytest.raises(BaseException) as info:
            read(proxy)
        com_like.messaging.set_send_handler(None)  # before the proxy's release
        assert type(info.value) is expected and str(info.value) == text
        del info, proxy


COPIES = {
    "copy": __import__("copy").copy,
    "deepcopy": __import__("copy").deepcopy,
    "pickle": lambda v: __import__("pickle").loads(__import__("pickle").dumps(v)),
}


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("kind, plain", [("array", list), ("dict", dict)])
def test_copies_are_plain_and_release_nothing(addin, kind, plain, how):
    proxy = PROXIES[kind]()
    duplicate = COPIES[how](proxy)
    assert type(duplicate) is plain and duplicate == proxy
    del duplicate
    gc.collect()
    assert addin.requests == []  # only the original releases the remote object


def test_deep_copies_are_plain_all_the_way_down(addin):
    outer = Serializer.from_wire(
        {"type": "Array", "id": 9, "value": [{"type": "Array", "id": 10, "value": [{"type": "Int", "value": 1}]},
                                             {"type": "Dict", "id": 11, "value": {"k": {"type": "Int", "value": 2}}}]}
    )  # fmt: skip
    deep, shallow = COPIES["deepcopy"](outer), COPIES["copy"](outer)
    assert [type(x) for x in deep] == [list, dict] and deep == [[1], {"k": 2}]
    assert shallow[0] is outer[0]  # a shallow copy shares the rows, as for any list
    deep[0].append(5)
    assert outer[0] == [1]


def test_showing_a_proxy_in_ipython_costs_no_request(addin):
    from IPython.core.formatters import DisplayFormatter

    proxy = OfficeJsObject(9, "Range")
    shown, _ = DisplayFormatter().format(proxy)
    assert shown == {"text/plain": "<OfficeJsObject Range id=9>"}
    assert addin.requests == []


# ------------------------------------------------------------------ pickling the exception


def raise_attribute_error(*args):
    raise OfficeJsAttributeError(*args)


def describe(exc):
    return type(exc).__name__, exc.args, isinstance(exc, AttributeError) and isinstance(exc, RuntimeError)


@pytest.mark.parametrize("protocol", range(__import__("pickle").HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("args", [(), ("Range has no member 'shape'",), ("a", 2, None)])
def test_attribute_error_pickles(protocol, args):
    import pickle

    exc = OfficeJsAttributeError(*args)
    exc.note = "kept"
    back = pickle.loads(pickle.dumps(exc, protocol))
    assert type(back) is OfficeJsAttributeError and back.args == args and back.note == "kept"
    assert type(back).__module__ == "veltrum_master.python_server.veltrum.com_like"


def test_a_subclass_pickles_as_itself():
    import pickle

    back = pickle.loads(pickle.dumps(Subclassed("x")))
    assert type(back) is Subclassed and back.args == ("x",)


class Subclassed(OfficeJsAttributeError):
    pass


# Not "fork": the test process has threads, and a forked child may
# deadlock on a lock one of them held.
@pytest.mark.parametrize("start", ["forkserver", "spawn"])
def test_attribute_error_crosses_processes(start):
    import multiprocessing
    if start not in multiprocessing.get_all_start_methods():
        pytest.skip("no %s start method here" % start)

    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(start)) as pool:
        # Raised in the worker, pickled there and unpickled here.
        failed = pool.submit(raise_attribute_error, "Range has no member 'shape'")
        with pytest.raises(OfficeJsAttributeError) as info:
            failed.result(timeout=120)
        assert info.value.args == ("Range has no member 'shape'",)
        # Pickled here and unpickled in the worker.
        sent = pool.submit(describe, OfficeJsAttributeError("x", 1)).result(timeout=120)
        assert sent == ("OfficeJsAttributeError", ("x", 1), True)
