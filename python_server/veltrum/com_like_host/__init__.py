"""A WebSocket host for com_like and the Office.js add-in it serves.

``serve()`` serves the task pane and its WebSocket on one origin, installs
the send handler on ``com_like.messaging`` and carries requests to the
add-in and responses back::

    from com_like_host import serve
    with serve() as h:
        print("open", h.url)
        h.wait_connected(60)
        ...  # com_like.Context.workbook ...

A script started with ``python -m com_like_host run`` reaches its host
through ``current_host()``: callback errors, request counts, waiting for
callbacks.
"""

__all__ = ["serve", "Host", "stable_token", "CallbackError", "current_host"]

_current = None


def current_host():
    """The host that ``python -m com_like_host run`` started for the running
    script, or None outside such a script."""
    return _current


def _set_current_host(host):
    global _current
    _current = host


def __getattr__(name):
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
    raise AttributeError(name)
