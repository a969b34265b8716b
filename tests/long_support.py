"""Shared by the long-transfer tests of both backends: the data, its
target range, and an interrupt that comes as Ctrl-C would."""

import os
import re
import signal
import threading
import uuid

import numpy as np

import com_like
from com_like_host.waits import CANCEL_GRACE, DEFAULT_REQUEST_TIMEOUT
from host_support import wait_until

# rows, columns, request_timeout: a block takes well under the limit, and
# the whole write several limits (the pane's blocks hold ~3.5 MB of JSON;
# the simulated workbook's are lowered to LOCAL_BLOCK_CELLS).
SHAPES = {"sim": (400, 500, 0.5), "browser": (1000, 1000, 3.0)}
# A sanitized build runs everything several times slower: the limits, and
# so the writes they must outlast, scale with it.
SLOWER = 8 if os.environ.get("COM_LIKE_SANITIZED") else 1
LOCAL_BLOCK_CELLS = 10_000


class Transfer:
    def __init__(self, kind, host):
        self.kind, self.host = kind, host
        self.rows, self.cols, limit = SHAPES[kind]
        self.limit = limit * SLOWER

    @property
    def reports(self):
        return self.host.core.waits.reports

    def target(self):
        ws = com_like.Context.workbook.worksheets.add("L" + uuid.uuid4().hex[:8])
        return ws, self.fresh(ws)

    def fresh(self, ws):
        return ws.getRange("A1").getResizedRange(self.rows - 1, self.cols - 1)

    def data(self):
        # Random doubles: long numbers, so that the pane's blocks are many.
        rows = np.random.default_rng(7).random((self.rows, self.cols))
        rows[:, 0] = np.arange(1, self.rows + 1)      # column A: the row's number
        return rows.tolist()


def lowered(host, limit):
    """Context: the host's request limit lowered, the stop's grace as usual."""
    class _Lowered:
        def __enter__(self):
            host.request_timeout, host.core.cancel_grace = limit, CANCEL_GRACE

        def __exit__(self, *exc):
            host.request_timeout, host.core.cancel_grace = DEFAULT_REQUEST_TIMEOUT, CANCEL_GRACE
    return _Lowered()


def column_a(ws, row):
    return ws.getRange("A%d" % row).values[0][0]


def assert_stopped_at(ws, t, exc):
    """``exc`` tells how far the write got, and the workbook agrees: what
    it reports is written, and the write did not go on to its end."""
    done = exc.done
    assert done is not None and done.total_rows == t.rows
    assert 0 < done.rows < t.rows
    assert re.search(r"(at least )?%s of %s rows \(%s of %s cells\) were written" % (
        format(done.rows, ","), format(t.rows, ","), format(done.rows * t.cols, ","),
        format(t.rows * t.cols, ",")), str(exc)), str(exc)
    assert column_a(ws, done.rows) == done.rows
    assert column_a(ws, t.rows) == ""


def interrupt_after_progress(t, stop):
    """SIGINT to the main thread, as Ctrl-C, once the transfer has
    reported a block (and before its last); ``stop`` calls it off."""
    before = t.reports
    main = threading.main_thread().ident

    def watch():
        wait_until(lambda: t.reports > before or stop.is_set(), 60)
        if not stop.is_set():
            signal.pthread_kill(main, signal.SIGINT)
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread
