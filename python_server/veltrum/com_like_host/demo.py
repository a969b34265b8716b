"""The simulated workbook's demo script, run through the real stack: this
host, headless Chromium, the add-in, and the Office.js stand-in."""

import sys
import threading
import time
from pathlib import Path

STANDIN_OFFICE_JS = Path(__file__).resolve().parent / "standin" / "office.js"


def main(timeout=60.0):
    from .browser import HOW_TO_GET, Browser, find_chromium
    if find_chromium() is None:
        print("demo needs a headless browser: " + HOW_TO_GET, file=sys.stderr)
        return 2
    try:
        import com_like
    except ImportError as e:
        print("demo failed: the com_like extension cannot be imported (%s); "
              "install the project with `pip install .` first" % e, file=sys.stderr)
        return 1
    from com_like_sim.demo import user_script
    from .server import serve

    out, failure = [], []
    started = time.monotonic()
    with serve(office_js=STANDIN_OFFICE_JS) as h, Browser(h.url):
        if not h.wait_connected(30):
            print("demo failed: the add-in did not connect within 30 s", file=sys.stderr)
            return 1
        print("add-in connected (%s)" % h.url.split("?")[0])

        def run():
            try:
                try:
                    user_script(com_like, h, out)
                finally:
                    out.append("")
                    out.append(h.format_counts())
            except BaseException as e:   # reported below, on the main thread
                failure.append(e)

        # The script runs on a worker thread, as user code does under a host.
        worker = threading.Thread(target=run, name="demo-worker", daemon=True)
        worker.start()
        worker.join(timeout)
        print("\n".join(out))
        if worker.is_alive():
            print("demo failed: no result after %.0f s" % timeout, file=sys.stderr)
            return 1
    if failure:
        e = failure[0]
        print("demo failed: %s: %s" % (type(e).__name__, e), file=sys.stderr)
        return 1
    print("demo finished in %.2f s" % (time.monotonic() - started))
    return 0
