"""Argument binding of the module's functions and methods: counts, keywords,
checked `dict`/`str`/`int` parameters and the `double timeout`."""
import fractions

import numpy as np
import pytest

import com_like
from com_like import Messaging, OfficeJsArray, OfficeJsDict, OfficeJsObject, OfficeJsTransaction, Serializer

M = com_like.messaging
SUBCLASS_NOTE = r"\)\. \S.*"


class D(dict):
    pass


class S(str):
    pass


def answer_synchronously():
    M.set_send_handler(lambda msg: M.on_message({"requestId": msg["requestId"], "ok": True}))


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: M.reset(1), "reset() takes exactly 1 positional argument (2 given)"),
        (lambda: Messaging.reset(), "reset() takes exactly 1 positional argument (0 given)"),
        (lambda: M.send_request_sync(), "send_request_sync() takes at least 2 positional arguments (1 given)"),
        (lambda: M.send_request_sync({}, 1, 2), "send_request_sync() takes at most 3 positional arguments (4 given)"),
        (lambda: Serializer.to_wire(), "to_wire() takes exactly 1 positional argument (0 given)"),
        (lambda: Serializer().to_wire(1, 2), "to_wire() takes exactly 1 positional argument (2 given)"),
        (lambda: M.on_message(), "on_message() takes exactly 2 positional arguments (1 given)"),
        (lambda: M.set_send_handler(1, 2), "set_send_handler() takes exactly 2 positional arguments (3 given)"),
        (lambda: M.get_callable(), "get_callable() takes exactly 2 positional arguments (1 given)"),
        (lambda: OfficeJsObject(1), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: OfficeJsTransaction(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
        (lambda: com_like._cw__getattr__(), "_cw__getattr__() takes exactly 2 positional arguments (0 given)"),
        (lambda: com_like._cw__call__(), "_cw__call__() takes at least 1 positional argument (0 given)"),
        # With keywords, "given" counts the parameters filled before the first missing one,
        # and this error wins over an unexpected keyword.
        (lambda: M.send_request_sync(timeout=1), "send_request_sync() takes at least 2 positional arguments (1 given)"),
        (lambda: M.send_request_sync(timeout=1, bogus=2),
         "send_request_sync() takes at least 2 positional arguments (1 given)"),
        (lambda: Messaging.send_request_sync(req={}), "send_request_sync() takes at least 2 positional arguments (0 given)"),
        (lambda: OfficeJsObject(type_name="T"), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda: M.reset(x=1), "reset() got an unexpected keyword argument 'x'"),
        (lambda: M.send_request_sync({}, Timeout=1), "send_request_sync() got an unexpected keyword argument 'Timeout'"),
        (lambda: Serializer.to_wire(1, value=2), "to_wire() got multiple values for keyword argument 'value'"),
        (lambda: M.send_request_sync({}, req={}), "send_request_sync() got multiple values for keyword argument 'req'"),
        (lambda: M.reset(self=M), "reset() got multiple values for keyword argument 'self'"),
        (lambda: OfficeJsObject(1, "T", object_id=2), "__init__() got multiple values for keyword argument 'object_id'"),
    ],
)  # fmt: skip
def test_binding_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (text,)


def test_every_parameter_binds_by_keyword(addin):
    m = Messaging()
    assert Messaging.set_send_handler(self=m, handler=print) is None and m._send_handler is print
    assert Messaging.reset(self=m) is None
    cid = Messaging.register_callable(self=m, callable_obj=len)
    assert Messaging.get_callable(self=m, callable_id=cid) is len
    assert Messaging.unregister_callable(callable_id=cid, self=m) is None
    answer_synchronously()
    response = Messaging.send_request_sync(timeout=0, req={"a": 1}, self=M)
    assert response["ok"] is True
    assert M.send_request_sync(req={}, timeout=5)["ok"] is True
    assert M.on_message(message={"requestId": "none"}) is None
    wire = Serializer.to_wire(value=3)
    assert Serializer.from_wire(wire=wire) == 3
    p = OfficeJsObject(type_name="Range", object_id=7)
    assert (p._internal_id, p._internal_typeName) == (7, "Range")
    assert OfficeJsArray(object_id=8)._internal_id == 8
    t = OfficeJsTransaction(block_gets=True, error_callback=print, raiseError=False, roolback_at_error=True)
    assert (t._block_gets, t._error_callback, t._raiseError) == (True, print, False)


@pytest.mark.parametrize(
    "call, param, expected, got",
    [
        (lambda: M.send_request_sync(None), "req", "dict", "NoneType"),
        (lambda: M.send_request_sync([]), "req", "dict", "list"),
        (lambda: M.on_message("x"), "message", "dict", "str"),
        (lambda: Serializer.from_wire(None), "wire", "dict", "NoneType"),
        (lambda: M.get_callable(b"id"), "callable_id", "str", "bytes"),
        (lambda: OfficeJsObject(1, None), "type_name", "str", "NoneType"),
        (lambda: OfficeJsObject(3, b"Range"), "type_name", "str", "bytes"),
        (lambda: OfficeJsObject("3", "Range"), "object_id", "int", "str"),
        (lambda: OfficeJsObject(object_id="x", type_name="T"), "object_id", "int", "str"),
        (lambda: OfficeJsObject(object_id=None, type_name="T"), "object_id", "int", "NoneType"),
        (lambda: OfficeJsObject(object_id=[1], type_name="T"), "object_id", "int", "list"),
        (lambda: OfficeJsArray(b"1"), "object_id", "int", "bytes"),
        (lambda: OfficeJsArray(None), "object_id", "int", "NoneType"),
        (lambda: OfficeJsDict(None), "object_id", "int", "NoneType"),
        (lambda: OfficeJsDict(object_id=[1]), "object_id", "int", "list"),
        # checks run in parameter order, whatever the keyword order
        (lambda: OfficeJsObject(type_name=5, object_id="x"), "object_id", "int", "str"),
    ],
)  # fmt: skip
def test_checked_parameter_types(call, param, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (f"Argument '{param}' has incorrect type (expected {expected}, got {got})",)


@pytest.mark.parametrize(
    "call, param, expected, got",
    [
        (lambda: M.send_request_sync(D()), "req", "dict", "D"),
        (lambda: M.on_message(D()), "message", "dict", "D"),
        (lambda: Serializer.from_wire(D(type="Int", value=1)), "wire", "dict", "D"),
        (lambda: M.unregister_callable(S("x")), "callable_id", "str", "S"),
        (lambda: OfficeJsObject(1, S("T")), "type_name", "str", "S"),
    ],
)  # fmt: skip
def test_subclasses_of_builtins_refused_with_a_note(call, param, expected, got):
    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type "
                                        rf"\(expected {expected}, got {got}{SUBCLASS_NOTE}$"):  # fmt: skip
        call()


class Indexable:
    def __index__(self):
        return 11


class BadInt:
    def __int__(self):
        raise ValueError("no int here")


@pytest.mark.parametrize("value, expected", [(7, 7), (2.9, 2), (-2.9, -2), (True, 1), (False, 0),
                                             (np.int64(5), 5), (np.float32(3.5), 3), (Indexable(), 11),
                                             (fractions.Fraction(7, 2), 3)])  # fmt: skip
@pytest.mark.usefixtures("frozen_module", "no_leftovers")
def test_int_parameter_converts_numbers(addin, value, expected):
    proxies = [OfficeJsObject(object_id=value, type_name="T"), OfficeJsObject(value, "Range"), OfficeJsArray(value),
               OfficeJsDict(value)]  # fmt: skip
    assert [(type(p._internal_id), p._internal_id) for p in proxies] == [(int, expected)] * 4
    assert addin.requests == []


@pytest.mark.parametrize("value, exc", [(BadInt(), ValueError), (float("nan"), ValueError),
                                        (float("inf"), OverflowError)])  # fmt: skip
def test_int_conversion_errors_propagate(value, exc):
    with pytest.raises(exc):
        OfficeJsObject(value, "T")


@pytest.mark.parametrize("timeout", [0, 0.0, False, np.float64(0), fractions.Fraction(0), Indexable()])
def test_timeout_accepts_real_numbers(timeout):
    answer_synchronously()
    assert M.send_request_sync({}, timeout)["ok"] is True


@pytest.mark.parametrize("timeout", [None, "1", [], 1j])
def test_timeout_refuses_non_numbers(timeout):
    sent = []
    M.set_send_handler(sent.append)
    with pytest.raises(TypeError):
        M.send_request_sync({}, timeout=timeout)
    assert sent == [] and M.waiters == {}
