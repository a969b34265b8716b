"""Requests sent when a range's values go to numpy, pandas and copy.

    python bench/bench_python_data.py [--rows N] [--cols N]

Reads an N x M range (1,000 x 10 by default) from the simulated workbook,
then runs each operation on the returned values and counts the requests
that LocalHost carried: while the operation ran, and when its result was
dropped afterwards (a DEL there would release one of the values' remote
objects). The time column is one run, for scale only.
"""
import argparse
import copy
import gc
import time

import numpy as np
import pandas as pd

import com_like
from com_like_sim import LocalHost

OPERATIONS = {
    "np.array(v)": lambda v: np.array(v),
    "pd.DataFrame(v)": lambda v: pd.DataFrame(v),
    "pd.DataFrame(v[1:], columns=v[0])": lambda v: pd.DataFrame(v[1:], columns=v[0]),
    "copy.deepcopy(v)": lambda v: copy.deepcopy(v),
    "hasattr(v, 'shape')": lambda v: hasattr(v, "shape"),
}


def bench_counts(host):
    counts = host.request_counts()
    host.reset_counts()
    return counts


def bench_format(counts):
    total = sum(counts.values())
    detail = ", ".join("%s %d" % (k, n) for k, n in sorted(counts.items()))
    return "%d%s" % (total, " (%s)" % detail if detail else "")


def bench_run(rows, cols):
    header = [["c%d" % c for c in range(cols)]]
    body = [[r * cols + c + 0.5 for c in range(cols)] for r in range(rows - 1)]
    last_col = chr(ord("A") + cols - 1)
    address = "A1:%s%d" % (last_col, rows)
    results = []
    with LocalHost() as host:
        ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
        ws.getRange(address).values = header + body
        values = ws.getRange(address).values
        assert len(values) == rows and len(values[0]) == cols
        bench_counts(host)
        for name, op in OPERATIONS.items():
            t0 = time.perf_counter()
            result = op(values)
            elapsed = time.perf_counter() - t0
            during = bench_counts(host)
            del result
            gc.collect()
            values._internal_id           # a local read: no request, keeps `values` alive
            ws.name                       # one round trip, so every DEL above has been answered
            after = bench_counts(host)
            after["GET"] = after.get("GET", 0) - 1
            after = {k: n for k, n in after.items() if n}
            results.append((name, bench_format(during), bench_format(after), elapsed * 1e3))
    return results


def bench_table(rows, cols, results):
    head = ("operation on v (%d x %d range)" % (rows, cols), "requests during", "requests on release", "ms")
    widths = [max(len(str(r[i])) if i < 3 else 8 for r in results + [head]) for i in range(4)]
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, head))
    out = [line, "-" * len(line)]
    for name, during, after, ms in results:
        out.append("  ".join(["%-*s" % (widths[0], name), "%-*s" % (widths[1], during),
                              "%-*s" % (widths[2], after), "%8.1f" % ms]))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=10)
    args = parser.parse_args()
    if not 1 <= args.cols <= 26 or args.rows < 2:
        parser.error("--cols must be 1 to 26 and --rows at least 2")
    print(bench_table(args.rows, args.cols, bench_run(args.rows, args.cols)))


if __name__ == "__main__":
    main()
