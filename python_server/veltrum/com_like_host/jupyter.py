"""The host behind a Jupyter server, under its authentication.

When Python runs on a shared Jupyter server and Excel on each analyst's
desktop, the pane cannot reach a port of the server's machine; it reaches
the Jupyter server. ``server_proxy`` registers the host with
jupyter-server-proxy (an entry point of this package), so the Jupyter
server serves the pane and its socket at ``{base_url}com_like/``, behind
its own login, and passes them to the host that a kernel runs on
``COM_LIKE_PORT`` (8765 by default) on loopback.

The kernel's host must know the address users reach it at, to name it in
the pane URL and to accept the Jupyter server's Host and Origin:
``COM_LIKE_PUBLIC_URL``, e.g. ``https://hub.example.org/user/ana/com_like/``.
``%load_ext com_like_host`` reads both.
"""

from __future__ import annotations

import os

DEFAULT_PORT = 8765
PORT_ENV = "COM_LIKE_PORT"
PUBLIC_URL_ENV = "COM_LIKE_PUBLIC_URL"
ROUTE = "com_like"


def port_from_env() -> int:
    """The port a kernel's host listens on behind the Jupyter server."""
    text = os.environ.get(PORT_ENV, "").strip()
    if not text:
        return DEFAULT_PORT
    port = int(text)
    if not 0 < port < 65536:
        raise ValueError("%s=%s is not a port" % (PORT_ENV, text))
    return port


def public_url_from_env() -> str | None:
    return os.environ.get(PUBLIC_URL_ENV, "").strip() or None


def server_proxy() -> dict:
    """jupyter-server-proxy's description of the host: a server started by
    a kernel (so no command), on a fixed loopback port."""
    return {
        "port": port_from_env(),
        "command": [],
        "absolute_url": False,
        "launcher_entry": {"enabled": False},
        "new_browser_tab": False,
    }
