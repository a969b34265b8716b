"""Messaging: the request envelope, waiting for the answer, failures, reset."""
import concurrent.futures
import re
import threading
import time

import pytest

import com_like
from addin_doubles import ThreadedAddin, error, ok
from com_like_host import wire
from host_support import wait_until

M = com_like.messaging
HEX32 = re.compile(r"[0-9a-f]{32}")
TIMEOUT_TEXT = "Timed out waiting for Office.js response"
ROOTS = ["Context", "Excel", "GetSetting", "Union", "Intersect"]


class CountingLock:
    """A stand-in for threading.Lock that counts how it is used."""

    def __init__(self):
        self._lock = threading.Lock()
        self.acquired = 0
        self.released = 0

    def acquire(self, *args):
        self.acquired += 1
        return self._lock.acquire(*args)

    def release(self):
        self.released += 1
        self._lock.release()

    def locked(self):
        return self._lock.locked()


def test_fresh_instance():
    m = com_like.Messaging()
    assert list(vars(m)) == ["waiters", "_waiters_lock", "_guid", "_send_handler", "loop", "loop_thread",
                             "_callable_registry", "_callable_lock", "_next_callable_id"]  # fmt: skip
    assert m.waiters == {} and m._callable_registry == {}
    assert m._send_handler is None and m.loop is None and m.loop_thread is None
    assert m._next_callable_id == 1 and type(m._next_callable_id) is int
    assert HEX32.fullmatch(m._guid)
    assert type(m._waiters_lock) is type(threading.Lock()) and m._waiters_lock is not m._callable_lock
    assert com_like.Messaging()._guid != m._guid


def test_set_send_handler_takes_anything():
    m = com_like.Messaging()
    for value in (print, 5, None, "x"):
        assert m.set_send_handler(value) is None
        assert m._send_handler is value


@pytest.mark.parametrize(
    "req, keys",
    [
        ({}, ["requestId", "kind"]),
        ({"method": "GET", "name": "x", "caller": 1}, ["method", "name", "caller", "requestId", "kind"]),
        ({"requestId": "x", "a": 1}, ["requestId", "a", "kind"]),
        ({"kind": "other", "a": 1}, ["kind", "a", "requestId"]),
    ],
)
def test_envelope(addin, req, keys):
    before = dict(req)
    M.send_request_sync(req)
    (message,) = addin.requests
    assert list(message) == keys
    assert HEX32.fullmatch(message["requestId"])
    assert message["kind"] == "request"
    assert req == before and list(req) == list(before)
    assert message is not req


def test_envelope_is_a_shallow_copy_and_ids_differ(addin):
    value = [1, 2]
    M.send_request_sync({"value": value})
    M.send_request_sync({"value": value})
    first, second = addin.requests
    assert first["value"] is value
    assert first["requestId"] != second["requestId"]


def test_waiter_parked_before_handler_and_no_lock_held():
    seen = {}

    def handler(message):
        seen["parked"] = message["requestId"] in M.waiters
        seen["locks_free"] = not M._waiters_lock.locked() and not M._callable_lock.locked()
        M.on_message(wire.ok(message["requestId"]))

    M.set_send_handler(handler)
    M.send_request_sync({})
    assert seen == {"parked": True, "locks_free": True}
    assert M.waiters == {}


def test_synchronous_answer_returns_that_very_dict_even_with_timeout_zero():
    answers = []

    def handler(message):
        answers.append({"requestId": message["requestId"], "ok": True, "result": 1, "extra": "kept"})
        assert M.on_message(answers[-1]) is None

    M.set_send_handler(handler)
    assert M.send_request_sync({}, timeout=0) is answers[0]
    assert M.send_request_sync({}, 0.0) is answers[1]


def test_timeout_zero_without_answer(addin):
    addin.answer = lambda req: None
    with pytest.raises(TimeoutError) as info:
        M.send_request_sync({"a": 1}, timeout=0)
    assert type(info.value) is TimeoutError
    assert info.value.args == (TIMEOUT_TEXT,)
    assert type(info.value.__context__) is concurrent.futures.TimeoutError
    assert M.waiters == {}
    # The answer arriving afterwards is dropped.
    assert M.on_message(wire.ok(addin.requests[0]["requestId"])) is None


@pytest.mark.parametrize(
    "response, args",
    [
        (error("boom"), ("boom",)),
        ({"ok": False, "error": {"message": 42}}, (42,)),
        (error(), ("Remote error",)),
        ({"ok": False}, ("Remote error",)),
        ({"error": {"message": "no ok key"}}, ("no ok key",)),
        ({}, ("Remote error",)),
        ({"ok": 0, "result": {"type": "Int", "value": 1}}, ("Remote error",)),
    ],
)
def test_error_responses(addin, response, args):
    addin.answer = lambda req: response
    with pytest.raises(RuntimeError) as info:
        M.send_request_sync({})
    assert type(info.value) is RuntimeError and info.value.args == args
    assert M.waiters == {}


class Text(str):
    pass


@pytest.mark.parametrize("error, args", [("bad range", ("bad range",)), (Text("sub"), ("sub",)),
                                         (["x"], ("Remote error",)), (None, ("Remote error",)),
                                         (7, ("Remote error",))])  # fmt: skip
def test_error_without_get_fails_the_call_at_once(error, args):
    double = ThreadedAddin(answer=lambda req: {"ok": False, "error": error}).install()
    try:
        with pytest.raises(RuntimeError) as info:
            M.send_request_sync({}, timeout=5)     # waiting it out would be a TimeoutError
        assert type(info.value) is RuntimeError and info.value.args == args
        assert type(info.value.args[0]) is str
        assert M.waiters == {}
    finally:
        double.stop()


class Unreadable:
    def __bool__(self):
        raise ValueError("no truth value")


class BrokenError:
    def get(self, key, default=None):
        raise LookupError("no message")


@pytest.mark.parametrize("response", [{"ok": Unreadable()}, {"ok": False, "error": BrokenError()}],
                         ids=["ok-without-truth", "error-get-raises"])  # fmt: skip
def test_unreadable_answer_gives_each_side_its_own_exception(response):
    raised = []

    def handler(message):
        try:
            M.on_message({"requestId": message["requestId"], **response})
        except Exception as exc:  # what the host's listener would see
            raised.append(exc)

    M.set_send_handler(handler)
    with pytest.raises(RuntimeError) as info:
        M.send_request_sync({}, timeout=0)
    assert type(info.value) is RuntimeError and info.value.args == ("Remote error",)
    (listener_error,) = raised
    assert type(listener_error) in (ValueError, LookupError)
    assert M.waiters == {}


def test_error_without_get_on_message_returns_none():
    returned = []

    def handler(message):
        returned.append(M.on_message({"requestId": message["requestId"], "ok": False, "error": "text"}))

    M.set_send_handler(handler)
    with pytest.raises(RuntimeError, match="^text$"):
        M.send_request_sync({}, timeout=0)
    assert returned == [None]


def test_duplicate_and_unknown_answers_ignored():
    first = {}

    def handler(message):
        first.update(wire.ok(message["requestId"]))
        M.on_message(first)
        assert M.on_message(wire.error(message["requestId"])) is None

    M.set_send_handler(handler)
    assert M.send_request_sync({}) is first
    assert M.on_message(wire.ok("0" * 32)) is None


def test_late_answer_from_listener_is_dropped():
    release = threading.Event()

    def answer(req):
        release.wait(5)
        return ok()

    double = ThreadedAddin(answer=answer).install()
    try:
        with pytest.raises(TimeoutError):
            M.send_request_sync({}, timeout=0.05)
        release.set()
        # The listener dropped the late answer without failing: it answers the next request.
        assert M.send_request_sync({}, timeout=5)["ok"] is True
        assert M.waiters == {}
    finally:
        release.set()
        double.stop()


@pytest.mark.parametrize("message", [{}, {"requestId": None, "ok": True}, {"requestId": "", "ok": True},
                                     {"requestId": 0, "ok": True}])  # fmt: skip
def test_on_message_without_request_id(message):
    parked = {None: concurrent.futures.Future(), "": concurrent.futures.Future(), 0: concurrent.futures.Future()}
    M.waiters.update(parked)
    assert M.on_message(message) is None
    assert M.waiters == parked
    assert not any(f.done() for f in parked.values())


class RequestId(str):
    pass


def test_request_id_of_another_type_finds_its_equal():
    fut = concurrent.futures.Future()
    M.waiters.update({"a" * 32: fut, 7: concurrent.futures.Future()})
    assert M.on_message(wire.ok(RequestId("a" * 32))) is None
    assert fut.done() and list(M.waiters) == [7]
    assert M.on_message(wire.ok(7.0)) is None and M.waiters == {}
    assert M.on_message(wire.ok(8)) is None
    with pytest.raises(TypeError, match="unhashable"):
        M.on_message(wire.ok(["x"]))


def test_dict_subclasses_refused(addin):
    class D(dict):
        pass

    with pytest.raises(TypeError, match=r"expected dict, got D\)\. "):
        M.send_request_sync(D())
    with pytest.raises(TypeError, match=r"expected dict, got D\)\. "):
        M.on_message(D(requestId="x", ok=True))
    assert addin.requests == []


def failing_handler(exc):
    def handler(message):
        raise exc

    return handler


def test_handler_raising_futures_timeout_becomes_builtin_timeout():
    M.set_send_handler(failing_handler(concurrent.futures.TimeoutError()))
    with pytest.raises(TimeoutError) as info:
        M.send_request_sync({})
    assert type(info.value) is TimeoutError and info.value.args == (TIMEOUT_TEXT,)
    assert isinstance(info.value.__context__, concurrent.futures.TimeoutError)
    assert M.waiters == {}


def test_handler_raising_builtin_timeout():
    exc = TimeoutError("transport")
    M.set_send_handler(failing_handler(exc))
    with pytest.raises(TimeoutError) as info:
        M.send_request_sync({})
    if concurrent.futures.TimeoutError is TimeoutError:
        assert info.value.args == (TIMEOUT_TEXT,)
    else:
        assert info.value is exc
    assert M.waiters == {}


class HostTimeout(TimeoutError):
    """A host's own time-out, which says how far a transfer got."""


@pytest.mark.parametrize("raised", [ValueError("handler failed"),
                                    HostTimeout("no progress for 30 s; 10 of 20 rows written"),
                                    ConnectionResetError("gone")])
def test_handler_error_passes_unchanged_on_every_version(raised):
    M.set_send_handler(failing_handler(raised))
    with pytest.raises(type(raised)) as info:
        M.send_request_sync({})
    assert info.value is raised
    assert M.waiters == {}


def test_true_non_callable_handler():
    M.set_send_handler(5)
    with pytest.raises(TypeError):
        M.send_request_sync({})
    assert M.waiters == {}


def test_keyboard_interrupt_passes_and_waiter_stays_until_reset():
    M.set_send_handler(failing_handler(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        M.send_request_sync({})
    (fut,) = M.waiters.values()
    M.reset()
    assert M.waiters == {} and fut.cancelled()


class InterruptingLock(CountingLock):
    """Its acquire calls with the given numbers raise KeyboardInterrupt, as a
    signal handler does when Ctrl-C lands while the lock is contended."""

    def __init__(self, interrupted):
        super().__init__()
        self.interrupted = interrupted

    def acquire(self, *args):
        if self.acquired + 1 in self.interrupted:
            self.acquired += 1
            raise KeyboardInterrupt
        return super().acquire(*args)


@pytest.mark.parametrize("handler, failure", [(failing_handler(ValueError("handler")), ValueError),
                                              (lambda message: None, concurrent.futures.TimeoutError)],
                         ids=["handler-error", "time-out"])  # fmt: skip
@pytest.mark.parametrize("interrupted, left", [({2}, 0), ({2, 3}, 1)], ids=["once", "twice"])
def test_interrupt_while_dropping_the_waiter_is_raised(monkeypatch, handler, failure, interrupted, left):
    lock = InterruptingLock(interrupted)  # 1 parks the waiter, 2 drops it, 3 tries again
    monkeypatch.setattr(M, "_waiters_lock", lock)
    M.set_send_handler(handler)
    with pytest.raises(KeyboardInterrupt) as info:
        M.send_request_sync({}, timeout=0)
    assert isinstance(info.value.__context__, failure)
    assert len(M.waiters) == left and not lock.locked()


@pytest.mark.parametrize("handler", [None, 0, ""])
def test_no_send_handler(handler):
    M.set_send_handler(print)
    M.set_send_handler(handler)
    with pytest.raises(RuntimeError) as info:
        M.send_request_sync({})
    assert info.value.args == ("No send handler registered",)
    assert M.waiters == {}


def run_workers(n, timeout=10):
    results = [None] * n

    def work(i):
        try:
            M.send_request_sync({"i": i}, timeout=timeout)
            results[i] = "returned"
        except BaseException as e:  # noqa: BLE001 - the test inspects it
            results[i] = e

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    return threads, results


def test_reset_cancels_every_waiting_worker(threaded_addin):
    threaded_addin.answer = lambda req: None
    threads, results = run_workers(3)
    assert wait_until(lambda: len(M.waiters) == 3 and len(threaded_addin.requests) == 3)
    M.reset()
    for t in threads:
        t.join(5)
    for exc in results:
        assert type(exc) is concurrent.futures.CancelledError    # not the 10 s time-out
    assert M.waiters == {}


def test_reset_leaves_done_futures_alone():
    done, pending = concurrent.futures.Future(), concurrent.futures.Future()
    done.set_result("kept")
    M.waiters.update(a=done, b=pending)
    M.reset()
    assert M.waiters == {}
    assert not done.cancelled() and done.result() == "kept"
    assert pending.cancelled()


def test_reset_cancels_every_future_when_one_refuses():
    class Refusing(concurrent.futures.Future):
        def cancel(self):
            raise ValueError("no")

    first, last = concurrent.futures.Future(), concurrent.futures.Future()
    M.waiters.update(a=first, b=Refusing(), c=last)
    old = M._guid
    with pytest.raises(ValueError, match="no"):
        M.reset()
    assert first.cancelled() and last.cancelled()
    assert M.waiters == {} and M._guid == old and not M._waiters_lock.locked()


def test_reset_restamps_all_five_roots(addin):
    old = M._guid
    stale = com_like.OfficeJsObject(object_id=9, type_name="Range")
    assert M.reset() is None
    assert M._guid != old and HEX32.fullmatch(M._guid)
    for name in ROOTS:
        assert getattr(com_like, name)._msg_guid == M._guid, name
    assert stale._msg_guid == old
    with pytest.raises(RuntimeError, match="^Excel Object used after messaging context was stopped$"):
        stale.values
    # The handler survives the reset and the fixed roots stay usable.
    com_like.GetSetting("x")
    com_like.Union(com_like.Excel, com_like.Context)
    com_like.Intersect()
    com_like.Excel.workbook
    assert [r["caller"] for r in addin.requests] == [2, 3, 4, 1]
    assert M.loop is None and M.loop_thread is None and M._send_handler is addin


@pytest.fixture
def module_namespace():
    """Gives the test the module's namespace and restores it, order included."""
    ns = vars(com_like)
    saved = dict(ns)
    yield ns
    ns.clear()
    ns.update(saved)


@pytest.mark.parametrize("missing", ROOTS)
def test_reset_without_a_root_global(module_namespace, missing):
    del module_namespace[missing]
    M.reset()
    for name in ROOTS:
        if name != missing:
            assert module_namespace[name]._msg_guid == M._guid


def test_reset_with_a_root_that_refuses_the_stamp(module_namespace):
    module_namespace["Context"] = object()
    M.reset()
    assert com_like.Excel._msg_guid == M._guid and com_like.Intersect._msg_guid == M._guid


def test_reset_on_another_instance_stamps_the_module_roots():
    other = com_like.Messaging()
    other.reset()
    assert com_like.Excel._msg_guid == other._guid != M._guid


def test_replaced_waiters_lock_is_used(monkeypatch):
    lock = CountingLock()
    monkeypatch.setattr(M, "_waiters_lock", lock)

    def handler(message):
        assert not lock.locked()
        M.on_message(wire.ok(message["requestId"]))

    M.set_send_handler(handler)
    M.send_request_sync({})
    assert (lock.acquired, lock.released) == (2, 2)  # park, and the pop in on_message
    M.reset()
    assert (lock.acquired, lock.released) == (3, 3)
    M.set_send_handler(failing_handler(ValueError()))
    with pytest.raises(ValueError):
        M.send_request_sync({})
    assert (lock.acquired, lock.released) == (5, 5)


def test_lock_released_when_the_table_fails(monkeypatch):
    class BrokenTable(dict):
        def __setitem__(self, key, value):
            raise KeyError("no room")

        def pop(self, *args):
            raise KeyError("no pop")

        def values(self):
            raise KeyError("no values")

    monkeypatch.setattr(M, "waiters", BrokenTable())
    M.set_send_handler(print)
    with pytest.raises(KeyError, match="no room"):
        M.send_request_sync({})
    assert not M._waiters_lock.locked()
    with pytest.raises(KeyError, match="no pop"):
        M.on_message(wire.ok("x"))
    assert not M._waiters_lock.locked()
    old = M._guid
    with pytest.raises(KeyError, match="no values"):
        M.reset()
    assert not M._waiters_lock.locked() and M._guid == old


def test_wait_releases_the_gil(threaded_addin):
    threaded_addin.answer = lambda req: None
    threads, results = run_workers(1, timeout=1.5)
    assert wait_until(lambda: len(M.waiters) == 1)
    start = time.monotonic()
    spins = 0
    while time.monotonic() - start < 0.3:
        spins += 1
    assert threads[0].is_alive()
    assert spins > 1000
    M.reset()
    threads[0].join(5)
    assert type(results[0]) is concurrent.futures.CancelledError


def test_workers_get_their_own_answers(threaded_addin):
    threaded_addin.answer = lambda req: dict(ok(), echo=req["i"])
    results = {}

    def work(i):
        results[i] = M.send_request_sync({"i": i}, timeout=10)["echo"]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert results == {i: i for i in range(8)}
    assert M.waiters == {}
