"""Python packages import one way: the simulated workbook is a transport
under the host's core, so com_like_sim may import com_like_host, never the
other way round."""

import ast
from pathlib import Path

import pytest

PACKAGES = Path(__file__).resolve().parents[1] / "python_server" / "veltrum"
HOST_MODULES = sorted((PACKAGES / "com_like_host").rglob("*.py"))


def imported(path):
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            yield node.module


@pytest.mark.parametrize("path", HOST_MODULES, ids=lambda p: p.name)
def test_the_host_never_imports_the_simulated_workbook(path):
    assert not [m for m in imported(path) if m.split(".")[0] == "com_like_sim"]
