"""The user's stable token and the add-in manifest.

A sideloaded manifest names the pane's URL, token included, and Excel keeps
it; so the command line serves with one token per user, kept in
``$XDG_CONFIG_HOME/com_like_host/token`` (``~/.config/...`` by default,
``%APPDATA%`` on Windows), readable by the user alone, in a directory
only the user can enter. The manifest holds the token too, so it is
written the same way and served only to a client that shows the token.
"""

from __future__ import annotations

import os
import secrets
import stat
import sys
import urllib.parse
import uuid
import warnings
from pathlib import Path
from xml.sax.saxutils import escape

ADDIN_DIR = Path(__file__).resolve().parent / "addin"
HOSTED_OFFICE_JS = "https://appsforoffice.microsoft.com/lib/1/hosted/office.js"


def config_dir() -> Path:
    if sys.platform == "win32" and os.environ.get("APPDATA"):
        base = Path(os.environ["APPDATA"])
    else:
        base = Path(os.environ.get("XDG_CONFIG_HOME") or Path.home() / ".config")
    return base / "com_like_host"


def new_token() -> str:
    return secrets.token_urlsafe(24)


# POSIX modes only: on Windows the per-user profile's ACLs keep these files
# private, and os.chmod can do no more than set them read-only.
_POSIX = os.name == "posix"


def _mine(st):
    return not _POSIX or st.st_uid == os.getuid()


def private_dir(path: str | os.PathLike[str]) -> Path:
    """``path`` as a directory only this user can enter, made if missing.
    One of another user's is refused; one of ours that others can read is
    made private again, with a warning."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        path.mkdir(mode=0o700)
    except FileExistsError:
        pass
    st = path.lstat()
    if not stat.S_ISDIR(st.st_mode):
        raise NotADirectoryError("%s is not a directory" % path)
    if not _mine(st):
        raise PermissionError("%s belongs to another user; refusing to keep secrets there" % path)
    if _POSIX and st.st_mode & 0o077:
        warnings.warn("%s was open to other users (mode %o); made private (700)"
                      % (path, stat.S_IMODE(st.st_mode)), RuntimeWarning, stacklevel=3)
        os.chmod(path, 0o700)
    return path


def write_private(path: str | os.PathLike[str], text: str) -> Path:
    """Write ``text`` to ``path``, readable by this user alone (0600), also
    when the file existed with a wider mode; a link is not followed."""
    path = Path(path)
    fd = os.open(str(path), os.O_WRONLY | os.O_CREAT | _NOFOLLOW, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
        if _POSIX:
            if not _mine(os.fstat(fd)):
                raise PermissionError("%s belongs to another user" % path)
            os.fchmod(fd, 0o600)
        f.truncate(0)
        f.write(text)
    return path


def read_private(path: str | os.PathLike[str]) -> str:
    """The text of a file that holds a secret. One of another user's is
    refused; one of ours that others can read is repaired with a warning
    (the secret may have been seen: make a new one if in doubt)."""
    path = Path(path)
    fd = os.open(str(path), os.O_RDONLY | _NOFOLLOW)
    with os.fdopen(fd, "r", encoding="utf-8") as f:
        if _POSIX:
            st = os.fstat(fd)
            if not _mine(st):
                raise PermissionError("%s belongs to another user; refusing its secret" % path)
            if st.st_mode & 0o077:
                warnings.warn("%s was readable by other users (mode %o); made private (600). "
                              "Delete it for a new token if others may have read it."
                              % (path, stat.S_IMODE(st.st_mode)), RuntimeWarning, stacklevel=3)
                os.fchmod(fd, 0o600)
        return f.read()


_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)


def stable_token(path: str | os.PathLike[str] | None = None) -> str:
    """This user's token: read from the config file, made there on first use."""
    path = Path(path) if path is not None else config_dir() / "token"
    private_dir(path.parent)
    try:
        token = read_private(path).strip()
        if token:
            return token
    except FileNotFoundError:
        pass
    token = new_token()
    write_private(path, token + "\n")
    return token


class ManifestError(ValueError):
    """No manifest can be made for this host."""


def render_manifest(base: str, token: str) -> str:
    """manifest.xml for a pane served at ``base`` (an origin, or an origin
    and a path prefix) with ``token``. The add-in's Id follows from the
    token, so one user keeps one add-in. Excel loads a pane only over
    https, so an http base gets none."""
    if not base.startswith("https://"):
        raise ManifestError("Excel loads add-ins only over https: serve with a certificate and "
                            "key (--cert/--key) to get a manifest; %s is plain http" % base)
    parts = urllib.parse.urlsplit(base)
    template = (ADDIN_DIR / "manifest.xml").read_text(encoding="utf-8")
    addin_id = uuid.uuid5(uuid.NAMESPACE_URL, "com_like_host:" + token)
    return (template.replace("{ID}", str(addin_id))
            .replace("{BASE}", escape(base, {'"': "&quot;"}))
            .replace("{ORIGIN}", escape("%s://%s" % (parts.scheme, parts.netloc), {'"': "&quot;"}))
            .replace("{TOKEN}", escape(token, {'"': "&quot;"})))
