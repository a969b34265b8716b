"""Behind a real Jupyter server: jupyter-server-proxy serves the pane and its
socket under the server's own URL and login, and a kernel's host answers
them; a notebook cell then writes to the workbook in headless Chromium."""

import importlib.metadata
import json
import os
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("jupyter_server")
pytest.importorskip("jupyter_server_proxy")
jupyter_client = pytest.importorskip("jupyter_client")

from com_like_host.browser import Browser  # noqa: E402
from host_support import STANDIN, free_port, need_chromium, run_cell  # noqa: E402

CHECKOUT = Path(__file__).resolve().parents[2]
STARTUP = 60
CELL = 60
JUPYTER_TOKEN = "jupyter-login-token"


def api(base, path, method="GET"):
    request = urllib.request.Request(base + path, method=method, data=b"{}" if method == "POST"
                                     else None, headers={"Authorization": "token " + JUPYTER_TOKEN})
    with urllib.request.urlopen(request, timeout=10) as resp:
        return json.loads(resp.read() or b"null")


@pytest.fixture
def jupyter(tmp_path):
    """A Jupyter server on loopback with jupyter-server-proxy, whose kernels
    find this checkout's packages and the proxy's address in their env."""
    need_chromium()
    port, host_port = free_port(), free_port()
    base = "http://127.0.0.1:%d" % port
    config = tmp_path / "config"
    config.mkdir()
    registered = any(e.name == "com_like" for e in
                     importlib.metadata.entry_points(group="jupyter_serverproxy_servers"))
    if not registered:
        # A checkout not installed anew: the same registration, by hand.
        (config / "jupyter_server_config.py").write_text(
            "from com_like_host.jupyter import server_proxy\n"
            "c.ServerProxy.servers = {'com_like': server_proxy()}\n")
    env = dict(os.environ, JUPYTER_CONFIG_DIR=str(config), JUPYTER_RUNTIME_DIR=str(tmp_path / "rt"),
               JUPYTER_DATA_DIR=str(tmp_path / "data"), COM_LIKE_PORT=str(host_port),
               COM_LIKE_PUBLIC_URL=base + "/com_like/",
               PYTHONPATH=os.pathsep.join([str(CHECKOUT / "python_server" / "veltrum")]
                                          + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    log = open(tmp_path / "server.log", "w")
    server = subprocess.Popen(
        [sys.executable, "-m", "jupyter_server", "--no-browser", "--ServerApp.ip=127.0.0.1",
         "--ServerApp.port=%d" % port, "--IdentityProvider.token=" + JUPYTER_TOKEN,
         "--ServerApp.root_dir=" + str(tmp_path), "--allow-root"], env=env, stdout=log, stderr=log)
    try:
        end = time.monotonic() + STARTUP
        while True:
            try:
                api(base, "/api/status")
                break
            except OSError:
                if time.monotonic() > end or server.poll() is not None:
                    raise AssertionError((tmp_path / "server.log").read_text()[-3000:])
                time.sleep(0.2)
        yield base, tmp_path
    finally:
        server.terminate()
        try:
            server.wait(15)
        except subprocess.TimeoutExpired:
            server.kill()
        log.close()


def test_a_notebook_cell_writes_through_the_jupyter_servers_proxy(jupyter):
    base, tmp = jupyter
    kernel_id = api(base, "/api/kernels", "POST")["id"]
    client = jupyter_client.BlockingKernelClient(
        connection_file=str(tmp / "rt" / ("kernel-%s.json" % kernel_id)))
    client.load_connection_file()
    # No heartbeat: under a sanitizer the kernel beats late and would be
    # taken for dead; its answers are what counts.
    client.start_channels(hb=False)
    try:
        client.wait_for_ready(STARTUP)

        def cell(code):
            out = run_cell(client, code, CELL)
            assert out.error is None, out.error + (tmp / "server.log").read_text()[-2000:]
            return out.text

        cell("%load_ext com_like_host")
        cell("%%com_like restart --office-js %s" % STANDIN)
        url = cell("import com_like_host; print(com_like_host.current_host().url)").strip()
        assert url.startswith(base + "/com_like/taskpane.html?token=")
        token = url.split("?token=", 1)[1]
        # Jupyter's login comes in the query, the pane's token in the fragment.
        with Browser("%s/com_like/taskpane.html?token=%s#token=%s"
                     % (base, JUPYTER_TOKEN, token)):
            assert cell("print(com_like_host.current_host().wait_connected(%d))" % CELL) \
                .strip() == "True"
            written = cell("import com_like\n"
                           "ws = com_like.Context.workbook.worksheets.getActiveWorksheet()\n"
                           "ws.getRange('A1').values = [['from a notebook']]\n"
                           "print([list(r) for r in ws.getRange('A1').values])")
            assert written.strip() == "[['from a notebook']]"
    finally:
        try:
            api(base, "/api/kernels/" + kernel_id, "DELETE")
        except OSError:
            pass
        client.stop_channels()
