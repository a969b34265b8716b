import gc

import pytest

import com_like
from addin_doubles import RecordingAddin, ThreadedAddin, frozen_heap
from host_support import unique_name


@pytest.fixture(autouse=True)
def clean_messaging():
    """Every test starts with no handler and a fresh messaging context."""
    com_like.messaging.set_send_handler(None)
    com_like.messaging.reset()
    yield
    com_like.messaging.set_send_handler(None)
    com_like.messaging.reset()


@pytest.fixture
def addin():
    return RecordingAddin().install()


@pytest.fixture
def threaded_addin():
    double = ThreadedAddin().install()
    yield double
    double.stop()


@pytest.fixture(scope="module")
def frozen_module():
    """Keeps the heap of earlier modules out of this module's collections."""
    with frozen_heap():
        yield


@pytest.fixture
def no_leftovers():
    """Proxies that earlier tests left in cycles are released before the double records."""
    gc.collect()


@pytest.fixture
def sheet(workbook):
    """A fresh worksheet of its own, activated, for one test, so that tests
    sharing a workbook (the package's ``workbook`` fixture) keep apart."""
    ws = workbook.worksheets.add(unique_name())
    ws.activate()
    return ws
