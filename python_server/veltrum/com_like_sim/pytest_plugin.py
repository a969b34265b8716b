"""pytest plugin: the ``excel_sim`` fixture.

A test that takes ``excel_sim`` runs against a fresh simulated workbook,
with a local host installed on com_like for the test's duration::

    def test_report(excel_sim):
        ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
        ws.getRange("A1").values = [[1]]
        assert excel_sim.workbook.sheets[0].cells[(0, 0)].value == 1

Mark a test to shape its workbook::

    @pytest.mark.excel_sim(sheets=["Data", "Report"], settings={"Locale": "de-DE"},
                           cells={"Data!A1:B2": [["Units", 5], ["Price", 2.5]]})

``cells`` maps an address (on the first sheet unless it names one) to the
value written there before the test starts, as ``Range.values`` takes it: a
list of row lists of that shape, or one value for every cell.

A callback that raised fails the test at teardown unless the test looked
at ``excel_sim.callback_errors`` (and cleared it) itself.
"""

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "excel_sim(sheets=None, settings=None, cells=None, callback_threads=1): "
        "shape the simulated workbook of the excel_sim fixture")


@pytest.fixture
def excel_sim(request):
    from .host import LocalHost
    from .model import JsError, Workbook

    marker = request.node.get_closest_marker("excel_sim")
    opts = dict(marker.kwargs) if marker else {}
    workbook = Workbook(sheet_names=tuple(opts.pop("sheets", None) or ("Sheet1",)),
                        settings=opts.pop("settings", None))
    try:
        for address, value in (opts.pop("cells", None) or {}).items():
            workbook.seed(address, value)
    except JsError as e:
        raise pytest.UsageError("excel_sim marker: cells: %s" % e) from None
    host = LocalHost(workbook=workbook, callback_threads=opts.pop("callback_threads", 1))
    if opts:
        raise pytest.UsageError("excel_sim marker: unknown option(s) %s" % ", ".join(opts))
    host.start()
    try:
        yield host
        settled = host.wait_callbacks(5.0)
        errors = list(host.callback_errors)
    finally:
        host.stop()
    if not settled:
        pytest.fail("excel_sim: callbacks were still running 5 s after the test ended")
    if errors:
        cid, exc = errors[0]
        pytest.fail("excel_sim: %d callback(s) raised; first %s: %s: %s"
                    % (len(errors), cid, type(exc).__name__, exc))
