"""Fixtures of the host tests (helpers in host_support)."""

import pytest

import com_like
from com_like_host import serve
from host_support import Live, WireAddin
from host_support import session_owns_messaging  # noqa: F401  (a host here owns it per module)


@pytest.fixture
def host():
    with serve() as h:
        yield h


@pytest.fixture
def wire(host):
    double = WireAddin(host)
    assert host.wait_connected(5)
    yield double
    double.close()


@pytest.fixture(scope="module")
def live():
    env = Live()
    yield env
    env.close()


@pytest.fixture
def workbook(live):
    """The browser's workbook, connected (``sheet`` gives a test its own worksheet)."""
    if not live.host.connected:
        assert live.host.wait_connected(30)
    return com_like.Context.workbook
