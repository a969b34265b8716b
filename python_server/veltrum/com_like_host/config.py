"""The user's stable token and the add-in manifest.

A sideloaded manifest names the pane's URL, token included, and Excel keeps
it; so the command line serves with one token per user, kept in
``$XDG_CONFIG_HOME/com_like_host/token`` (``~/.config/...`` by default,
``%APPDATA%`` on Windows), readable by the user alone.
"""

import os
import secrets
import sys
import uuid
from pathlib import Path
from xml.sax.saxutils import escape

ADDIN_DIR = Path(__file__).resolve().parent / "addin"
HOSTED_OFFICE_JS = "https://appsforoffice.microsoft.com/lib/1/hosted/office.js"


def config_dir():
    if sys.platform == "win32" and os.environ.get("APPDATA"):
        base = Path(os.environ["APPDATA"])
    else:
        base = Path(os.environ.get("XDG_CONFIG_HOME") or Path.home() / ".config")
    return base / "com_like_host"


def new_token():
    return secrets.token_urlsafe(24)


def stable_token(path=None):
    """This user's token: read from the config file, made there on first use."""
    path = Path(path) if path is not None else config_dir() / "token"
    try:
        token = path.read_text(encoding="ascii").strip()
        if token:
            return token
    except FileNotFoundError:
        pass
    path.parent.mkdir(parents=True, exist_ok=True)
    token = new_token()
    # Created private; an existing file of someone else's is not followed.
    fd = os.open(str(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0),
                 0o600)
    with os.fdopen(fd, "w", encoding="ascii") as f:
        f.write(token + "\n")
    return token


def render_manifest(origin, token):
    """manifest.xml for a pane served at ``origin`` with ``token``. The
    add-in's Id follows from the token, so one user keeps one add-in."""
    template = (ADDIN_DIR / "manifest.xml").read_text(encoding="utf-8")
    addin_id = uuid.uuid5(uuid.NAMESPACE_URL, "com_like_host:" + token)
    return (template.replace("{ID}", str(addin_id))
            .replace("{ORIGIN}", escape(origin, {'"': "&quot;"}))
            .replace("{TOKEN}", escape(token, {'"': "&quot;"})))
