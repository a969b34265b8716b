"""A long cell write, measured on either backend:
python bench/long_transfer.py --backend sim|browser --cells 5000000 [--interrupt-after S]

Prints the write's time and the progress reports it sent; with
--interrupt-after, sends SIGINT (as Ctrl-C) to the writing thread after S
seconds and prints how long the write took to stop and what it reported
written, checked against the workbook.
"""

import argparse
import os
import signal
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python_server" / "veltrum"))

import numpy as np  # noqa: E402

import com_like  # noqa: E402


def start(backend):
    if backend == "sim":
        from com_like_sim.host import LocalHost
        return LocalHost(), None
    from com_like_host.browser import Browser
    from com_like_host.demo import STANDIN_OFFICE_JS
    from com_like_host.server import Host
    host = Host(office_js=STANDIN_OFFICE_JS)
    browser = Browser(host.url).start()
    if not host.wait_connected(60):
        raise SystemExit("the pane did not connect")
    return host, browser


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--backend", choices=("sim", "browser"), default="sim")
    ap.add_argument("--cells", type=int, default=5_000_000)
    ap.add_argument("--cols", type=int, default=100)
    ap.add_argument("--interrupt-after", type=float, default=None)
    args = ap.parse_args()
    rows = args.cells // args.cols
    host, browser = start(args.backend)
    try:
        ws = com_like.Context.workbook.worksheets.add("Bench")
        rng = ws.getRange("A1").getResizedRange(rows - 1, args.cols - 1)
        data = np.random.default_rng(1).random((rows, args.cols))
        data[:, 0] = np.arange(1, rows + 1)
        data = data.tolist()
        reports = host.core.waits.reports
        kicked = []
        if args.interrupt_after is not None:
            main_thread = threading.main_thread().ident

            def kick():
                kicked.append(time.monotonic())
                signal.pthread_kill(main_thread, signal.SIGINT)
            threading.Timer(args.interrupt_after, kick).start()
        t0 = time.monotonic()
        try:
            rng.values = data
            print("%s: wrote %d cells (%d rows) in %.1f s, %d progress reports"
                  % (args.backend, rows * args.cols, rows, time.monotonic() - t0,
                     host.core.waits.reports - reports))
        except KeyboardInterrupt as e:
            now = time.monotonic()
            print("%s: interrupted after %.1f s; stopped %.2f s after the interrupt: %s"
                  % (args.backend, kicked[0] - t0, now - kicked[0], e))
            done = getattr(e, "done", None)
            if done is not None and done.rows:
                print("  column A at row %d: %r; at the last row: %r" % (
                    done.rows, ws.getRange("A%d" % done.rows).values[0][0],
                    ws.getRange("A%d" % rows).values[0][0]))
    finally:
        if browser is not None:
            browser.close()
        host.close()
        os._exit(0)


if __name__ == "__main__":
    main()
