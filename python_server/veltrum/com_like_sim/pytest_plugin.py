"""pytest plugin: the ``excel_sim`` fixture.

A test that takes ``excel_sim`` runs against a fresh simulated workbook,
with a local host installed on com_like for the test's duration::

    def test_report(excel_sim):
        ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
        ws.getRange("A1:B1").values = [["Total", "=1+1"]]
        sheet = excel_sim.workbook.sheet("Sheet1")
        assert sheet.values("A1:B1") == [["Total", 2]]
        assert sheet.cell("B1").value == "=1+1"

``excel_sim.workbook`` is the workbook's storage (``com_like_sim.Workbook``),
read without requests: ``sheet(name)`` gives a sheet, whose ``value(address)``
and ``values(address)`` read as ``Range.values`` does and ``cell(address)``
gives what one cell holds (``value``, ``fill``, ``bold``, ``italic``,
``font_color``, ``number_format``). ``seed(address, value)`` writes cells
as ``Range.values`` takes them.

Mark a test to shape its workbook::

    @pytest.mark.excel_sim(sheets=["Data", "Report"], settings={"Locale": "de-DE"},
                           cells={"Data!A1:B2": [["Units", 5], ["Price", 2.5]]})

``latency`` (seconds) delays every request, as a workbook that far away
would; ``excel_sim.request_counts()`` gives the requests sent, by method.

``cells`` maps an address (on the first sheet unless it names one) to the
value written there before the test starts, as ``Range.values`` takes it: a
list of row lists of that shape, or one value for every cell.

A callback that raised fails the test at teardown unless the test looked
at ``excel_sim.callback_errors`` (and cleared it) itself.

Failed assertions on returned arrays and dictionaries show what they hold:
their own repr names only the remote object (``<OfficeJsArray id=28 len=1>``).
"""

from __future__ import annotations

import difflib
import pprint
import reprlib
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .host import LocalHost


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "excel_sim(sheets=None, settings=None, cells=None, callback_threads=1, "
        "latency=0.0): "
        "shape the simulated workbook of the excel_sim fixture")


def pytest_assertrepr_compare(config, op, left, right):
    proxies = _proxy_classes()
    if proxies is None or not (_holds_proxy(left, proxies) or _holds_proxy(right, proxies)):
        return None
    plain_left, plain_right = _plain(left, proxies), _plain(right, proxies)
    lines = ["%s %s %s" % (_short(plain_left), op, _short(plain_right))]
    for side, value in (("left", left), ("right", right)):
        if isinstance(value, proxies):
            lines.append("%s is %r" % (side, value))
    if op == "==":
        try:
            where = _first_difference(plain_left, plain_right)
        except Exception:  # elements whose == is not a plain truth value (numpy arrays)
            where = None
        if where is not None:
            path, a, b = where
            lines.append("first difference at %s: %s != %s"
                         % (path or "top level", _short(a), _short(b)))
        full = list(difflib.ndiff(pprint.pformat(plain_right).splitlines(),
                                  pprint.pformat(plain_left).splitlines()))
        limit = None if config.getoption("verbose", 0) > 0 else 30
        lines.append("Full diff (- right, + left):")
        lines += ["  " + line.rstrip() for line in full[:limit]]
        if limit is not None and len(full) > limit:
            lines.append("  ... %d more lines (-v shows all)" % (len(full) - limit))
    return lines


def _proxy_classes():
    # Only a session that has imported com_like can hold its proxies.
    module = sys.modules.get("com_like")
    if module is None:
        return None
    return module.OfficeJsArray, module.OfficeJsDict


def _holds_proxy(value, proxies, depth=0):
    if isinstance(value, proxies):
        return True
    if depth > 8:
        return False
    if isinstance(value, (list, tuple)):
        return any(_holds_proxy(v, proxies, depth + 1) for v in value)
    if isinstance(value, dict):
        return any(_holds_proxy(v, proxies, depth + 1) for v in value.values())
    return False


def _plain(value, proxies, depth=0):
    """The same data with every array or dictionary proxy as a plain list or
    dict (their contents are local: nothing is sent)."""
    if depth > 8:
        return value
    if isinstance(value, dict):
        return {k: _plain(v, proxies, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        items = [_plain(v, proxies, depth + 1) for v in value]
        return tuple(items) if type(value) is tuple else items
    return value


_repr = reprlib.Repr()
_repr.maxlist = _repr.maxtuple = _repr.maxdict = 8
_repr.maxstring = _repr.maxother = 40
_repr.maxlevel = 3


def _short(value):
    return _repr.repr(value)


def _first_difference(a, b, path=""):
    """(path, a part, b part) of the first place where a and b differ."""
    if a == b:
        return None
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return _first_difference(x, y, "%s[%d]" % (path, i))
        n = min(len(a), len(b))
        return ("%s (lengths %d and %d)" % (path or "top level", len(a), len(b)),
                list(a[n:n + 3]), list(b[n:n + 3]))
    if isinstance(a, dict) and isinstance(b, dict):
        for k in a:
            if k not in b:
                return ("%s[%r] (only on the left)" % (path, k), a[k], None)
            if a[k] != b[k]:
                return _first_difference(a[k], b[k], "%s[%r]" % (path, k))
        k = next(k for k in b if k not in a)
        return ("%s[%r] (only on the right)" % (path, k), None, b[k])
    return (path, a, b)


@pytest.fixture
def excel_sim(request: pytest.FixtureRequest) -> Iterator[LocalHost]:
    from .host import LocalHost
    from .members import JsError
    from .model import Workbook

    marker = request.node.get_closest_marker("excel_sim")
    opts = dict(marker.kwargs) if marker else {}
    workbook = Workbook(sheet_names=tuple(opts.pop("sheets", None) or ("Sheet1",)),
                        settings=opts.pop("settings", None))
    try:
        for address, value in (opts.pop("cells", None) or {}).items():
            workbook.seed(address, value)
    except JsError as e:
        raise pytest.UsageError("excel_sim marker: cells: %s" % e) from None
    callback_threads = opts.pop("callback_threads", 1)
    latency = opts.pop("latency", 0.0)
    if opts:
        raise pytest.UsageError("excel_sim marker: unknown option(s) %s" % ", ".join(opts))
    try:
        host = LocalHost(workbook=workbook, callback_threads=callback_threads, latency=latency)
    except ValueError as e:
        raise pytest.UsageError("excel_sim marker: %s" % e) from None
    with host:
        yield host
        settled = host.wait_callbacks(5.0)
        errors = list(host.callback_errors)
    if not settled:
        pytest.fail("excel_sim: callbacks were still running 5 s after the test ended")
    if errors:
        cid, exc = errors[0]
        pytest.fail("excel_sim: %d callback(s) raised; first %s: %s: %s"
                    % (len(errors), cid, type(exc).__name__, exc))
