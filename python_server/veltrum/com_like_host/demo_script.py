"""The demo's user script and its runner: an ordinary com_like script,
run against the simulated workbook (python -m com_like_sim demo) or the
real stack (python -m com_like_host demo)."""

import sys
import threading
import time

from .columns import column_letters

DEADLINE = 20.0   # seconds; the script normally takes well under one


def sales_frame():
    import pandas as pd
    return pd.DataFrame({
        "Region": ["North", "South", "East", "West"],
        "Units": [120, 85, 240, 60],
        "Price": [2.5, 4.0, 1.75, 9.9],
    })


def user_script(com_like, host, out):
    """What a user would write. ``out`` collects what gets printed."""
    import pandas as pd

    df = sales_frame()
    wb = com_like.Context.workbook
    ws = wb.worksheets.add("Sales")
    ws.activate()

    changed = []

    def on_changed(event):
        # Runs on the host's callback thread; it may use proxies itself.
        cell = com_like.Context.workbook.worksheets.getItem(event.worksheetId) \
            .getRange(event.address)
        changed.append("%s (%d cell%s)" % (event.address, cell.cellCount,
                                           "" if cell.cellCount == 1 else "s"))

    handler = ws.onChanged.add(on_changed)

    # A frame goes over as its header row followed by its rows.
    last = "%s%d" % (column_letters(len(df.columns) - 1), len(df) + 1)
    table = ws.getRange("A1:" + last)
    table.values = df

    rows = table.values
    back = pd.DataFrame([list(r) for r in rows[1:]], columns=list(rows[0]))
    # A cell holds a double: whole numbers come back as floats.
    if not back.equals(df.astype({c: float for c in df.select_dtypes("number").columns})):
        raise AssertionError("the frame read back differs:\n%s" % back)
    out.append("read back %d rows x %d columns: %s" % (len(back), len(back.columns),
                                                      ", ".join(back.columns)))

    header = table.getRow(0)
    header.format.fill.color = "#4472C4"
    header.format.font.bold = True
    header.format.font.color = "#FFFFFF"
    fmt = header.format
    out.append("header %s: fill %s, bold %s" % (header.address, fmt.fill.color, fmt.font.bold))

    # Union: one format for two separate columns.
    numbers = com_like.Union(ws.getRange("B2:B5"), ws.getRange("C2:C5"))
    numbers.format.fill.color = "#DDEBF7"
    out.append("Union: %s" % numbers.address)

    # One batch: the add-in applies these writes together at the end.
    with com_like.OfficeJsTransaction():
        ws.getRange("D1").values = [["Revenue"]]
        ws.getRange("D1").format.font.bold = True
        ws.getRange("D2:D5").values = [[u * p] for u, p in zip(df.Units, df.Price)]
        ws.getRange("D2:D6").numberFormat = "0.00"

    # Formulas are computed when read: the totals follow the cells above.
    total = len(df) + 2
    ws.getRange("A%d:D%d" % (total, total)).values = [
        ["Total", "=SUM(B2:B%d)" % (total - 1), "", "=SUM(D2:D%d)" % (total - 1)]]

    host.check_callbacks()
    handler.remove()
    out.append("onChanged fired for: %s" % ", ".join(changed))

    used = ws.getUsedRange()
    out.append("")
    out.append("%s:" % used.address)
    out.append(render(used.values, used.numberFormat))


def render(values, formats=None):
    """The block as a text table, with Excel's column letters and row numbers."""

    def text(v, fmt):
        if isinstance(v, (int, float)) and not isinstance(v, bool) and fmt == "0.00":
            return "%.2f" % v
        return "" if v is None else str(v)

    grid = [[text(v, formats[i][j] if formats else None) for j, v in enumerate(row)]
            for i, row in enumerate(values)]
    ncols = max((len(r) for r in grid), default=0)
    head = [column_letters(j) for j in range(ncols)]
    widths = [max([len(head[j])] + [len(r[j]) for r in grid]) for j in range(ncols)]
    lines = ["    " + "  ".join(h.ljust(w) for h, w in zip(head, widths))]
    for i, r in enumerate(grid):
        cells = [(c.rjust(w) if _numeric(c) else c.ljust(w)) for c, w in zip(r, widths)]
        lines.append("%3d " % (i + 1) + "  ".join(cells))
    return "\n".join(lines)


def _numeric(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


def import_module():
    """com_like, or None after saying how to get it."""
    try:
        import com_like
    except ImportError as e:
        print("demo failed: the com_like extension cannot be imported (%s); "
              "install the project with `pip install .` first" % e, file=sys.stderr)
        return None
    return com_like


def run_script(com_like, open_host, deadline):
    """Run the user script on a worker thread, as user code runs under a
    host, inside ``with open_host() as host``; print its output and counts.
    The calling thread only keeps the deadline. Returns the exit status."""
    out, failure = [], []
    started = time.monotonic()

    def run():
        try:
            with open_host() as host:
                try:
                    user_script(com_like, host, out)
                finally:
                    out.append("")
                    out.append(host.format_counts())
        except BaseException as e:   # reported below, on the main thread
            failure.append(e)

    worker = threading.Thread(target=run, name="demo-worker", daemon=True)
    worker.start()
    worker.join(deadline)
    print("\n".join(out))
    if worker.is_alive():
        print("demo failed: no result after %.0f s (a request that is never answered?)"
              % deadline, file=sys.stderr)
        return 1
    if failure:
        e = failure[0]
        print("demo failed: %s: %s" % (type(e).__name__, e), file=sys.stderr)
        return 1
    print("demo finished in %.2f s" % (time.monotonic() - started))
    return 0
