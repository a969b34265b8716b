"""Round trips through the whole stack (Python -> host -> headless Chromium
-> add-in -> Office.js stand-in): the syncs each operation costs, counted by
the stand-in, where every sync is one round trip to Excel."""

import gc

import pytest

import com_like


def stats():
    return dict(com_like.Excel.standinStats)


def counted(fn):
    before = stats()
    fn()
    after = stats()
    return {k: after[k] - before[k] for k in ("syncs", "trackingOnlySyncs", "tracked")}


def ten_writes(ws, column):
    for i in range(1, 11):
        ws.getRange("%s%d" % (column, i)).values = [[i]]


def in_transaction(ws, held, name):
    with com_like.OfficeJsTransaction():
        ten_writes(ws, "F")


def union_address(ws, held, name):
    assert com_like.Union(ws.getRange("A1"), ws.getRange("C3")).address == "%s!A1, %s!C3" % (name, name)


# Each operation gets the test's sheet, a range already held and used, and
# the sheet's name as the add-in writes it in addresses.
OPERATIONS = {
    "navigation (4 proxies)": (lambda ws, held, name: com_like.Context.workbook.worksheets.getItem("Sheet1"), 0),
    "new range, read": (lambda ws, held, name: ws.getRange("A1:B2").values, 1),
    "held range, read": (lambda ws, held, name: held.values, 1),
    "held range, write": (lambda ws, held, name: setattr(held, "values", [[5, 6], [7, 8]]), 1),
    "new range, write": (lambda ws, held, name: setattr(ws.getRange("D1"), "values", [[1]]), 1),
    "held.format.fill.color": (lambda ws, held, name: setattr(held.format.fill, "color", "#FF0000"), 1),
    "10 writes to new ranges": (lambda ws, held, name: ten_writes(ws, "E"), 10),
    "the same in a transaction": (in_transaction, 1),
    "Union(...).address": (union_address, 1),
}


@pytest.mark.parametrize("label", list(OPERATIONS))
def test_syncs_per_operation(sheet, label):
    operation, syncs = OPERATIONS[label]
    name = sheet.name
    held = sheet.getRange("A1:B2")
    held.values = [[1, 2], [3, 4]]
    assert counted(lambda: operation(sheet, held, name))["syncs"] == syncs


def test_releasing_ranges_rides_on_the_next_sync(sheet):
    ranges = [sheet.getRange("A%d" % i) for i in range(1, 101)]
    for i in range(100):
        ranges[i].values = [[i]]
    held = sheet.getRange("Z1")
    gc.collect()

    def release_then_read():
        del ranges[:]
        gc.collect()
        held.values

    # 100 untracked and Z1 tracked, all in the read's one sync.
    assert counted(release_then_read) == {"syncs": 1, "trackingOnlySyncs": 0, "tracked": -99}
