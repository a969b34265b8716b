"""Add-in doubles for the tests: they record every request and answer it
either from inside the send handler (synchronous) or from a listener thread."""
import queue
import threading

import com_like


def ok(result=None):
    return {"ok": True, "result": result if result is not None else {"type": "Null", "value": None}}


class RecordingAddin:
    """Synchronous double: answers through on_message before the handler returns.

    `answer(request)` returns a response dict without "requestId" (it is
    added here), or None to leave the request unanswered.
    """

    def __init__(self, answer=None, messaging=None):
        self.messaging = messaging or com_like.messaging
        self.requests = []
        self.answer = answer or (lambda req: ok())

    def bodies(self):
        """The request bodies without the envelope keys."""
        return [{k: v for k, v in r.items() if k not in ("requestId", "kind")} for r in self.requests]

    def methods(self):
        return [(r["method"], r["name"], r["caller"]) for r in self.requests]

    def clear(self):
        self.requests.clear()

    def __call__(self, message):
        self.requests.append(message)
        response = self.answer(message)
        if response is not None:
            response = dict(response)
            response["requestId"] = message["requestId"]
            self.messaging.on_message(response)

    def install(self):
        self.messaging.set_send_handler(self)
        return self


class ThreadedAddin(RecordingAddin):
    """Double whose answers come from a listener thread, as a real host's do."""

    def __init__(self, answer=None, messaging=None):
        super().__init__(answer, messaging)
        self._queue = queue.Queue()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._listen, daemon=True)
        self._thread.start()

    def __call__(self, message):
        with self._lock:
            self.requests.append(message)
        self._queue.put(message)

    def _listen(self):
        while True:
            message = self._queue.get()
            if message is None:
                return
            response = self.answer(message)
            if response is not None:
                response = dict(response)
                response["requestId"] = message["requestId"]
                self.messaging.on_message(response)

    def stop(self):
        self._queue.put(None)
        self._thread.join(timeout=5)
