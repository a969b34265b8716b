"""A WebSocket host for com_like and the Office.js add-in it serves.

``serve()`` serves the task pane and its WebSocket on one origin, installs
the send handler on ``com_like.messaging`` and carries requests to the
add-in and responses back::

    from com_like_host import serve
    with serve() as h:
        print("open", h.url)
        h.wait_connected(60)
        ...  # com_like.Context.workbook ...

In IPython or Jupyter, ``%load_ext com_like_host`` starts a host in the
kernel and ``%com_like`` shows or changes it (see ``notebook``). A script
started with ``python -m com_like_host run``, or code in such a kernel,
reaches its host through ``current_host()``: callback errors, request
counts, waiting for callbacks.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # What the lazy __getattr__ below hands out, for type checkers.
    from .config import stable_token
    from .core import CallbackError
    from .notebook import load_ipython_extension, unload_ipython_extension
    from .server import Host, serve

__all__ = ["serve", "Host", "stable_token", "CallbackError", "current_host",
           "load_ipython_extension", "unload_ipython_extension"]

_current: Host | None = None


def current_host() -> Host | None:
    """The host that ``python -m com_like_host run`` started for the running
    script, or else the one the notebook extension runs; None without one."""
    if _current is not None:
        return _current
    notebook = sys.modules.get(__name__ + ".notebook")
    return notebook.current_host() if notebook is not None else None


def _set_current_host(host: Host | None) -> None:
    global _current
    _current = host


def __getattr__(name: str) -> Any:
    # Lazy, so that the shared host core can be used without websockets.
    if name in ("serve", "Host"):
        from . import server
        return getattr(server, name)
    if name == "stable_token":
        from .config import stable_token
        return stable_token
    if name == "CallbackError":
        from .core import CallbackError
        return CallbackError
    if name in ("load_ipython_extension", "unload_ipython_extension"):
        # Lazy too: IPython is needed only in a kernel or shell.
        from . import notebook
        return getattr(notebook, name)
    raise AttributeError(name)
