"""Fixtures of the host tests (helpers in host_support)."""

import uuid

import pytest

import com_like
from com_like_host import serve
from host_support import Live, WireAddin


@pytest.fixture(autouse=True)
def clean_messaging():
    """Replaces the suite-wide reset: a host here owns messaging for a whole
    module, and resetting it between tests would end its session."""
    yield


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
def sheet(live):
    """A fresh worksheet of its own, activated, for one test."""
    if not live.host.connected:
        assert live.host.wait_connected(30)
    ws = com_like.Context.workbook.worksheets.add("T" + uuid.uuid4().hex[:10])
    ws.activate()
    yield ws
