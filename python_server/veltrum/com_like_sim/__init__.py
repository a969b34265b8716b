"""A simulated workbook add-in and a local host for com_like.

Runs com_like scripts offline: ``LocalHost`` carries requests to a
``SimulatedAddin`` (an in-memory workbook) and responses back, the way a
real host and add-in would.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .addin import SimulatedAddin
from .model import Workbook

if TYPE_CHECKING:
    # What the lazy __getattr__ below hands out, for type checkers.
    from .host import LocalHost

__all__ = ["SimulatedAddin", "Workbook", "LocalHost"]


def __getattr__(name: str) -> Any:
    # The host needs com_like; importing it lazily keeps the add-in usable
    # (and testable) without the extension.
    if name == "LocalHost":
        from .host import LocalHost
        return LocalHost
    raise AttributeError(name)
