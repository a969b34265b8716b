"""Headless Chromium on a pane URL, for the demo, the tests and the benchmark."""

import ctypes
import html
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

from .config import write_private

CANDIDATES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")
BROWSER_ENV_DROP = frozenset(("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                              "PYTHONMALLOC"))
HOW_TO_GET = ("no Chromium found (looked for %s on PATH, and $COM_LIKE_CHROMIUM); on Debian or "
              "Ubuntu: sudo apt-get install chromium" % ", ".join(CANDIDATES))


def find_chromium():
    explicit = os.environ.get("COM_LIKE_CHROMIUM")
    if explicit:
        return explicit if shutil.which(explicit) else None
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


_PR_SET_PDEATHSIG = 1


_prctl = ctypes.CDLL(None).prctl if sys.platform == "linux" else None


def _die_with_parent():
    # Runs in the child before exec: a host killed outright (a test run's
    # time-out, kill -9) must not leave a page reconnecting forever.
    _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _kill_tree(proc):
    if hasattr(os, "killpg"):
        # start_new_session made it the leader of a group of its own.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        return
    # Windows has no process groups to signal: taskkill ends the helper
    # processes too; the browser itself goes in any case.
    try:
        subprocess.run(["taskkill", "/F", "/T", "/PID", str(proc.pid)], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        pass
    proc.kill()


class Browser:
    """``with Browser(url): ...`` runs a headless Chromium with its own
    throw-away profile on ``url``; ``kill()`` ends it abruptly."""

    def __init__(self, url, executable=None, extra_args=()):
        self.executable = executable or find_chromium()
        if self.executable is None:
            raise FileNotFoundError(HOW_TO_GET)
        self.url = url
        self.extra_args = list(extra_args)
        self.proc = None
        self._profile = None

    def start(self):
        self._profile = tempfile.mkdtemp(prefix="com_like_chromium.")
        args = [self.executable, "--headless=new", "--no-sandbox", "--disable-gpu",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--user-data-dir=" + self._profile] + self.extra_args + [self._launcher()]
        # A sanitized Python's preload is not for the browser.
        env = {k: v for k, v in os.environ.items() if k not in BROWSER_ENV_DROP}
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True, env=env,
                                     preexec_fn=_die_with_parent if _prctl else None)
        return self

    def _launcher(self):
        """A page in the private profile folder that goes on to the URL:
        the URL holds the token, and a command line is open to every user
        of the machine."""
        page = Path(self._profile) / "launch.html"
        target = html.escape(self.url, quote=True)
        write_private(page, '<!DOCTYPE html><meta charset="utf-8">'
                            '<meta http-equiv="refresh" content="0;url=%s">' % target)
        return page.as_uri()

    def kill(self):
        """End the browser at once (its whole process tree), as a crash would."""
        if self.proc is not None and self.proc.poll() is None:
            _kill_tree(self.proc)
            self.proc.wait(10)

    def close(self):
        self.kill()
        if self._profile is not None:
            shutil.rmtree(self._profile, ignore_errors=True)
            self._profile = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
        return False
