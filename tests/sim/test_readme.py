"""The README's promises about the simulated workbook hold for this checkout."""

import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def readme_section(title):
    with open(README) as f:
        text = f.read()
    start = text.index("\n## %s\n" % title)
    end = text.find("\n## ", start + 1)
    return text[start:end if end > 0 else None]


def run_python(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=120)


def test_member_table_is_current():
    from com_like_sim.member_table import member_table_markdown

    section = readme_section("Run your own script against the simulated workbook")
    assert member_table_markdown() in section, (
        "README's member table is out of date: paste the output of python -m com_like_sim members")


def test_members_command_prints_the_table():
    proc = run_python("-m", "com_like_sim", "members")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("| Type | Properties") and "| Transaction |" in proc.stdout
    assert run_python("-m", "com_like_sim", "nonsense").returncode == 2


def test_own_script_example_runs():
    pytest.importorskip("com_like")
    section = readme_section("Run your own script against the simulated workbook")
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    proc = run_python("-c", code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["Region", "Units"] and lines[1].split() == ["0", "North", "5.0"]
    assert lines[-1].startswith("requests: ")


def test_the_add_in_reads_the_current_table_of_members():
    # The add-in's members.json is made from the simulated workbook's own
    # declarations; regenerate it with: python -m com_like_sim members --json
    from com_like_host.member_names import TABLE_PATH
    from com_like_sim.member_table import member_table_json_text
    assert TABLE_PATH.read_text(encoding="utf-8") == member_table_json_text(), \
        "run: python -m com_like_sim members --json > %s" % TABLE_PATH
