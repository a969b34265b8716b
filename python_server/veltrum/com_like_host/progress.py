"""The progress bar of a long transfer (tqdm): rows done, the rate and the
time left, shown once a transfer has run for ``DELAY`` seconds.

Shown on a terminal and in a notebook kernel, silent when output goes
elsewhere (a file, a pipe, a test run). ``progress=True/False`` on a host,
or the environment variable ``COM_LIKE_PROGRESS`` (``0``/``1``), overrides
that choice; the host's option wins.
"""

import os
import sys
import time
import warnings

ENV = "COM_LIKE_PROGRESS"
DELAY = 2.0
_OFF = frozenset(("0", "off", "false", "no"))
_ON = frozenset(("1", "on", "true", "yes"))


def in_kernel():
    """Whether this process is a notebook kernel (its output is shown)."""
    shell = sys.modules.get("IPython")
    get = getattr(shell, "get_ipython", None)
    try:
        ip = get() if get is not None else None
    except Exception:
        return False
    return ip is not None and getattr(ip, "kernel", None) is not None


def wanted(option=None, stream=None):
    """Whether bars are shown: the host's ``option`` if it is a bool, then
    the environment variable, then whether output is interactive."""
    if isinstance(option, bool):
        return option
    env = os.environ.get(ENV, "").strip().lower()
    if env in _OFF:
        return False
    if env in _ON:
        return True
    if in_kernel():
        return True
    stream = sys.stderr if stream is None else stream
    try:
        return bool(stream is not None and stream.isatty())
    except Exception:
        return False


def _bar_class():
    with warnings.catch_warnings():
        # tqdm.auto warns about its notebook mode on import in a kernel.
        warnings.simplefilter("ignore")
        from tqdm.auto import tqdm

    class Bar(tqdm):
        monitor_interval = 0      # no monitor thread of tqdm's own
    return Bar


class Progress:
    """One request's bar, made on its first report after ``DELAY`` s and
    driven from the requesting thread."""

    def __init__(self, enabled, verb="transferring", started=None):
        self.enabled = enabled
        self.verb = verb
        self.started = time.monotonic() if started is None else started
        self.bar = None

    def show(self, rows, total_rows, cells=None):
        if not self.enabled or rows is None or not total_rows:
            return
        if self.bar is None:
            if time.monotonic() - self.started < DELAY:
                return
            try:
                self.bar = _bar_class()(total=total_rows, desc=self.verb, unit=" rows",
                                        unit_scale=True, disable=False, leave=False,
                                        dynamic_ncols=True, file=sys.stderr)
            except Exception:
                self.enabled = False      # no display is no reason to fail a transfer
                return
        if cells is not None:
            self.bar.set_postfix_str("%s cells" % format(cells, ","), refresh=False)
        self.bar.update(max(0, rows - self.bar.n))

    def close(self):
        bar, self.bar = self.bar, None
        if bar is not None:
            try:
                bar.close()
            except Exception:
                pass
