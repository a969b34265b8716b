"""One fixture, two workbooks: every scenario here runs against the
simulated workbook (through LocalHost) and against the browser stack
(com_like_host.serve with the Office.js stand-in in headless Chromium).

The backend is package-scoped, so the browser starts once for the whole
suite; each test gets a fresh worksheet of its own instead of a fresh
workbook."""

import pytest

import com_like
from host_support import Live
# The backend owns messaging for the whole package; scenarios import unique_name from here.
from host_support import session_owns_messaging, unique_name  # noqa: F401


class Backend:
    """What a scenario may ask of either backend besides com_like itself."""

    def __init__(self, name, host, close):
        self.name = name
        self.host = host
        self.close = close

    def wait_callbacks(self, timeout=5.0):
        return self.host.wait_callbacks(timeout)

    def request_counts(self):
        return self.host.request_counts()

    def reset_counts(self):
        self.host.reset_counts()

    def __repr__(self):
        return "<backend %s>" % self.name


def _start_sim():
    from com_like_sim import LocalHost
    host = LocalHost().start()
    return Backend("sim", host, host.stop)


def _start_browser():
    live = Live()
    return Backend("browser", live.host, live.close)


@pytest.fixture(scope="package", params=["sim", "browser"])
def backend(request):
    b = _start_sim() if request.param == "sim" else _start_browser()
    try:
        yield b
    finally:
        b.close()


@pytest.fixture
def workbook(backend):
    return com_like.Context.workbook


@pytest.fixture
def sheet(sheet, backend):
    """The shared fresh worksheet, and no callback may have raised meanwhile."""
    yield sheet
    errors = list(backend.host.callback_errors)
    del backend.host.callback_errors[:]
    assert not errors, "callbacks raised: %r" % errors

