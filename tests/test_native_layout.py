"""The native module's folders and the one-way order of their includes."""
import os
import re

import pytest

SRC = os.path.join(os.path.dirname(__file__), "..", "python_server", "veltrum", "com_like")

# Lowest first. A folder may include its own files and those of the folders
# named here; serializer and messaging sit side by side.
MAY_INCLUDE = {
    "base": [],
    "functions": ["base"],
    "serializer": ["base", "functions"],
    "messaging": ["base", "functions"],
    "proxies": ["base", "functions", "serializer", "messaging"],
    "transaction": ["base", "functions", "serializer", "messaging", "proxies"],
    "module": ["base", "functions", "serializer", "messaging", "proxies", "transaction"],
}
ORDER = list(MAY_INCLUDE)

# The includes against the order, each named in its folder's README.md.
EXCEPTIONS: set[tuple[str, str]] = set()

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
SOURCE = (".h", ".cpp")


def sources(folder):
    for name in sorted(os.listdir(os.path.join(SRC, folder))):
        if name.endswith(SOURCE):
            yield folder + "/" + name


def includes(path):
    with open(os.path.join(SRC, path), encoding="utf-8") as f:
        return INCLUDE.findall(f.read())


def stated_includes(folder):
    """The folders after "May include:" in the folder's README.md."""
    with open(os.path.join(SRC, folder, "README.md"), encoding="utf-8") as f:
        m = re.search(r"^May include: (.*)\.$", f.read(), re.M)
    assert m, folder + "/README.md has no 'May include: ...' line"
    return [] if m.group(1) == "nothing" else m.group(1).split(", ")


def test_every_source_is_in_a_layered_folder():
    found = []
    for root, _dirs, files in os.walk(SRC):
        rel = os.path.relpath(root, SRC).replace(os.sep, "/")
        found += [rel + "/" + f for f in files if f.endswith(SOURCE)]
    stray = [p for p in found if p.split("/")[0] not in MAY_INCLUDE or p.count("/") != 1]
    assert found and not stray


@pytest.mark.parametrize("folder", ORDER)
def test_folder_includes_only_folders_below_it(folder):
    below = ORDER[:ORDER.index(folder)]
    assert set(MAY_INCLUDE[folder]) <= set(below), "the order must stay one way"
    assert stated_includes(folder) == MAY_INCLUDE[folder], "README.md and this test disagree"
    allowed = set(MAY_INCLUDE[folder]) | {folder}
    wrong = []
    for path in sources(folder):
        for bracket, target in includes(path):
            ours = target.split("/")[0] in MAY_INCLUDE
            if bracket == "<":
                # Our own headers are named the one way, in quotes.
                if ours:
                    wrong.append((path, target))
                continue
            if not ours or not os.path.isfile(os.path.join(SRC, target)):
                wrong.append((path, target))  # not named by its path from the module's folder
            elif target.split("/")[0] not in allowed and (path, target) not in EXCEPTIONS:
                wrong.append((path, target))
    assert wrong == []


def test_exceptions_are_still_needed():
    # A removed exception must leave this list too, so the order tightens.
    present = {(path, target) for path, target in EXCEPTIONS if ("\"", target) in includes(path)}
    assert present == EXCEPTIONS
