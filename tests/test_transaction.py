"""OfficeJsTransaction: the exact requests of each step of its life."""
import gc
import sys

import pytest

import com_like
from com_like import OfficeJsTransaction, Serializer
from addin_doubles import error, ok

STALE = "Excel Object used after messaging context was stopped"
START_FN, COMMIT_FN, ROLLBACK_FN = 101, 102, 103
CONTEXT = {"type": "RequestContext", "value": 0, "isSpec": True}


pytestmark = pytest.mark.usefixtures("frozen_module", "no_leftovers")


def batch_answer(req):
    """The add-in's transaction object: "start" and "commit" are functions."""
    if req["method"] == "GET" and req["caller"] == 5:
        fn = {"start": START_FN, "commit": COMMIT_FN, "rollback": ROLLBACK_FN}[req["name"]]
        return ok({"type": "Function", "value": fn, "isSpec": True})
    return ok()


@pytest.fixture
def batch(addin):
    addin.answer = batch_answer
    return addin


def sent(addin):
    return [
        (r["method"], r["name"], r["caller"]) + ((r["args"],) if r["method"] == "CALL" else ())
        for r in addin.requests
    ]


def start(block_gets=False, caller=5):
    flag = {"type": "Bool", "value": block_gets, "isSpec": False}
    return [
        ("GET", "start", caller),
        ("CALL", "__call__", START_FN, [{"arg_type": "PLACED", "value": CONTEXT}, {"arg_type": "PLACED", "value": flag}]),
        ("DEL", "__del__", START_FN),
    ]


def commit(caller=5):
    return [("GET", "commit", caller), ("CALL", "__call__", COMMIT_FN, []), ("DEL", "__del__", COMMIT_FN)]


def rollback_sent(caller=5):
    return [("GET", "rollback", caller), ("CALL", "__call__", ROLLBACK_FN, []), ("DEL", "__del__", ROLLBACK_FN)]


def commit_then_start(block_gets=False):
    # the commit function is held until commit() returns, past the new start
    return commit()[:2] + start(block_gets) + commit()[2:]


# ------------------------------------------------------------------ construction


def test_construction_sends_nothing_and_stores_nine_attributes(batch):
    cb = print
    t = OfficeJsTransaction(1, 0, cb, "b")
    assert list(vars(t).items()) == [
        ("_internal_id", 5),
        ("_internal_typeName", "Transaction"),
        ("_msg_guid", com_like.messaging._guid),
        ("_typ", "officejs_transaction"),
        ("_rollback_at_error", 1),
        ("_error_callback", cb),
        ("_raiseError", 0),
        ("_isInWith", False),
        ("_block_gets", "b"),
    ]
    with pytest.raises(AttributeError):
        t.start  # no forwarding: a plain object
    t.anything = 1
    assert batch.requests == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {"rollback_at_error": True}, "__init__() got an unexpected keyword argument 'rollback_at_error'"),
        ((1, 2, 3, 4, 5), {}, "__init__() takes at most 5 positional arguments (6 given)"),
        ((1,), {"roolback_at_error": 1}, "__init__() got multiple values for keyword argument 'roolback_at_error'"),
    ],
)
def test_construction_failing_on_arguments(batch, monkeypatch, args, kwargs, message):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as info:
        OfficeJsTransaction(*args, **kwargs)
    assert str(info.value) == message
    del info
    gc.collect()
    assert batch.requests == [] and reported == []


def test_changed_transaction_id(batch, monkeypatch):
    earlier = OfficeJsTransaction()
    monkeypatch.setattr(com_like, "UNIQUE_TRANSACTION_ID", 9)
    later = OfficeJsTransaction()
    assert (repr(earlier), repr(later)) == ("<OfficeJsTransaction id=5>", "<OfficeJsTransaction id=9>")
    batch.answer = lambda req: batch_answer(dict(req, caller=5))
    with later:
        pass
    del later
    assert sent(batch) == start(caller=9) + commit(caller=9) + [("DEL", "__del__", 9)]


# ------------------------------------------------------------------ the table


@pytest.mark.parametrize("block_gets", [False, True])
def test_enter_starts_a_batch(batch, block_gets):
    t = OfficeJsTransaction(block_gets=block_gets)
    with t as target:
        assert target is t and t._isInWith is True
        assert sent(batch) == start(block_gets)
    assert t._isInWith is False


def test_normal_exit_commits_once(batch):
    t = OfficeJsTransaction()
    assert t.__enter__() is t
    batch.clear()
    assert t.__exit__(None, None, None) is None
    assert sent(batch) == commit()


def test_commit_inside_starts_the_next_batch(batch):
    t = OfficeJsTransaction(block_gets=True)
    with t:
        batch.clear()
        t._block_gets = False  # the value at the time of the new start counts
        t.commit()
        assert sent(batch) == commit_then_start(False)
        batch.clear()
    assert sent(batch) == commit()


def test_commit_outside_only_commits(batch):
    t = OfficeJsTransaction()
    assert t.commit() is None
    assert sent(batch) == commit()


def test_reentering_opens_a_new_batch(batch):
    t = OfficeJsTransaction()
    with t:
        pass
    with t:
        pass
    assert sent(batch) == (start() + commit()) * 2


class Boom(Exception):
    pass


class FalseCallable:
    def __bool__(self):
        return False

    def __call__(self, *args):  # pragma: no cover - must not run
        raise AssertionError("a false callback was called")


@pytest.mark.parametrize("rollback", [False, True])
@pytest.mark.parametrize("raise_error", [True, False])
@pytest.mark.parametrize("with_callback", [True, False])
def test_exit_after_an_exception(batch, rollback, raise_error, with_callback):
    calls = []

    def callback(exc_type, exc_val, exc_tb):
        calls.append((exc_type, exc_val, exc_tb, len(batch.requests)))
        return True  # ignored

    t = OfficeJsTransaction(rollback, raise_error, callback if with_callback else FalseCallable())
    raised = Boom("x")
    try:
        with t:
            raise raised
    except Boom as e:
        assert e is raised and raise_error
    else:
        assert not raise_error
    expected = start() + (rollback_sent() if rollback else commit())
    assert sent(batch) == expected
    if with_callback:
        assert calls == [(Boom, raised, raised.__traceback__, len(expected))]  # after the commit
    else:
        assert calls == []
    assert t._isInWith is False


def test_exit_return_values(batch):
    t = OfficeJsTransaction(roolback_at_error=True, raiseError=False)
    assert t.__exit__(Boom, Boom(), None) is True
    t._raiseError = 1
    assert t.__exit__(Boom, Boom(), None) is False
    with pytest.raises(TypeError):
        t.__exit__(None, None)
    assert sent(batch) == rollback_sent() * 2


def no_rollback_member(req):
    return error("Transaction has no member 'rollback'") if req["name"] == "rollback" else batch_answer(req)


def rollback_call_fails(req):
    return error("rollback refused") if req["caller"] == ROLLBACK_FN else batch_answer(req)


def stale_at_rollback(req):
    if req["name"] == "rollback":
        com_like.messaging.reset()  # the connection ended under the block
        return None
    return batch_answer(req)


@pytest.mark.parametrize(
    "answer, tail",
    [(no_rollback_member, [("GET", "rollback", 5)]), (rollback_call_fails, rollback_sent()),
     (stale_at_rollback, [("GET", "rollback", 5)])],
    ids=["no-member", "call-fails", "reset"],
)  # fmt: skip
@pytest.mark.parametrize("raise_error", [True, False])
def test_failed_rollback_leaves_the_block_exception_alone(batch, answer, tail, raise_error):
    batch.answer = answer
    calls = []
    t = OfficeJsTransaction(True, raise_error, lambda *a: calls.append(a))
    raised = Boom("x")
    try:
        with t:
            raise raised
    except Boom as e:
        assert e is raised and raise_error and e.__context__ is None
    else:
        assert not raise_error
    assert sent(batch)[: len(start()) + len(tail)] == start() + tail
    assert calls == [(Boom, raised, raised.__traceback__)]


def test_rollback_lets_an_interrupt_through(batch):
    def interrupt(req):
        if req["name"] == "rollback":
            raise KeyboardInterrupt
        return batch_answer(req)

    batch.answer = interrupt
    with pytest.raises(KeyboardInterrupt):
        OfficeJsTransaction(roolback_at_error=True).__exit__(Boom, Boom(), None)


def test_callback_is_called_as_stored(batch):
    seen = []

    class Recorder:
        def __call__(self, *args):
            seen.append(args)

    t = OfficeJsTransaction(error_callback=Recorder())
    t.__exit__(Boom, "value", "tb")
    assert seen == [(Boom, "value", "tb")]


def test_failing_commit_in_exit(batch):
    batch.answer = lambda req: error("commit refused") if req["name"] == "commit" else batch_answer(req)
    calls = []
    t = OfficeJsTransaction(raiseError=False, error_callback=lambda *a: calls.append(a))
    with pytest.raises(RuntimeError, match="^commit refused$") as info:
        with t:
            raise Boom
    assert isinstance(info.value.__context__, Boom)
    assert calls == [] and t._isInWith is False
    with pytest.raises(RuntimeError, match="^commit refused$"):
        with t:
            pass
    assert [m for m in sent(batch) if m[0] == "GET"] == [("GET", "start", 5), ("GET", "commit", 5)] * 2


def test_failing_callback_propagates(batch):
    def callback(*args):
        raise ValueError("callback")

    with pytest.raises(ValueError, match="callback"):
        with OfficeJsTransaction(raiseError=False, error_callback=callback):
            raise Boom


def test_failing_start_skips_the_block(batch):
    batch.answer = lambda req: error("no batch") if req["name"] == "start" else batch_answer(req)
    ran = []
    t = OfficeJsTransaction()
    with pytest.raises(RuntimeError, match="^no batch$"):
        with t:
            ran.append(1)
    assert ran == [] and t._isInWith is True
    assert sent(batch) == [("GET", "start", 5)]


def test_stale_transaction_after_reset(batch):
    t = OfficeJsTransaction()
    com_like.messaging.reset()
    with pytest.raises(RuntimeError, match=f"^{STALE}$"):
        with t:
            pass  # pragma: no cover
    assert t._isInWith is True
    with pytest.raises(RuntimeError, match=STALE):
        t.commit()
    with pytest.raises(RuntimeError, match=STALE):
        t.__exit__(None, None, None)
    assert t._isInWith is False and batch.requests == []
    del t
    assert sent(batch) == [("DEL", "__del__", 5)]


def test_subclass_overrides_are_honoured(batch):
    log = []

    class Logged(OfficeJsTransaction):
        def _start(self):
            log.append("start")

    t = Logged()
    with t:
        t.commit()  # commit() calls the override for its new start
    assert log == ["start", "start"]
    assert sent(batch) == commit() * 2

    class NoCommit(OfficeJsTransaction):
        def commit(self):
            log.append("commit")

    batch.clear()
    with NoCommit():
        pass
    assert log[-1] == "commit" and sent(batch) == start() + [("DEL", "__del__", 5)]


def test_transaction_through_a_threaded_addin(threaded_addin):
    threaded_addin.answer = batch_answer
    with OfficeJsTransaction():
        pass
    gc.collect()
    assert sent(threaded_addin) == start() + commit() + [("DEL", "__del__", 5)]


def test_start_arguments_are_encoded_as_given(batch):
    with OfficeJsTransaction(block_gets=2):
        pass
    assert batch.requests[1]["args"][1]["value"] == Serializer.to_wire(2)
