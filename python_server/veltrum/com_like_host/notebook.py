"""The host inside an IPython or Jupyter kernel: ``%load_ext com_like_host``
starts it and shows the pane's URL; ``%com_like`` shows its state and
starts, stops or restarts it.

com_like has one messaging channel, so a process has at most one host.
The extension keeps it in one process-wide place: loading the extension
again, or re-running a cell, finds the running host and keeps it and its
pane. A restart keeps the port and the token, so the open pane reconnects
by itself.
"""

from __future__ import annotations

import html
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional

from IPython.core.error import UsageError
from IPython.core.magic import Magics, line_magic, magics_class
from IPython.core.magic_arguments import argument, magic_arguments, parse_argstring
from IPython.display import display

from . import jupyter

if TYPE_CHECKING:
    from IPython.core.interactiveshell import InteractiveShell

    from .server import Host

ACTIONS = ("status", "start", "stop", "restart")
# What a start with the user's options may raise: reported, without a traceback
# (a port over 65535 gives OverflowError).
START_ERRORS = (OSError, ValueError, RuntimeError, OverflowError)


@dataclass
class _Options:
    host: str = "127.0.0.1"
    port: int = 0
    token: Optional[str] = None
    office_js: Optional[str] = None
    cert: Optional[str] = None
    key: Optional[str] = None
    allow_origin: list = field(default_factory=list)
    public_url: Optional[str] = None


class _State:
    """The process's one extension host and the options it was started with."""

    def __init__(self) -> None:
        self.host: Any = None
        self.options = _Options()


# Kept across a reload of this module (importlib.reload reuses its namespace).
_STATE: _State = globals().get("_STATE") or _State()


def current_host() -> Host | None:
    """The host the extension runs in this process, or None."""
    h = _STATE.host
    return h if h is not None and not _closed(h) else None


def _closed(h) -> bool:
    # Closed by the extension, or by user code through current_host().close().
    return not h.running


def start_host(options: Optional[_Options] = None) -> Host:
    """Start the host unless one of the extension's is running; return it."""
    h = current_host()
    if h is not None:
        return h
    from .server import serve
    opts = options or _STATE.options
    if bool(opts.cert) != bool(opts.key):
        raise ValueError("--cert and --key go together")
    public_url, port = opts.public_url, opts.port
    if public_url is None:
        public_url = jupyter.public_url_from_env()
    if public_url and not port:
        port = jupyter.port_from_env()      # where the Jupyter server's proxy looks
    try:
        h = serve(host=opts.host, port=port, token=opts.token, office_js=opts.office_js,
                  certfile=opts.cert, keyfile=opts.key, allowed_origins=opts.allow_origin,
                  public_url=public_url)
    except RuntimeError as e:
        if "another" in str(e):
            raise RuntimeError("%s: a host started in this kernel by other code (serve()) is "
                               "still running; close it, then run %%com_like start" % e) from None
        raise
    # Same port and token on a restart: the open pane reconnects by itself.
    opts.port, opts.token = h.port, h.token
    _STATE.host, _STATE.options = h, opts
    return h


def stop_host() -> bool:
    """Stop the extension's host; False if none was running."""
    h, _STATE.host = _STATE.host, None
    if h is None or _closed(h):
        return False
    h.close()
    return True


class HostStatus:
    """What ``%com_like`` shows: plain text in a terminal, a link in a notebook."""

    def __init__(self, h: Any, note: str = "") -> None:
        self.note = note
        self.running = h is not None
        if h is None:
            return
        self.url = h.url
        self.connected = h.connected
        self.requests = h.format_counts()
        self.last_error = h.last_error
        self.callback_errors = len(h.callback_errors)

    def _lines(self, link):
        lines = [self.note] if self.note else []
        if not self.running:
            return lines + ["com_like host: not running (start it with %com_like start)"]
        lines += ["com_like host: running",
                  "task pane: " + link(self.url),
                  "pane: %s" % ("connected" if self.connected
                                else "not connected; open the task pane at its URL"),
                  self.requests,
                  "last error: %s" % (self.last_error or "none")]
        if self.callback_errors:
            lines.append("failed callbacks: %d (see check_callbacks())" % self.callback_errors)
        return lines

    def __repr__(self) -> str:
        return "\n".join(self._lines(lambda url: url))

    def _repr_html_(self) -> str:
        marker = "\0url\0"
        rows = [html.escape(s) for s in self._lines(lambda url: marker)]
        url = html.escape(self.url, quote=True) if self.running else ""
        link = '<a href="%s" target="_blank" rel="noopener">%s</a>' % (url, url)
        return '<div class="com-like-host">%s</div>' % "<br>".join(
            r.replace(html.escape(marker), link) for r in rows)


@magics_class
class HostMagics(Magics):
    @magic_arguments()
    @argument("action", nargs="?", default="status", choices=ACTIONS,
              help="status (default), start, stop or restart")
    @argument("--host", help="address to bind (default: loopback)")
    @argument("--port", type=int, help="port (default: kept from the last start; else any free)")
    @argument("--token", help="token of the pane's URL (default: kept; else a random one)")
    @argument("--office-js", help="serve this file in place of the hosted office.js (tests)")
    @argument("--cert", help="certificate file (PEM): serve https and wss")
    @argument("--key", help="private key file (PEM) of --cert")
    @argument("--allow-origin", action="append", help="a further origin allowed to connect")
    @argument("--public-url", help="where users reach the host through a Jupyter server's proxy "
                                   "(default: $COM_LIKE_PUBLIC_URL)")
    @line_magic
    def com_like(self, line: str = "") -> None:
        """Show the com_like host's state, or start, stop or restart it."""
        try:
            args = parse_argstring(self.com_like, line)
        except UsageError as e:
            # A usage error is the user's, not a fault: no traceback.
            print("%%com_like: %s" % e)
            return
        try:
            note = _act(args)
        except START_ERRORS as e:
            print("%%com_like %s failed: %s" % (args.action, e))
            return
        display(HostStatus(current_host(), note))


def _act(args) -> str:
    changed = {k: v for k, v in (("host", args.host), ("port", args.port),
                                 ("token", args.token), ("office_js", args.office_js),
                                 ("cert", args.cert), ("key", args.key),
                                 ("allow_origin", args.allow_origin),
                                 ("public_url", args.public_url)) if v is not None}
    if args.action == "status":
        return ""
    if args.action == "stop":
        return "stopped" if stop_host() else "no host was running"
    if args.action == "start" and current_host() is not None:
        return ("already running (options apply on %com_like restart)" if changed
                else "already running")
    opts = _Options(**{**vars(_STATE.options), **changed})
    opts.allow_origin = list(opts.allow_origin)
    before = _STATE.options
    was = stop_host()
    try:
        start_host(opts)
    except START_ERRORS as e:
        if not was:
            raise
        # A bad option should not leave the kernel without its host and pane.
        start_host(before)
        raise RuntimeError("%s; the host runs on with its earlier options" % e) from None
    return "restarted" if was else "started"


def _explain_stale(shell, etype, evalue, tb, tb_offset=None):
    """Shows the traceback as usual; under a stale proxy's error, says in
    plain words what happened and what to do."""
    from .core import stale_note
    note = stale_note(current_host(), evalue)
    shell.showtraceback((etype, evalue, tb), tb_offset=tb_offset)
    if note:
        print(note)


def load_ipython_extension(ipython: InteractiveShell) -> None:
    """``%load_ext com_like_host``: start the host (or keep the running one)
    and show the pane's URL."""
    ipython.register_magics(HostMagics)
    ipython.set_custom_exc((RuntimeError,), _explain_stale)
    try:
        note = "started" if current_host() is None else "already running"
        start_host()
    except START_ERRORS as e:
        print("com_like host did not start: %s" % e)
        return
    display(HostStatus(current_host(), note))


def unload_ipython_extension(ipython: InteractiveShell) -> None:
    """``%unload_ext com_like_host``: stop the host. Loading the extension
    again starts it on the same port and token, and the pane reconnects."""
    ipython.set_custom_exc((), None)
    stop_host()
