"""Large cell writes and reads in blocks of rows, as the pane makes them:
after each block the host hears how far the transfer got, and between
blocks it can be stopped (what was written stays written).

Only a plain write of a 2-D array onto a range of the same shape, or a
read of a range's cell data, outside a batch, is split; anything else (a
wrong shape included, so that its error is the usual one) goes to the
add-in whole.
"""

from com_like_host import wire
from com_like_host.waits import CANCELLED

from .addresses import is_unbounded
from .ranges import Range

CELL_PROPERTIES = frozenset(("values", "formulas", "numberFormat"))   # what it can write
READ_PROPERTIES = CELL_PROPERTIES | {"text", "valueTypes"}
BLOCK_CELLS = 100_000          # about half a second of the simulated workbook's time


def _rows(message, addin):
    """(range, rows of records) of a write worth splitting, or None."""
    if message.get("method") != "SET" or message.get("name") not in CELL_PROPERTIES:
        return None
    record = message.get("value")
    rows = record.get("value") if type(record) is dict and record.get("type") == "Array" else None
    if type(rows) is not list or len(rows) < 2:
        return None
    first = rows[0].get("value") if type(rows[0]) is dict else None
    if type(first) is not list or len(rows) * len(first) < 2 * BLOCK_CELLS:
        return None
    with addin._lock:
        try:
            target = addin._lookup(message.get("caller"))
        except Exception:
            return None
    if type(target) is not Range or target.rows != len(rows) or not all(
            type(r) is dict and r.get("type") == "Array" and type(r.get("value")) is list
            and len(r["value"]) == target.cols for r in rows):
        return None
    return target, rows


def write(addin, message, origin, report, cancelled):
    """The response of ``message`` written in blocks, or None when it is
    not such a write. ``report(rows, total_rows, cells, total_cells)``
    after each block; ``cancelled()`` is asked before each."""
    with addin._lock:
        if addin._batches.get(origin) is not None:
            return None
    found = _rows(message, addin)
    if found is None:
        return None
    target, rows = found
    rid, name, cols = message.get("requestId"), message.get("name"), target.cols
    total = len(rows)
    per = max(1, BLOCK_CELLS // cols)
    r0, c0, _, c1 = target.block
    for start in range(0, total, per):
        if cancelled():
            return wire.error(rid, "%s: stopped after %s of %s rows (%s of %s cells) were written"
                              % (CANCELLED, format(start, ","), format(total, ","),
                                 format(start * cols, ","), format(total * cols, ",")))
        n = min(per, total - start)
        part = Range(target.sheet, (r0 + start, c0, r0 + start + n - 1, c1))
        with addin._lock:
            oid = addin._register(part)
        try:
            response = addin.handle({"requestId": rid, "method": "SET", "caller": oid, "name": name,
                                     "value": wire.array(rows[start:start + n])}, origin)
        finally:
            addin.handle({"requestId": None, "method": "DEL", "caller": oid})
        if not response.get("ok"):
            if start:
                error = dict(response.get("error") or {})
                error["message"] = "%s [%s of %s rows had been written]" % (
                    error.get("message", "Remote error"), format(start, ","), format(total, ","))
                response = dict(response, error=error)
            return response
        report(start + n, total, (start + n) * cols, total * cols)
    return wire.ok(rid)


def _read_target(message, addin, origin):
    if message.get("method") != "GET" or message.get("name") not in READ_PROPERTIES:
        return None
    with addin._lock:
        if addin._batches.get(origin) is not None:
            return None
        try:
            target = addin._lookup(message.get("caller"))
        except Exception:
            return None
    if (type(target) is not Range or target.rows < 2 or target.rows * target.cols < 2 * BLOCK_CELLS
            or is_unbounded(target.block)):      # whole rows or columns read as null
        return None
    return target


def read(addin, message, origin, report, cancelled):
    """The response of ``message`` read in blocks, or None when it is not
    a read of cell data worth splitting; ``report`` and ``cancelled`` as
    for ``write``."""
    target = _read_target(message, addin, origin)
    if target is None:
        return None
    rid, name, cols, total = message.get("requestId"), message.get("name"), target.cols, target.rows
    per = max(1, BLOCK_CELLS // cols)
    r0, c0, _, c1 = target.block
    rows, items = [], []          # row records handed out so far, and the rows they hold
    for start in range(0, total, per):
        if cancelled():
            _release(addin, [r.get("id") for r in rows])
            return wire.error(rid, "%s: stopped after %s of %s rows (%s of %s cells) were read"
                              % (CANCELLED, format(start, ","), format(total, ","),
                                 format(start * cols, ","), format(total * cols, ",")))
        n = min(per, total - start)
        part = Range(target.sheet, (r0 + start, c0, r0 + start + n - 1, c1))
        with addin._lock:
            oid = addin._register(part)
        try:
            response = addin.handle({"requestId": rid, "method": "GET", "caller": oid,
                                     "name": name}, origin)
        finally:
            _release(addin, [oid])
        if not response.get("ok"):
            _release(addin, [r.get("id") for r in rows])
            return response
        result = response["result"]
        with addin._lock:
            items += addin._lookup(result["id"]).items
        rows += result["value"]
        _release(addin, [result["id"]])   # the block's own array: nobody holds it
        report(start + n, total, (start + n) * cols, total * cols)
    with addin._lock:
        whole = addin._container(items)
    return wire.ok(rid, wire.array(rows, whole))


def _release(addin, ids):
    for oid in ids:
        if oid is not None:
            addin.handle({"requestId": None, "method": "DEL", "caller": oid})
