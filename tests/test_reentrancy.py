"""User code that runs in the middle of an operation of the module: an
__eq__, a __hash__, a finaliser, a garbage collection. A failure here is a
crash or a hang, so each case runs in a child interpreter with a time-out."""
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import gc, sys, threading
    import com_like
    from com_like import OfficeJsArray, OfficeJsObject, Serializer, messaging
    CASE = sys.argv[1]
""")


def run_child(script, case, timeout=60, expected=()):
    """Runs PRELUDE + script with the case name; the child must print the
    expected lines, then ok."""
    env = dict(os.environ)
    # The debug allocator overwrites freed memory, so that a use after free
    # fails at once rather than by luck (the sanitizer build brings its own).
    env.setdefault("PYTHONMALLOC", "debug")
    try:
        done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script), case], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: hung")
    assert done.returncode == 0, f"{case}: exit {done.returncode}\n{done.stderr[-3000:]}"
    assert done.stdout.split() == [*expected, "ok"], done.stdout


# ------------------------------------------------------------------ decoder

DECODE_CHANGING_RECORD = """
    class Tag:
        # Compared with the plain tags in order; empties the record at the
        # first comparison, so that whatever the decoder did not own is gone.
        def __init__(self, wire, equal_to):
            self.wire, self.equal_to = wire, equal_to

        def __eq__(self, other):
            self.wire.clear()
            return other == self.equal_to

        __hash__ = None

    def make():
        # A new object each time: the record holds the only reference.
        return {
            "float": ("Float", float("1.5") * 3, {}),
            "int": ("Int", int("7" * 30), {}),
            "string": ("String", "".join(["te", "xt"]), {}),
            "array": ("Array", [{"type": "Int", "value": 10 ** 30}], {"id": 10 ** 20}),
            "reference": (None, int("7" * 25), {"isSpec": True}),
        }[CASE]

    equal_to, value, extra = make()
    wire = dict(type=None, value=value, **extra)
    wire["type"] = Tag(wire, equal_to)
    del value
    if CASE == "reference":
        # The id is converted; the tag, not being a str, is then refused as a type name.
        try:
            Serializer.from_wire(wire)
        except TypeError as exc:
            assert "type_name" in str(exc)
        else:
            raise SystemExit("no TypeError")
    else:
        got = Serializer.from_wire(wire)
        if CASE == "array":
            assert type(got) is OfficeJsArray and got == [10 ** 30] and got._internal_id == 10 ** 20
        else:
            assert got == make()[1], got
    print("ok")
"""


@pytest.mark.parametrize("case", ["float", "int", "string", "array", "reference"])
def test_decoder_owns_what_it_read_before_a_tag_compares(case):
    run_child(DECODE_CHANGING_RECORD, case)


# ------------------------------------------------------------------ encoder

ENCODE_DROPPED_CONTAINERS = """
    class TwiceKeyed(dict):
        def items(self):
            return [("k", [1]), ("k", [2, [3]])]

    class Key:
        def __init__(self, h):
            self.h = h

        def __hash__(self):
            return self.h

        def __eq__(self, other):
            return isinstance(other, Key) and other.h == self.h

    native = Serializer.to_wire

    def clearing(value):
        # A rebound to_wire that empties the table of a frame: its rows go.
        if isinstance(value, list) and value and value[0] == ["a"]:
            value.clear()
            return native([])
        return native(value)

    if CASE == "frame-table-cleared":
        import pandas as pd
        Serializer.to_wire = staticmethod(clearing)
    for _ in range(200):
        if CASE == "same-key-twice":
            got = Serializer.to_wire(TwiceKeyed())
            assert got["value"]["k"]["value"][1]["value"][0]["value"] == 3
        elif CASE == "keys-become-equal":
            a, b = Key(1), Key(2)
            value = {a: [1], b: [2]}
            b.h = 1  # b now equals a: its record replaces a's in the result
            got = Serializer.to_wire(value)
            assert len(got["value"]) == 1
        else:
            Serializer.to_wire(pd.DataFrame({"a": [[1], [2]]}))
    gc.collect()
    print("ok")
"""


@pytest.mark.parametrize("case", ["same-key-twice", "keys-become-equal", "frame-table-cleared"])
def test_encoder_survives_containers_dropped_from_the_result(case):
    run_child(ENCODE_DROPPED_CONTAINERS, case)


# ------------------------------------------------------------------ locks of messaging

HOST = """
    def answer_releases(message):
        # The add-in answers every release at once; other requests stay pending.
        if message.get("method") == "DEL":
            messaging.get_callable("pyfunc_0")  # a host looking up a function meanwhile
            messaging.on_message({"requestId": message["requestId"], "ok": True})
"""

RESET_RUNS_PYTHON = """
    parked = threading.Event()

    def handler(message):
        if message.get("method") != "DEL":
            parked.set()
        answer_releases(message)

    def wait():
        try:
            messaging.send_request_sync({"name": "pending"}, timeout=50)
        except BaseException as exc:
            print(type(exc).__name__)

    messaging.set_send_handler(handler)
    if CASE != "nothing-pending":
        worker = threading.Thread(target=wait)
        worker.start()
        parked.wait()
    if CASE == "done-callback":
        proxy = Serializer.from_wire({"type": "Range", "value": 7, "isSpec": True})
        (fut,) = messaging.waiters.values()
        fut.add_done_callback(lambda f, keep=[proxy]: keep.clear())  # releases the proxy
        del proxy
    else:
        # A proxy in cyclic garbage, collected at the first allocation (or,
        # on newer interpreters, the first Python code) after this point.
        gc.collect()
        cycle = OfficeJsArray(9)
        cycle.append(cycle)
        del cycle
        gc.set_threshold(1)
    messaging.reset()
    gc.set_threshold(700)
    if CASE != "nothing-pending":
        worker.join()
    print("ok")
"""


@pytest.mark.parametrize("case", ["nothing-pending", "one-pending", "done-callback"])
def test_reset_runs_no_python_code_under_the_waiters_lock(case):
    run_child(HOST + RESET_RUNS_PYTHON, case, expected=[] if case == "nothing-pending" else ["CancelledError"])


RELEASED_CALLABLE = """
    messaging.set_send_handler(answer_releases)

    def handler_for_range():
        # An event handler that mentions its range: its closure holds the
        # only reference to the proxy.
        rng = Serializer.from_wire({"type": "Range", "value": 7, "isSpec": True})
        return lambda: rng

    callable_id = messaging.register_callable(handler_for_range())
    if CASE == "unregister":
        messaging.unregister_callable(callable_id)
    elif CASE == "reset":
        messaging.reset()
    else:
        messaging._next_callable_id = 1  # the next registration takes the same id
        assert messaging.register_callable(print) == callable_id
    assert messaging.get_callable(callable_id) in (None, print)
    print("ok")
"""


@pytest.mark.parametrize("case", ["unregister", "reset", "same-id-registered-again"])
def test_callables_are_released_after_the_callable_lock(case):
    run_child(HOST + RELEASED_CALLABLE, case)


ODD_REQUEST_ID = """
    class RequestId(str):
        # An id whose hash drops the last reference to a proxy.
        def __hash__(self):
            keep.clear()
            return str.__hash__(self)

    def handler(message):
        answer_releases(message)
        if message.get("method") != "DEL":
            rid = RequestId(message["requestId"]) if CASE == "equal" else RequestId("unknown")
            messaging.on_message({"requestId": rid, "ok": True})

    messaging.set_send_handler(handler)
    keep = [Serializer.from_wire({"type": "Range", "value": 7, "isSpec": True})]
    try:
        print(messaging.send_request_sync({"name": "x"}, timeout=0)["ok"])
    except TimeoutError:
        print("unanswered")
    print("ok")
"""


@pytest.mark.parametrize("case, answered", [("equal", "True"), ("unknown", "unanswered")])
def test_request_id_of_another_type_is_looked_up_before_the_lock(case, answered):
    run_child(HOST + ODD_REQUEST_ID, case, expected=[answered])
