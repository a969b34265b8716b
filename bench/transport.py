"""The WebSocket transport, measured end to end in headless Chromium with the
Office.js stand-in: python bench/transport.py [--quick]

Rows:
* echo: a raw JSON frame host -> page -> host over the pane's own socket
  (the floor);
* GET, SET, CALL through the whole stack (com_like, host, add-in,
  stand-in), as multiples of that floor (target <= 1.5x);
* dropping a 10,000-row result: frames sent and milliseconds (target <= 2);
* writing and reading 1,000,000 cells, as a multiple of echoing the same
  JSON payload over the same socket (target <= 2.5x), with plain arrays
  packed (the default) and as verbatim records, and with permessage-deflate;
* syncs per operation: the context.sync() round trips each Python
  operation costs, counted by the stand-in (in Excel on the web each is a
  network round trip of often 50-100 ms), with the time they would add at
  50 ms a sync.
"""

import argparse
import datetime
import gc
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python_server" / "veltrum"))

import pandas as pd  # noqa: E402

import com_like  # noqa: E402
from com_like_host import frames  # noqa: E402
from com_like_host.browser import HOW_TO_GET, Browser, find_chromium  # noqa: E402
from com_like_host.dataframes import read_frame, write_frame  # noqa: E402
from com_like_host.demo import STANDIN_OFFICE_JS  # noqa: E402
from com_like_host.server import Host  # noqa: E402


def median_us(fn, n):
    for _ in range(min(10, n)):
        fn()
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e6


class Stack:
    def __init__(self, compact=True, compression=None):
        frames.PACK = compact
        self.host = Host(office_js=STANDIN_OFFICE_JS, compression=compression)
        url = self.host.url + ("" if compact else "&compact=0")
        self.browser = Browser(url).start()
        if not self.host.wait_connected(30):
            self.close()
            raise SystemExit("the pane did not connect")
        self.sheet = com_like.Context.workbook.worksheets.add("Bench")

    def close(self):
        self.browser.close()
        self.host.close()
        frames.PACK = True


def small_ops(stack, n, rounds=8):
    """Each operation's median against the echo's, measured in alternating
    rounds so that a machine whose load drifts shifts both alike."""
    h, ws = stack.host, stack.sheet
    rng = ws.getRange("A1")
    rng.values = [[1.5]]
    get_range = ws.getRange
    small = {"requestId": "0" * 32, "kind": "request", "method": "GET", "name": "address",
             "caller": 12}

    def do_set():
        rng.values = [[2.5]]

    ops = (("echo, a small frame (floor)", lambda: h.echo(small)),
           ("GET range.address", lambda: rng.address),
           ("SET range.values = [[2.5]]", do_set),
           ("CALL sheet.getRange('B2')", lambda: get_range("B2")))
    samples = {label: [] for label, _ in ops}
    for _ in range(rounds):
        for label, fn in ops:
            samples[label].append(median_us(fn, max(10, n // rounds)))
    floors = samples[ops[0][0]]
    rows = [(ops[0][0], statistics.median(floors), None)]
    for label, _ in ops[1:]:
        us = samples[label]
        rows.append((label, statistics.median(us),
                     statistics.median(u / f for u, f in zip(us, floors))))
    return rows


def drop_rows(stack):
    h, ws = stack.host, stack.sheet
    rows = ws.getRange("A1:A10000").values
    time.sleep(0.5)                       # earlier releases are out
    before = h.stats["frames_out"]
    t0 = time.perf_counter()
    del rows
    dropped = time.perf_counter() - t0
    while h.stats["frames_out"] == before:
        time.sleep(0.0005)
    sent = time.perf_counter() - t0
    time.sleep(0.5)                       # any straggler frame would show up by now
    return h.stats["frames_out"] - before, dropped * 1e3, sent * 1e3


def million(stack, repeat):
    h, ws = stack.host, stack.sheet
    rows = [[i * 1000.0 + j + 0.25 for j in range(1000)] for i in range(1000)]
    rng = ws.getRange("A1:ALL1000")
    echo, full, w_only = [], [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        back = h.echo(rows, timeout=120)
        echo.append(time.perf_counter() - t0)
        assert back == rows
        del back
        t0 = time.perf_counter()
        rng.values = rows
        t1 = time.perf_counter()
        got = rng.values
        full.append(time.perf_counter() - t0)
        w_only.append(t1 - t0)
        assert got[999][999] == rows[999][999]
        del got
        gc.collect()
    return min(echo), min(w_only), min(full)


SYNC_MS = 50


def sync_rows(stack):
    """(operation, syncs counted, syncs it must cost) for each row."""
    ws = stack.sheet
    name = ws.name
    held = ws.getRange("A1:B2")
    held.values = [[1, 2], [3, 4]]

    def ten(column):
        for i in range(1, 11):
            ws.getRange("%s%d" % (column, i)).values = [[i]]

    def in_transaction():
        with com_like.OfficeJsTransaction():
            ten("F")

    def release_then_read(ranges, keep):
        del ranges[:]
        gc.collect()
        keep.values

    frame = pd.DataFrame({"day": pd.date_range("2024-01-01", periods=100), "n": range(100), "x": [0.5] * 100})
    hundred = [ws.getRange("G%d" % i) for i in range(1, 101)]
    for r in hundred:
        r.values = [[1]]
    keep = ws.getRange("Z1")
    gc.collect()
    ops = (
        ('worksheets.getItem("Sheet1") (4 proxies)',
         lambda: com_like.Context.workbook.worksheets.getItem("Sheet1"), 0),
        ('getRange("A1:B2").values (new range, read)', lambda: ws.getRange("A1:B2").values, 1),
        (".values of a held range, read", lambda: held.values, 1),
        (".values of a held range, write", lambda: setattr(held, "values", [[5, 6], [7, 8]]), 1),
        ('getRange("D1").values = [[1]] (new range)',
         lambda: setattr(ws.getRange("D1"), "values", [[1]]), 1),
        ('held.format.fill.color = "#FF0000"', lambda: setattr(held.format.fill, "color", "#FF0000"), 1),
        ("10 writes to 10 new ranges", lambda: ten("E"), 10),
        ("the same 10 inside OfficeJsTransaction()", in_transaction, 1),
        ("releasing 100 used ranges (+ next read)", lambda: release_then_read(hundred, keep), 1),
        ("Union(A1, C3).address",
         lambda: com_like.Union(ws.getRange("A1"), ws.getRange("C3")).address == name, 1),
        ("a date to a General cell (formats read first)",
         lambda: setattr(ws.getRange("H1"), "values", [[datetime.date(2024, 3, 1)]]), 2),
        ("write_frame, 100 x 4 with dates", lambda: write_frame(frame, ws, startcol=10), 1),
        ("read_frame of that block", lambda: read_frame(ws.getRange("K1:N101"), index_col=0), 1),
    )
    rows = []
    for label, fn, target in ops:
        before = com_like.Excel.standinStats["syncs"]
        fn()
        rows.append((label, com_like.Excel.standinStats["syncs"] - before, target))
    return rows


def print_syncs(rows):
    print()
    print("%-46s %6s %8s %14s" % ("syncs per operation", "syncs", "target", "at %d ms/sync" % SYNC_MS))
    for label, count, target in rows:
        print("%-46s %6d %8d %11d ms" % (label, count, target, count * SYNC_MS))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--syncs", action="store_true", help="only the syncs per operation")
    args = parser.parse_args()
    if find_chromium() is None:
        raise SystemExit(HOW_TO_GET)
    n = 100 if args.quick else 400
    repeat = 1 if args.quick else 3

    print("transport benchmark: python %s, %d cores, headless Chromium, Office.js stand-in"
          % (sys.version.split()[0], os.cpu_count()))
    stack = Stack()
    try:
        syncs = sync_rows(stack)
        if args.syncs:
            print_syncs(syncs)
            return
        ops = small_ops(stack, n)
        drop = drop_rows(stack)
        big = {"packed (default)": million(stack, repeat)}
    finally:
        stack.close()
    for label, compact, compression in (("verbatim records", False, None),
                                        ("packed + deflate", True, "deflate")):
        stack = Stack(compact=compact, compression=compression)
        try:
            big[label] = million(stack, repeat)
        finally:
            stack.close()

    print()
    print("%-36s %12s %10s %8s" % ("round trip (%d each, 8 rounds)" % n, "us", "x floor", "target"))
    for label, us, ratio in ops:
        print("%-36s %12.0f %10s %8s" % (label, us, "" if ratio is None else "%.2f" % ratio,
                                         "" if ratio is None else "<= 1.5"))
    print_syncs(syncs)
    print()
    print("dropping a 10,000-row result: %d frame(s) (target <= 2); del returned in %.1f ms, "
          "releases sent after %.1f ms" % drop)
    print()
    print("%-22s %10s %12s %12s %10s %8s" % ("1,000,000 cells", "echo s", "write s",
                                           "write+read s", "x echo", "target"))
    for label, (echo, write, full) in big.items():
        print("%-22s %10.2f %12.2f %12.2f %10.2f %8s" % (label, echo, write, full, full / echo,
                                                        "<= 2.5"))


if __name__ == "__main__":
    main()
