"""Three analyst tasks, offline and live: requests and round trips each.

    python bench/analyst_tasks.py [--offline-only]

* read a 2,000-row table into pandas (``read_frame``);
* write a 5-row summary with formats (``write_frame``, a bold header and a
  fill);
* move a 200,000-cell block each way (write, then read back).

Offline is ``LocalHost``; live is the host with headless Chromium and the
Office.js stand-in, which counts every ``context.sync()`` (one network
round trip in Excel on the web). Requests leave out releases (DEL), which
travel in batches of their own.
"""

import argparse
import sys
import time
from pathlib import Path

import pandas as pd

import com_like

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python_server" / "veltrum"))

from com_like_host.dataframes import read_frame, write_frame  # noqa: E402

ROWS, BLOCK = 2000, (2000, 100)


def sheet():
    return com_like.Context.workbook.worksheets.getActiveWorksheet()


def seed_table():
    ws = sheet()
    rows = [["region", "units", "price", "day", "note"]]
    rows += [["R%d" % (i % 7), float(i), i * 0.25, 45000.0 + i, "n%d" % i] for i in range(ROWS)]
    ws.getRange("A1:E%d" % (ROWS + 1)).values = rows


def read_table():
    frame = read_frame(sheet().getRange("A1:E%d" % (ROWS + 1)))
    assert frame.shape == (ROWS, 5)


def write_summary():
    summary = pd.DataFrame({"region": ["N", "S", "E", "W", "C"], "units": [5.0, 7, 9, 2, 4],
                            "share": [0.1, 0.2, 0.3, 0.25, 0.15]})
    ws = sheet()
    written = write_frame(summary, ws, startrow=0, startcol=7, index=False)
    header = written.getRow(0)
    header.format.font.bold = True
    header.format.fill.color = "#DDEEFF"


def move_block():
    rows, cols = BLOCK
    data = [[float(r * cols + c) for c in range(cols)] for r in range(rows)]
    rng = sheet().getRange("M1").getResizedRange(rows - 1, cols - 1)
    rng.values = data
    assert rng.values == data


TASKS = [("read a 2,000-row table into pandas", read_table),
         ("write a 5-row summary with formats", write_summary),
         ("move a 200,000-cell block each way", move_block)]


def measure(host, syncs):
    out = []
    for label, task in TASKS:
        host.reset_counts()
        before = syncs()
        t0 = time.perf_counter()
        task()
        seconds = time.perf_counter() - t0
        counts = host.request_counts()
        requests = sum(n for method, n in counts.items() if method != "DEL")
        out.append((label, requests, syncs() - before if before is not None else None, seconds))
    return out


def offline():
    from com_like_sim import LocalHost
    with LocalHost() as host:
        seed_table()
        return measure(host, lambda: None)


def live():
    from com_like_host import serve
    from com_like_host.browser import Browser, find_chromium
    from com_like_host.demo import STANDIN_OFFICE_JS
    if find_chromium() is None:
        return None
    with serve(office_js=STANDIN_OFFICE_JS, progress=False) as host, Browser(host.url):
        if not host.wait_connected(60):
            raise SystemExit("the pane did not connect")
        seed_table()
        return measure(host, lambda: com_like.Excel.standinStats["syncs"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--offline-only", action="store_true")
    args = parser.parse_args()
    results = [("offline", offline())]
    if not args.offline_only:
        results.append(("live", live()))
    print("%-38s %-8s %9s %6s %8s" % ("task", "backend", "requests", "syncs", "seconds"))
    for backend, rows in results:
        if rows is None:
            print("(%s: no Chromium)" % backend)
            continue
        for label, requests, syncs, seconds in rows:
            print("%-38s %-8s %9d %6s %8.2f" % (label, backend, requests,
                                                 "-" if syncs is None else syncs, seconds))


if __name__ == "__main__":
    main()
