"""The host in a real IPython kernel: %load_ext com_like_host, %com_like, and
a pane (the wire-level double, over a real socket) that a cell's com_like
code reaches."""

import os
import re
import socket
import types
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

jupyter_client = pytest.importorskip("jupyter_client")
pytest.importorskip("ipykernel")

from com_like_host.browser import Browser  # noqa: E402
from host_support import STANDIN, WireAddin, free_port, need_chromium, run_cell, wait_until  # noqa: E402

CHECKOUT_PACKAGES = Path(__file__).resolve().parents[2] / "python_server" / "veltrum"
KERNEL_START = 60
CELL_TIMEOUT = 30           # seconds: every cell, and so every test, is bounded
URL = re.compile(r"task pane: (http://\S+/taskpane\.html\?token=\S+)")



class Kernel:
    """A kernel of its own; ``run`` executes one cell and returns its output."""

    def __init__(self):
        env = dict(os.environ)
        # The kernel imports this checkout's host, not an older installed one.
        env["PYTHONPATH"] = os.pathsep.join(
            [str(CHECKOUT_PACKAGES)] + [p for p in [env.get("PYTHONPATH")] if p])
        self.km, self.kc = jupyter_client.manager.start_new_kernel(
            kernel_name="python3", startup_timeout=KERNEL_START, env=env)

    def run(self, code):
        return run_cell(self.kc, code, CELL_TIMEOUT)

    def close(self):
        self.kc.stop_channels()
        self.km.shutdown_kernel(now=True)


@pytest.fixture(scope="module")
def kernel():
    k = Kernel()
    yield k
    k.close()


@pytest.fixture(scope="module")
def first_load(kernel):
    out = kernel.run("%load_ext com_like_host")
    assert out.error is None, out.error
    return out


@pytest.fixture
def loaded(kernel, first_load):
    """The extension loaded and its host running (started again after the
    test before stopped it)."""
    out = kernel.run("%com_like start")
    assert out.error is None, out.error
    yield kernel, out
    kernel.run("%com_like stop")


def pane_url(out):
    m = URL.search(out.text)
    assert m, "no pane URL in the output:\n" + out.text
    return m.group(1)


def as_host(url):
    """What WireAddin needs of a host: its origin and token, from the URL."""
    parts = urllib.parse.urlsplit(url)
    token = urllib.parse.parse_qs(parts.query)["token"][0]
    return types.SimpleNamespace(origin="%s://%s" % (parts.scheme, parts.netloc), token=token,
                                 port=parts.port)


def refuses(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


def test_load_shows_the_url_as_text_and_as_a_link(first_load):
    out = first_load
    url = pane_url(out)
    assert "started" in out.text and "not connected" in out.text
    # Escaped in the link as HTML wants it.
    assert '<a href="%s"' % url.replace("&", "&amp;") in out.html


@pytest.mark.parametrize("again", ["%load_ext com_like_host", "%com_like start",
                                   "%reload_ext com_like_host"])
def test_loading_again_keeps_the_host_and_its_pane(loaded, again):
    kernel, out = loaded
    url = pane_url(out)
    pane = WireAddin(as_host(url))
    try:
        assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 10)
        rerun = kernel.run(again)
        assert rerun.error is None and "another" not in rerun.text
        status = kernel.run("%com_like")
        if again == "%reload_ext com_like_host":
            # Unloading stops the host; loading starts it on the same port
            # and token, so a pane reconnects to the URL it has.
            assert pane_url(status) == url
            pane.close()
            pane = WireAddin(as_host(url))
            assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 10)
        else:
            assert pane_url(status) == url and "pane: connected" in status.text
    finally:
        pane.close()


def test_a_cell_reaches_the_pane_and_the_magic_counts_it(loaded):
    kernel, out = loaded
    pane = WireAddin(as_host(pane_url(out)))
    try:
        assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 10)
        cell = kernel.run("import com_like\n"
                          "ws = com_like.Context.workbook.worksheets.getActiveWorksheet()\n"
                          "ws.getRange('B2').values = [[41 + 1]]\n"
                          "print('read', ws.getRange('B2').values[0][0])")
        assert cell.error is None, cell.error
        assert "read 42" in cell.text
        assert pane.addin.workbook.sheet("Sheet1").values("B2") == [[42]]
        status = kernel.run("%com_like").text
        sets = re.search(r"SET (\d+)", status)
        assert sets and int(sets.group(1)) >= 1, status
        assert "last error: none" in status
    finally:
        pane.close()


def test_a_proxy_of_the_earlier_connection_is_explained(loaded):
    kernel, out = loaded
    pane = WireAddin(as_host(pane_url(out)))
    try:
        assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 10)
        assert kernel.run("import com_like\n"
                          "ws = com_like.Context.workbook.worksheets.getActiveWorksheet()").error is None
        pane.close()
        pane = WireAddin(as_host(pane_url(out)))      # the pane reconnects
        assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 10)
        cell = kernel.run("ws.name")
        assert "used after messaging context was stopped" in cell.error
        assert re.search(r"earlier connection, which ended at \d\d:\d\d:\d\d", cell.text)
        assert "com_like.Context" in cell.text
        fresh = kernel.run("print(com_like.Context.workbook.worksheets.getActiveWorksheet().name)")
        assert fresh.error is None and "earlier connection" not in fresh.text
    finally:
        pane.close()


def test_stop_closes_the_port_and_start_serves_the_same_url(loaded):
    kernel, out = loaded
    url = pane_url(out)
    port = as_host(url).port
    stopped = kernel.run("%com_like stop")
    assert "stopped" in stopped.text and "not running" in stopped.text
    assert refuses(port)
    assert "no host was running" in kernel.run("%com_like stop").text
    # A cell that uses com_like now fails at once, saying the host is stopped.
    cell = kernel.run("import com_like\ncom_like.Context.workbook.worksheets")
    assert cell.error is not None
    assert pane_url(kernel.run("%com_like start")) == url


def test_a_host_of_other_code_is_named_not_replaced(loaded):
    kernel, _ = loaded
    kernel.run("%com_like stop")
    cell = kernel.run("from com_like_host import serve\nmine = serve()")
    assert cell.error is None, cell.error
    try:
        out = kernel.run("%com_like start")
        assert "failed" in out.text and "serve()" in out.text
    finally:
        kernel.run("mine.close()")


@pytest.mark.parametrize("line, says", [
    ("%com_like bogus", "invalid choice"),
    ("%com_like restart --office-js /no/such/office.js", "no such file"),
    ("%com_like restart --cert only.pem", "go together"),
    ("%com_like restart --port notaport", "invalid int"),
    ("%com_like restart --port 70000", "0-65535"),
])
def test_bad_arguments_are_reported_without_a_traceback(loaded, line, says):
    kernel, started = loaded
    out = kernel.run(line)
    assert out.error is None and says in out.text, out.text
    # The host runs on, as it was.
    assert pane_url(kernel.run("%com_like")) == pane_url(started)


def test_options_are_kept_across_restarts(loaded):
    kernel, _ = loaded
    port = free_port()
    url = pane_url(kernel.run("%%com_like restart --port %d --office-js %s" % (port, STANDIN)))
    assert as_host(url).port == port
    # A restart without options keeps the port, the token and the office.js.
    assert pane_url(kernel.run("%com_like restart")) == url
    with urllib.request.urlopen(as_host(url).origin + "/office/office.js", timeout=10) as r:
        assert r.status == 200


def test_a_pane_in_chromium_connects_and_a_cell_writes_through_it(loaded):
    need_chromium()
    kernel, _ = loaded
    url = pane_url(kernel.run("%%com_like restart --office-js %s" % STANDIN))
    browser = Browser(url).start()
    try:
        assert wait_until(lambda: "pane: connected" in kernel.run("%com_like").text, 30)
        cell = kernel.run("import com_like\n"
                          "ws = com_like.Context.workbook.worksheets.getActiveWorksheet()\n"
                          "ws.getRange('C3').values = [['from the kernel']]\n"
                          "print('read', ws.getRange('C3').values[0][0])")
        assert cell.error is None, cell.error
        assert "read from the kernel" in cell.text
    finally:
        browser.close()


def test_a_long_write_shows_progress_in_the_notebook(kernel):
    out = kernel.run(
        "import com_like\n"
        "from com_like_host import progress\n"
        "from com_like_sim import blocks\n"
        "from com_like_sim.host import LocalHost\n"
        "progress.DELAY, blocks.BLOCK_CELLS = 0.0, 1000\n"
        "print('shown:', progress.wanted())\n"
        "with LocalHost() as h:\n"
        "    ws = com_like.Context.workbook.worksheets.getItem('Sheet1')\n"
        "    ws.getRange('A1:J20000').values = [[float(i)] * 10 for i in range(20000)]\n"
        "    print('last:', ws.getRange('A20000').values[0][0])\n")
    assert out.error is None, out.error
    assert "shown: True" in out.text and "last: 19999.0" in out.text
    assert "rows/s" in out.text + out.html        # a text bar, or the widget's
