"""One fixture, two workbooks: every scenario here runs against the
simulated workbook (through LocalHost) and against the browser stack
(com_like_host.serve with the Office.js stand-in in headless Chromium).

The backend is the running host itself (``LocalHost`` or ``Host``), and
package-scoped, so the browser starts once for the whole suite; each test
gets a fresh worksheet of its own instead of a fresh workbook."""

import uuid

import pytest

import com_like
from host_support import Live


@pytest.fixture(autouse=True)
def clean_messaging():
    """Replaces the suite-wide reset: a backend owns messaging for the whole
    package, and resetting it between tests would end its session."""
    yield


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
def sheet(backend, workbook):
    """A fresh worksheet of its own, activated, for one test."""
    ws = workbook.worksheets.add(unique_name())
    ws.activate()
    yield ws
    errors = list(backend.callback_errors)
    del backend.callback_errors[:]
    assert not errors, "callbacks raised: %r" % errors


def unique_name(prefix="T"):
    return prefix + uuid.uuid4().hex[:10]
