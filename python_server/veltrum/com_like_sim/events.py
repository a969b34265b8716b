"""What the local host's threads hand each other: one type for each kind,
named for what it asks of the thread that takes it.

``ToAddin``: to the add-in thread, which runs them against the add-in in
arrival order. ``ToListener``: to the listener thread, which hands them to
the host core in that same order. ``FromAddin``, a part of ``ToListener``:
what the simulated add-in emits on its own (``SimulatedAddin.emit``).

Releases go both ways and are different things: ``ReleaseObjects`` lets the
add-in drop objects the Python side no longer holds; ``ReleaseCallables``
tells the host the add-in let go of Python functions it was given.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Union


@dataclass(frozen=True, slots=True)
class Stop:
    """Ends the thread that takes it (either one)."""


# ---------------------------------------------------------------- to the add-in

@dataclass(frozen=True, slots=True)
class Request:
    """A request of session ``epoch`` from thread ``origin``, to run no
    sooner than ``due`` (``time.monotonic()``: the simulated latency)."""
    epoch: int
    message: dict[str, Any]
    origin: int
    due: float


@dataclass(frozen=True, slots=True)
class ReleaseObjects:
    """Object ids of session ``epoch`` that the Python side let go of."""
    epoch: int
    ids: list[int]


@dataclass(frozen=True, slots=True)
class CallbackAnswer:
    """How the add-in's call ``call_id`` of a Python function ended;
    ``done`` runs once the add-in has it."""
    call_id: Any
    ok: bool
    error: str | None
    done: Callable[[], object]


@dataclass(frozen=True, slots=True)
class NewSession:
    """The connection was re-established: the add-in forgets its objects."""


# ---------------------------------------------------------------- to the listener

@dataclass(frozen=True, slots=True)
class Response:
    """The add-in's answer to a request."""
    response: dict[str, Any]


@dataclass(frozen=True, slots=True)
class Progress:
    """How far a request in blocks has got."""
    request_id: Any
    report: dict[str, int]


@dataclass(frozen=True, slots=True)
class CallPython:
    """The add-in calls Python function ``callable_id`` with argument
    records ``args``; ``source`` names the event source whose handler it
    is (None for other calls)."""
    callable_id: str
    args: list[Any]
    call_id: int
    source: str | None = None


@dataclass(frozen=True, slots=True)
class ReleaseCallables:
    """Python functions the add-in no longer holds."""
    ids: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Reconnect:
    """Simulate a dropped and re-established connection; ``done`` is set
    once the session is reset."""
    done: threading.Event


ToAddin = Union[Request, ReleaseObjects, CallbackAnswer, NewSession, Stop]
FromAddin = Union[CallPython, ReleaseCallables]
ToListener = Union[Response, Progress, CallPython, ReleaseCallables, Reconnect, Stop]
