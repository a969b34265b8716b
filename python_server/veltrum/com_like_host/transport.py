"""What a transport gives the host core: four ways to send to the add-in.

A transport (the WebSocket server's ``Host``, or the simulated workbook's
``LocalHost`` with its in-process queues) moves the core's messages to the
add-in, and reports what comes back through the core's ``on_*`` methods,
always from its listener thread.

Every method may raise, and none is called with a lock of the core held.
"""

from __future__ import annotations

import concurrent.futures
from collections.abc import Callable
from typing import Any, Protocol


class Transport(Protocol):
    """Carries the core's messages to the add-in."""

    def send_request(self, message: dict[str, Any], release_ids: list[int]
                     ) -> concurrent.futures.Future[None] | None:
        """Send a request, with the object ids released since the last one,
        on the requesting thread.

        Raising means the frame did not go out (or its session is ending):
        the core queues ``release_ids`` again. It may return a future of a
        frame still going out (a large one), which the core waits on along
        with the answer."""

    def send_cancel(self, request_id: Any) -> None:
        """Ask the add-in to stop a request; must not wait long."""

    def send_release(self, ids: list[int]) -> None:
        """Let the add-in drop these objects; on the core's release thread."""

    def send_callback_result(self, call_id: Any, ok: bool, result: Any, error: str | None,
                             done: Callable[[], object]) -> None:
        """Answer the add-in's call of a Python callable: ``result`` is the
        value's wire record when ``ok``, else ``error`` says what failed.

        Called on a callback worker (or the watchdog, for a callback past its
        time limit). Unless it raises, the transport calls ``done()`` once,
        when the add-in has the answer or it is lost: ``wait_callbacks``
        waits for that. If it raises, the answer did not go out, and the
        core counts the call done itself: ``done()`` must not be called
        then, or the count of callbacks still owed an answer goes wrong."""
