"""The registry of Python callables that the add-in refers to by id."""
import threading

import pytest

import com_like

M = com_like.messaging


def prefix():
    return "pyfunc_" + M._guid[:8] + "_"


def test_ids_count_from_one_under_the_guid_prefix():
    def f():
        pass

    first, second = M.register_callable(f), M.register_callable(f)
    assert (first, second) == (prefix() + "1", prefix() + "2")
    assert type(first) is str
    assert M.get_callable(first) is f and M.get_callable(second) is f
    assert M._next_callable_id == 3
    assert list(M._callable_registry) == [first, second]


def test_known_guid_prefix():
    m = com_like.Messaging()
    m._guid = "0123abcd" + "0" * 24
    assert [m.register_callable(print) for _ in range(3)] == [
        "pyfunc_0123abcd_1", "pyfunc_0123abcd_2", "pyfunc_0123abcd_3"]  # fmt: skip


@pytest.mark.parametrize("obj", [print, len, int, lambda: 0, "abc".upper, type("C", (), {"__call__": lambda s: 0})()])
def test_callables_accepted(obj):
    cid = M.register_callable(obj)
    assert M.get_callable(cid) is obj


@pytest.mark.parametrize("obj, type_name", [(5, "int"), (None, "NoneType"), ("f", "str"), ([], "list")])
def test_non_callables_refused(obj, type_name):
    M.register_callable(print)
    with pytest.raises(TypeError) as info:
        M.register_callable(obj)
    assert info.value.args == ("Object must be callable, got " + type_name,)
    assert M._next_callable_id == 2 and len(M._callable_registry) == 1


def test_reset_restarts_numbering_with_new_prefix():
    old = M.register_callable(print)
    M.register_callable(print)
    M.reset()
    assert M._callable_registry == {} and M._next_callable_id == 1
    new = M.register_callable(print)
    assert new == prefix() + "1" and new != old
    assert M.get_callable(old) is None


def test_unknown_ids():
    assert M.get_callable("pyfunc_nothere_1") is None
    assert M.unregister_callable("pyfunc_nothere_1") is None
    cid = M.register_callable(print)
    assert M.unregister_callable(cid) is None
    assert M.get_callable(cid) is None
    assert M.unregister_callable(cid) is None


@pytest.mark.parametrize("method", ["get_callable", "unregister_callable"])
def test_callable_id_must_be_exact_str(method):
    class S(str):
        pass

    cid = M.register_callable(print)
    with pytest.raises(TypeError, match=r"^Argument 'callable_id' has incorrect type \(expected str, got int\)$"):
        getattr(M, method)(123)
    with pytest.raises(TypeError, match=r"^Argument 'callable_id' has incorrect type \(expected str, got S\)\. "):
        getattr(M, method)(S(cid))
    assert M.get_callable(cid) is print


def test_concurrent_registrations_get_distinct_ids():
    ids = []
    lock = threading.Lock()

    def work():
        mine = [M.register_callable(print) for _ in range(200)]
        with lock:
            ids.extend(mine)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(ids)) == 800
    assert M._next_callable_id == 801


def test_replaced_callable_lock_is_used(monkeypatch):
    calls = []

    class Lock:
        def acquire(self, *a):
            calls.append("acquire")
            return True

        def release(self):
            calls.append("release")

    monkeypatch.setattr(M, "_callable_lock", Lock())
    cid = M.register_callable(print)
    M.get_callable(cid)
    M.unregister_callable(cid)
    M.reset()
    assert calls == ["acquire", "release"] * 4
    with pytest.raises(TypeError):
        M.register_callable(1)  # refused before the lock is taken
    assert len(calls) == 8
