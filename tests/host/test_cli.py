"""python -m com_like_host: run a script against a connected add-in, and
the demo through the real stack."""

import os
import subprocess
import sys
import types

import pytest

from com_like_host import serve
from com_like_host.certs import ensure_certs
from host_support import WireAddin, make_cert, need_chromium

SCRIPT = """
import sys
import com_like
ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
ws.getRange("A1").values = [[sys.argv[1]]]
print("read back:", ws.getRange("A1").values[0][0])
sys.exit(int(sys.argv[2]))
"""


@pytest.fixture(autouse=True)
def own_config(tmp_path, monkeypatch):
    """A config directory of the test's own: no certificates or token of
    the user's leak in, and none are left behind."""
    config = tmp_path / "config"
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("APPDATA", str(config))
    return config / "com_like_host"


def env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def cli(args, **kw):
    return subprocess.run([sys.executable, "-m", "com_like_host"] + args, env=env(),
                          capture_output=True, text=True, timeout=60, **kw)


def start(args):
    proc = subprocess.Popen([sys.executable, "-m", "com_like_host"] + args, env=env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in proc.stdout:
        if line.startswith("task pane: "):
            return proc, line.split(": ", 1)[1].strip()
    proc.kill()
    proc.wait(10)
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
    proc = cli(["run", "--port", "0", "--token", "t", "--timeout", "0.2", str(script)])
    assert proc.returncode == 3 and "no add-in connected within" in proc.stderr


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


ARGV_SCRIPT = """
import sys
import com_like, com_like_host
h = com_like_host.current_host()
com_like.Context.workbook.worksheets.getActiveWorksheet().getRange("A1").values = [["x"]]
print("argv:", sys.argv[1:])
print("host:", type(h).__name__, h.connected, sum(h.request_counts().values()) > 0)
"""


@pytest.mark.parametrize("words, argv", [
    (["{script}", "--port", "0", "--token", "T", "--timeout", "30", "a", "b"], ["a", "b"]),
    (["--port", "0", "{script}", "a", "--token", "T", "--timeout=30"], ["a"]),
    (["--port", "0", "--token", "T", "--timeout", "30", "{script}", "--", "--port", "9", "-v"],
     ["--port", "9", "-v"]),
    (["--port", "0", "--token", "T", "--timeout", "30", "--", "{script}", "--token", "U"],
     ["--token", "U"]),
])
def test_run_options_are_ours_anywhere_and_the_rest_the_scripts(tmp_path, words, argv):
    script = tmp_path / "script.py"
    script.write_text(ARGV_SCRIPT)
    proc, url = start(["run"] + [w.format(script=script) for w in words])
    assert url.startswith("http://") and url.endswith("?token=T")
    double = WireAddin(types.SimpleNamespace(origin=url.split("/taskpane.html")[0], token="T"))
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        double.close()
    assert proc.returncode == 0, err
    assert "argv: %r" % argv in out
    assert "host: Host True True" in out


def test_no_current_host_outside_run():
    import com_like_host
    assert com_like_host.current_host() is None


@pytest.mark.parametrize("words, error", [
    (["run", "{missing}"], "script not found"),
    (["run", "{script}", "--cert", "{missing}", "--key", "{script}"], "certificate file not found"),
    (["run", "{script}", "--cert", "{script}", "--key", "{missing}"], "key file not found"),
    (["serve", "--cert", "{missing}", "--key", "{script}"], "certificate file not found"),
    (["run", "{script}", "--cert", "{script}", "--key", "{script}"], "cannot serve with"),
    (["run", "--port", "0"], "the script to run is missing"),
    (["run", "{script}", "--verbose"], "unrecognized arguments: --verbose"),
    (["serve", "--no-tls", "--port", "0", "--manifest", "{missing}"], "--manifest needs https"),
    (["serve", "--cert", "c.pem"], "--cert and --key go together"),
    (["bogus"], "invalid choice"),
])
def test_bad_run_and_serve_lines_fail_at_once(tmp_path, words, error):
    script = tmp_path / "s.py"
    script.write_text("print('ran')")
    words = [w.format(script=script, missing=tmp_path / "missing.pem") for w in words]
    if words[0] == "run" and "--port" not in words:
        words += ["--port", "0", "--timeout", "600"]     # a wait would hit the time-out
    proc = cli(words)
    assert proc.returncode != 0 and error in proc.stderr
    assert "waiting" not in proc.stdout and "Traceback" not in proc.stderr


@pytest.mark.parametrize("command", ["serve", "run"])
def test_a_port_in_use_is_explained(tmp_path, command):
    script = tmp_path / "s.py"
    script.write_text("")
    with serve() as h:
        proc = cli([command, "--port", str(h.port), "--timeout", "600", str(script)]
                   if command == "run" else [command, "--port", str(h.port)])
    assert proc.returncode != 0 and "Traceback" not in proc.stderr
    assert "port %d is in use: is another `python -m com_like_host serve`" % h.port in proc.stderr


@pytest.mark.parametrize("flags, scheme", [
    ([], "https://localhost:"),                       # the certificate `certs` made
    (["--no-tls"], "http://127.0.0.1:"),
    (["--cert", "{cert}", "--key", "{key}"], "https://localhost:"),
])
def test_serve_uses_the_made_certificate_unless_told_otherwise(tmp_path, own_config, flags,
                                                              scheme):
    files, _ = ensure_certs(directory=own_config / "certs")
    cert, key = make_cert(tmp_path)
    proc, url = start(["serve", "--port", "0"] + [f.format(cert=cert, key=key) for f in flags])
    try:
        assert url.startswith(scheme)
    finally:
        proc.kill()
        proc.communicate(timeout=10)


def test_certs_command_makes_the_files_and_only_prints_the_trust_steps(own_config):
    proc = cli(["certs"])
    assert proc.returncode == 0, proc.stderr
    ca = own_config / "certs" / "ca.pem"
    assert ca.is_file() and (own_config / "certs" / "localhost-key.pem").is_file()
    for step in ("certutil -user -addstore Root", "security add-trusted-cert",
                 "update-ca-certificates"):
        assert step in proc.stdout
    assert "running:" not in proc.stdout
    again = cli(["certs"])
    assert again.returncode == 0 and "up to date" in again.stdout


@pytest.mark.parametrize("flag", ["-h", "--help"])
def test_sim_help_exits_0(flag):
    proc = subprocess.run([sys.executable, "-m", "com_like_sim", flag], env=env(),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "usage:" in proc.stdout
