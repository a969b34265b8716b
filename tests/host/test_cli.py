"""python -m com_like_host: run a script against a connected add-in, and
the demo through the real stack."""

import os
import subprocess
import sys
import types

import pytest

from host_support import WireAddin, need_chromium

SCRIPT = """
import sys
import com_like
ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
ws.getRange("A1").values = [[sys.argv[1]]]
print("read back:", ws.getRange("A1").values[0][0])
sys.exit(int(sys.argv[2]))
"""


def env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def start(args):
    proc = subprocess.Popen([sys.executable, "-m", "com_like_host"] + args, env=env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in proc.stdout:
        if line.startswith("task pane: "):
            return proc, line.split(": ", 1)[1].strip()
    proc.kill()
    raise AssertionError("no pane URL printed: %s" % proc.stderr.read())


def test_run_waits_for_the_add_in_and_exits_with_the_script_status(tmp_path):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT)
    proc, url = start(["run", "--port", "0", "--token", "tok-123", "--timeout", "30",
                       str(script), "hello", "3"])
    origin = url.split("/taskpane.html")[0]
    assert url == origin + "/taskpane.html?token=tok-123"
    double = WireAddin(types.SimpleNamespace(origin=origin, token="tok-123"))
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        double.close()
    assert proc.returncode == 3, err
    assert "read back: hello" in out


def test_run_gives_up_clearly_without_an_add_in(tmp_path):
    script = tmp_path / "script.py"
    script.write_text("raise SystemExit('never runs')")
    proc = subprocess.run([sys.executable, "-m", "com_like_host", "run", "--port", "0",
                           "--token", "t", "--timeout", "0.2", str(script)], env=env(),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 3 and "no add-in connected within" in proc.stderr


@pytest.mark.parametrize("args, error", [
    (["serve", "--cert", "c.pem"], "--cert and --key go together"),
    (["bogus"], "invalid choice"),
])
def test_bad_command_lines(args, error):
    proc = subprocess.run([sys.executable, "-m", "com_like_host"] + args, env=env(),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0 and error in proc.stderr


def test_demo_through_the_browser():
    need_chromium()
    proc = subprocess.run([sys.executable, "-m", "com_like_host", "demo"], env=env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "read back 4 rows x 3 columns" in proc.stdout and "DEL " in proc.stdout


def test_demo_says_how_to_get_a_browser():
    proc = subprocess.run([sys.executable, "-m", "com_like_host", "demo"],
                          env=dict(env(), COM_LIKE_CHROMIUM="/nonexistent/chromium"),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "apt-get install chromium" in proc.stderr
