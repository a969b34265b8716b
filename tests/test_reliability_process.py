"""The process around the module: interpreter exit with work in flight, and
KeyboardInterrupt while a request waits."""
import _thread
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from com_like import Excel, GetSetting, OfficeJsTransaction, messaging

EXIT_SCRIPT = textwrap.dedent("""
    import gc, queue, sys, threading, time
    import com_like
    from com_like import Excel, OfficeJsTransaction, Serializer, messaging

    MODE = sys.argv[1]

    class Addin:
        # Answers reads from its own thread; everything else (the waiting
        # requests below, and any release) it never answers.
        def __init__(self):
            self.inbox = queue.Queue()
            threading.Thread(target=self.listen, daemon=True).start()

        def __call__(self, message):
            if message.get("name") == "drop":
                return
            if message.get("method") == "DEL" and sys.is_finalizing() and MODE == "wake_during_exit":
                time.sleep(1.0)  # a host flushing its transport at exit
            self.inbox.put(message)

        def listen(self):
            while True:
                m = self.inbox.get()
                if m.get("method") == "GET" and m["name"] != "hang":
                    result = {"Arr": {"type": "Array", "id": 8, "value": [{"type": "Int", "value": 1}]},
                              "Dct": {"type": "Dict", "id": 9, "value": {}}}.get(
                                  m["name"], {"type": "Range", "value": 7, "isSpec": True})
                    messaging.on_message({"requestId": m["requestId"], "ok": True, "result": result})

    messaging.set_send_handler(Addin())
    live = [Excel.Range, Excel.Arr, Excel.Dct, OfficeJsTransaction(), Serializer.from_wire(
        {"type": "Function", "value": 11, "isSpec": True})]
    cycle = [Excel.Other]
    cycle.append(cycle)
    gc.disable()  # the cycle is left for the collection at exit, which releases it
    del cycle
    for fn in (print, lambda: None, live.append):
        Serializer.to_wire(fn)

    def wait_raw():
        try:
            messaging.send_request_sync({"method": "GET", "name": "hang", "caller": 1}, timeout=600)
        except Exception:
            pass

    def wait_proxy():
        try:
            Excel.hang
        except Exception:
            pass

    def wait_briefly():
        # Its time-out ends while the interpreter is already shutting down
        # (the release of the cycle is then in the handler), so the thread
        # is stopped inside the module's frames.
        try:
            messaging.send_request_sync({"name": "drop"}, timeout=0.5)
        except Exception:
            pass

    targets = [wait_raw, wait_raw, wait_proxy] + [wait_briefly] * (MODE == "wake_during_exit")
    for target in targets:
        threading.Thread(target=target, daemon=True).start()
    while len(messaging.waiters) < len(targets):
        time.sleep(0.01)
    if MODE == "sys_exit":
        sys.exit(0)
    if MODE == "reset_first":
        messaging.reset()
""")


@pytest.mark.parametrize("mode", ["end_of_script", "sys_exit", "reset_first", "wake_during_exit"])
def test_interpreter_exits_cleanly_with_work_in_flight(mode):
    start = time.monotonic()
    proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, mode], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    took = time.monotonic() - start
    assert (proc.returncode, proc.stderr, proc.stdout) == (0, "", ""), proc.stderr
    # A release that waited for its answer at exit would take 30 s.
    assert took < 25, took


def never_answers(message):
    pass


def answers(message):
    messaging.on_message({"requestId": message["requestId"], "ok": True,
                          "result": {"type": "String", "value": message.get("name")}})


def raising_handler(message):
    raise KeyboardInterrupt


def enter_transaction(keep):
    # Kept so that its release happens once the add-in answers again.
    keep.append(OfficeJsTransaction())
    with keep[-1]:
        pass


OPERATIONS = {
    "send_request_sync": lambda keep: messaging.send_request_sync({"name": "slow"}, timeout=20.0),
    "getattr": lambda keep: Excel.slow,
    "setattr": lambda keep: setattr(Excel, "slow", 1),
    "call": lambda keep: GetSetting("slow"),
    "transaction": enter_transaction,
}


@pytest.fixture
def sigint_raises():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("how", [
    pytest.param("signal", marks=pytest.mark.skipif(not hasattr(signal, "pthread_kill"),
                                                    reason="no signal to another thread here")),
    "raised_by_handler"])
def test_keyboard_interrupt_while_waiting(operation, how, sigint_raises):
    messaging.set_send_handler(raising_handler if how == "raised_by_handler" else never_answers)
    if how == "signal":
        def interrupter():
            deadline = time.monotonic() + 10
            while not messaging.waiters and time.monotonic() < deadline:
                time.sleep(0.005)
            time.sleep(0.05)  # let the caller block
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        thread = threading.Thread(target=interrupter, daemon=True)
        thread.start()
    start = time.monotonic()
    keep = []
    with pytest.raises(KeyboardInterrupt) as info:
        OPERATIONS[operation](keep)
    assert time.monotonic() - start < 10
    assert type(info.value) is KeyboardInterrupt and info.value.args == ()
    if how == "signal":
        thread.join(5)
    # The interrupted request's waiter stays until the next reset; the
    # module goes on working meanwhile.
    assert len(messaging.waiters) == 1
    leftover = next(iter(messaging.waiters.values()))
    messaging.set_send_handler(answers)
    del keep[:], info
    assert Excel.after == "after"
    assert messaging.send_request_sync({"name": "x"})["ok"] is True
    assert len(messaging.waiters) == 1
    messaging.reset()
    assert messaging.waiters == {} and leftover.cancelled()
    assert Excel.again == "again"


def test_interrupt_flag_reaches_a_waiting_caller(sigint_raises):
    # interrupt_main only sets the flag; the wait sees it at its time-out
    # at the latest, and the interrupt wins over the time-out error.
    messaging.set_send_handler(never_answers)
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        messaging.send_request_sync({"name": "slow"}, timeout=1.0)
    timer.join()
    messaging.set_send_handler(answers)
    assert Excel.after == "after"
    messaging.reset()
    assert messaging.waiters == {}
