"""The simulated workbook's demo script, run through the real stack: this
host, headless Chromium, the add-in, and the Office.js stand-in."""

import contextlib
import sys
from pathlib import Path

STANDIN_OFFICE_JS = Path(__file__).resolve().parent / "standin" / "office.js"


def main(timeout=60.0):
    from .browser import HOW_TO_GET, Browser, find_chromium
    if find_chromium() is None:
        print("demo needs a headless browser: " + HOW_TO_GET, file=sys.stderr)
        return 2
    from .demo_script import import_module, run_script
    from .server import serve

    com_like = import_module()
    if com_like is None:
        return 1
    with serve(office_js=STANDIN_OFFICE_JS) as h, Browser(h.url):
        if not h.wait_connected(30):
            print("demo failed: the add-in did not connect within 30 s", file=sys.stderr)
            return 1
        print("add-in connected (%s)" % h.url.split("?")[0])
        return run_script(com_like, lambda: contextlib.nullcontext(h), timeout)
