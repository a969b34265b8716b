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
kernel and ``%com_like`` shows or changes it (see ``notebook``).
"""

__all__ = ["serve", "Host", "stable_token", "CallbackError", "load_ipython_extension",
           "unload_ipython_extension"]


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
    if name in ("load_ipython_extension", "unload_ipython_extension"):
        # Lazy too: IPython is needed only in a kernel or shell.
        from . import notebook
        return getattr(notebook, name)
    raise AttributeError(name)
