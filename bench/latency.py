"""What a report costs against a workbook that is some milliseconds away:
the same small report (a header, 50 rows written cell by cell or in one
block, then read back) through LocalHost(latency=...), with its request
counts.

    python bench/latency.py [--rows 50]
"""
import argparse
import time

import com_like
from com_like_sim import LocalHost


def report_cell_by_cell(ws, rows):
    for i in range(rows):
        ws.getRange("A%d" % (i + 2)).values = i
    return [ws.getRange("A%d" % (i + 2)).values[0][0] for i in range(rows)]


def report_in_one_block(ws, rows):
    rng = ws.getRange("A2:A%d" % (rows + 1))
    rng.values = [[i] for i in range(rows)]
    return [r[0] for r in rng.values]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=50)
    args = parser.parse_args()
    print("| report | latency (ms) | requests | GET | CALL | SET | seconds |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for report in (report_cell_by_cell, report_in_one_block):
        for latency in (0.0, 0.001, 0.005):
            with LocalHost(latency=latency) as host:
                ws = com_like.Context.workbook.worksheets.getActiveWorksheet()
                host.reset_counts()
                t0 = time.perf_counter()
                assert report(ws, args.rows) == list(range(args.rows))
                took = time.perf_counter() - t0
                c = host.request_counts()
                print("| %s | %g | %d | %d | %d | %d | %.3f |" % (
                    report.__name__[7:].replace("_", " "), latency * 1000,
                    sum(v for k, v in c.items() if k != "DEL"), c.get("GET", 0),
                    c.get("CALL", 0), c.get("SET", 0), took))
                del ws


if __name__ == "__main__":
    main()
