"""The host's own wait for an answer, on the requesting thread.

com_like waits a fixed time for each answer; a large transfer may need
longer, and a caller told "failed" must not see the work land anyway. So
the host's send handler waits itself and hands the answer to messaging
before it returns. Its limit counts from the add-in's last sign of life:
the end of the frame's send, or a progress report (the add-in sends one
per block of rows). When the limit passes, or the waiting thread is
interrupted, the add-in is asked to stop (it stops between blocks, and
what was written stays written) and given ``CANCEL_GRACE`` seconds to say
how far it got; the exception tells that.
"""

import collections
import threading
import time

DEFAULT_REQUEST_TIMEOUT = 30.0
TICK = 0.2                 # how often the wait looks at the clock and the bar
CANCEL_GRACE = 1.0
SEND_SETTLE = 2.0          # for a cut connection's send to fail
CANCELLED = "RequestCancelled"     # error code of a request the add-in stopped

_TIMEOUT_TEXT = "Timed out waiting for Office.js response"


class Done(collections.namedtuple("Done", "rows total_rows cells total_cells")):
    """How far a transfer got, as the add-in last reported (None: unknown)."""

    def describe(self, verb):
        text = "%s of %s rows" % (format(self.rows, ","), format(self.total_rows, ","))
        if self.cells is not None and self.total_cells:
            text += " (%s of %s cells)" % (format(self.cells, ","), format(self.total_cells, ","))
        return "%s were %s" % (text, verb)


class RequestInterrupted(KeyboardInterrupt):
    """The waiting thread was interrupted; ``done`` says how far the
    request got, ``stopped`` whether the add-in confirmed that it stopped."""

    def __init__(self, text, done=None, stopped=False):
        super().__init__(text)
        self.done, self.stopped = done, stopped


class RequestTimedOut(TimeoutError):
    """No answer and no progress within the host's limit; as above."""

    def __init__(self, text, done=None, stopped=False):
        super().__init__(text)
        self.done, self.stopped = done, stopped


def not_sent(method):
    """What an interrupt before the request went out raises."""
    return RequestInterrupted("interrupted before the request was sent; nothing was %s"
                              % _VERBS.get(method, "done"))


_VERBS = {"SET": "written", "GET": "read", "GETITEM": "read"}


class Wait:
    __slots__ = ("rid", "verb", "event", "response", "cancelled", "last", "rows", "total_rows",
                 "cells", "total_cells")

    def __init__(self, rid, method):
        self.rid = rid
        self.verb = _VERBS.get(method, "done")
        self.event = threading.Event()
        self.response = None
        self.cancelled = False
        self.last = time.monotonic()
        self.rows = self.total_rows = self.cells = self.total_cells = None

    def done(self):
        return Done(self.rows, self.total_rows, self.cells, self.total_cells)


def _count(value):
    return value if type(value) is int and value >= 0 else None


class Waits:
    """The requests the host is waiting for, by request id."""

    def __init__(self):
        self._lock = threading.Lock()
        self._by_id = {}
        self._given_up = {}        # request id -> what the caller was told
        self.reports = 0           # progress reports taken, for tests and the curious

    def add(self, rid, method):
        w = Wait(rid, method)
        with self._lock:
            self._by_id[rid] = w
        return w

    def drop(self, w):
        with self._lock:
            self._by_id.pop(w.rid, None)

    def answer(self, response):
        """Hands ``response`` to its waiting caller; False if none waits."""
        try:
            with self._lock:
                w = self._by_id.pop(response.get("requestId"), None)
        except TypeError:          # an unhashable id: nobody's
            return False
        if w is None:
            return False
        w.response = response
        w.event.set()
        return True

    def progress(self, rid, report):
        try:
            with self._lock:
                w = self._by_id.get(rid)
        except TypeError:
            return
        if w is None:
            return
        self.reports += 1
        w.rows, w.total_rows = _count(report.get("rows")), _count(report.get("totalRows"))
        w.cells, w.total_cells = _count(report.get("cells")), _count(report.get("totalCells"))
        w.last = time.monotonic()

    def cancel_all(self):
        """A reset: every caller stops waiting (messaging cancelled them)."""
        with self._lock:
            waits, self._by_id = list(self._by_id.values()), {}
            self._given_up.clear()
        for w in waits:
            w.cancelled = True
            w.event.set()

    def given_up(self, rid):
        """What the caller of ``rid`` was told when it stopped waiting
        (None if it did not)."""
        try:
            with self._lock:
                return self._given_up.pop(rid, None)
        except TypeError:
            return None

    def wait(self, w, sending, timeout, send_cancel, bar, grace=CANCEL_GRACE):
        """Waits for ``w``'s answer: (response or None, exception or None).
        None and None: the session was reset. ``sending`` is a future of a
        frame still going out, or None; ``grace``: how long a stopped
        request is given to say how far it got."""
        try:
            while not w.event.wait(TICK):
                now = time.monotonic()
                if sending is not None:
                    if not sending.done():
                        w.last = now       # the send is watched for a stalled peer
                        continue
                    error, sending = sending.exception(), None
                    if error is not None:
                        self.drop(w)
                        return None, error
                    w.last = now
                if now - w.last >= timeout:
                    return self._stop(w, send_cancel, timeout, grace)
                bar.show(w.rows, w.total_rows, w.cells)
        except KeyboardInterrupt:
            if sending is not None and not sending.done():
                return self._drop_unsent(w, send_cancel)
            return self._stop(w, send_cancel, None, grace)
        finally:
            bar.close()
        if w.cancelled:
            # The session ended; if it ended under the frame's send, the
            # send's own error says why.
            try:
                error = sending.exception(SEND_SETTLE) if sending is not None else None
            except Exception:
                error = None
            return None, error
        return w.response, None

    def _drop_unsent(self, w, send_cancel):
        # The add-in has not got the whole request yet, and the cancel goes
        # right behind it on the same connection: it stops the request
        # before its first block (or, should the connection drop, the
        # pane stops it then). No answer is worth waiting for.
        try:
            send_cancel(w.rid)
        except Exception:
            pass
        with self._lock:
            self._by_id.pop(w.rid, None)
            self._given_up[w.rid] = "interrupted"
        return None, RequestInterrupted(
            "interrupted while the request was still being sent to the add-in; it stops the "
            "request when it arrives, so nothing is %s" % w.verb, w.done(), True)

    def _stop(self, w, send_cancel, timeout, grace):
        try:
            send_cancel(w.rid)
        except Exception:
            pass                   # its session is gone: so is the request
        try:
            w.event.wait(grace)    # a second interrupt ends this at once
        finally:
            with self._lock:
                self._by_id.pop(w.rid, None)
                if w.response is None and not w.cancelled:
                    self._given_up[w.rid] = "interrupted" if timeout is None else "timed out"
        if w.cancelled:
            return None, None
        return outcome(w, timeout, grace)


def outcome(w, timeout, grace=CANCEL_GRACE):
    """(response to deliver or None, exception to raise or None) for a
    request the caller stopped waiting for; ``timeout`` None: interrupted."""
    r = w.response
    done = w.done()
    if timeout is None:
        head, cls = "interrupted", RequestInterrupted
    else:
        head = "%s: no answer and no progress for %g s" % (_TIMEOUT_TEXT, timeout)
        cls = RequestTimedOut
    if r is None:
        so_far = ("at least " + done.describe(w.verb) if done.rows is not None
                  else "how much was %s is not known" % w.verb)
        return None, cls("%s; the add-in was asked to stop and has not confirmed it within %g s "
                         "(it may be stalled, and the request may still complete): %s"
                         % (head, grace, so_far), done)
    error = r.get("error") if not r.get("ok") else None
    text = error.get("message") if type(error) is dict else None
    if r.get("ok"):
        if timeout is not None:
            return r, None         # it finished after all: no failure to report
        return r, cls("%s, but the request had already completed%s"
                      % (head, "" if done.rows is None else " (%s)" % done.describe(w.verb)),
                      done, True)
    if type(text) is str and text.startswith(CANCELLED):
        what = ("%s, the rest was not" % done.describe(w.verb) if done.rows is not None
                # No block was done: it stopped before its first.
                else "nothing was %s (%s)" % (w.verb, text))
        return r, cls("%s; the add-in stopped the request: %s" % (head, what), done, True)
    if timeout is not None:
        return r, None             # it failed on its own: that is the outcome
    return r, cls("%s; the request failed: %s" % (head, text or "Remote error"), done, True)
