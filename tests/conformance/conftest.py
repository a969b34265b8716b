"""One fixture, two workbooks: every scenario here runs against the
simulated workbook (through LocalHost) and against the browser stack
(com_like_host.serve with the Office.js stand-in in headless Chromium).

The backend is the running host itself (``LocalHost`` or ``Host``), and
package-scoped, so the browser starts once for the whole suite; each test
gets a fresh worksheet of its own instead of a fresh workbook."""

import pytest

import com_like
from host_support import Live
# The backend owns messaging for the whole package; scenarios import unique_name from here.
from host_support import session_owns_messaging, unique_name  # noqa: F401




@pytest.fixture(scope="package", params=["sim", "browser"])
def backend(request):
    if request.param == "sim":
        from com_like_sim import LocalHost
        with LocalHost() as host:
            yield host
        return
    live = Live()
    try:
        yield live.host
    finally:
        live.close()


@pytest.fixture
def backend_name(request, backend):
    """The backend this test runs on: "sim" or "browser"."""
    return request.node.callspec.params["backend"]


@pytest.fixture
def workbook(backend):
    return com_like.Context.workbook


@pytest.fixture
def sheet(sheet, backend):
    """The shared fresh worksheet, and no callback may have raised meanwhile."""
    yield sheet
    errors = list(backend.callback_errors)
    del backend.callback_errors[:]
    assert not errors, "callbacks raised: %r" % errors

