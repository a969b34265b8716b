"""Cost of Serializer.to_wire / from_wire per element.

Each figure is the median of several runs of one call on a whole input,
freeing of the result included, divided by the number of units (elements of
the list, dicts of the list, cells of the frame). The decoder is fed the
encoder's output passed through JSON with an "id" added to every Array/Dict
record, as the add-in sends them. No send handler is installed, so the DEL request of each freed
array/dict proxy fails at once and is dropped, as it would be after the
add-in has gone.

    python bench/bench_serializer.py [--runs N]

`rows()` returns the table for a combined benchmark script.
"""
import argparse
import gc
import json
import statistics
import time

import numpy as np
import pandas as pd

import com_like

N_SCALARS = 100_000
N_DICTS = 10_000
FRAME_SHAPE = (10_000, 10)


def _inputs():
    ints = list(range(N_SCALARS))
    floats = [i * 0.5 for i in range(N_SCALARS)]
    strs = ["cell %d" % i for i in range(N_SCALARS)]
    kinds = (lambda i: i, lambda i: i * 0.25, lambda i: "s%d" % i, lambda i: None, lambda i: i % 2 == 0)
    mixed = [kinds[i % len(kinds)](i) for i in range(N_SCALARS)]
    dicts = [{"name": "row %d" % i, "qty": i, "price": i * 1.5} for i in range(N_DICTS)]
    rng = np.random.default_rng(1)
    frame = pd.DataFrame(rng.random(FRAME_SHAPE), columns=["c%d" % j for j in range(FRAME_SHAPE[1])])
    return [
        ("ints", "element", N_SCALARS, ints),
        ("floats", "element", N_SCALARS, floats),
        ("strs", "element", N_SCALARS, strs),
        ("mixed scalars", "element", N_SCALARS, mixed),
        ("small dicts", "dict", N_DICTS, dicts),
        ("DataFrame 10000x10", "cell", FRAME_SHAPE[0] * FRAME_SHAPE[1], frame),
    ]


def with_ids(record, counter=None):
    """The record as the add-in would send it back: decoded from JSON (so the
    tags are new strings, not the encoder's own), Array/Dict with an id."""
    if counter is None:
        counter = [100]
        record = json.loads(json.dumps(record))
    out = record
    if out["type"] == "Array":
        counter[0] += 1
        out["id"] = counter[0]
        out["value"] = [with_ids(r, counter) for r in out["value"]]
    elif out["type"] == "Dict":
        counter[0] += 1
        out["id"] = counter[0]
        out["value"] = {k: with_ids(r, counter) for k, r in out["value"].items()}
    return out


def _median_ns(fn, arg, runs):
    """Median wall time and median CPU time of the thread, in ns."""
    wall, cpu = [], []
    for _ in range(runs):
        c0, t0 = time.thread_time_ns(), time.perf_counter_ns()
        result = fn(arg)
        del result
        wall.append(time.perf_counter_ns() - t0)
        cpu.append(time.thread_time_ns() - c0)
    return statistics.median(wall), statistics.median(cpu)


def rows(runs=7):
    """[(operation, input, unit, wall ns per unit, CPU ns per unit)]: the table.

    The CPU column (time the thread ran) is the steadier one on a shared
    machine; the wall column includes waiting for a core.
    """
    com_like.messaging.set_send_handler(None)
    to_wire = com_like.Serializer.to_wire
    from_wire = com_like.Serializer.from_wire
    out = []
    gc.collect()
    for name, unit, count, value in _inputs():
        out.append(("to_wire", name, unit) + _per(_median_ns(to_wire, value, runs), count))
        wire = with_ids(to_wire(value))
        out.append(("from_wire", name, unit) + _per(_median_ns(from_wire, wire, runs), count))
        del wire
        gc.collect()
    ints = list(range(N_SCALARS))

    def comprehension(xs):
        return [{"type": "Int", "value": x, "isSpec": False} for x in xs]

    out.append(("yardstick", "ints, list comprehension", "element") + _per(_median_ns(comprehension, ints, runs), N_SCALARS))
    return out


def _per(times, count):
    return tuple(t / count for t in times)


def format_table(table):
    lines = ["%-10s %-26s %-8s %12s %12s" % ("operation", "input", "unit", "wall ns/unit", "CPU ns/unit")]
    lines.append("-" * len(lines[0]))
    for op, case, unit, wall, cpu in table:
        lines.append("%-10s %-26s %-8s %12.1f %12.1f" % (op, case, unit, wall, cpu))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    print(format_table(rows(args.runs)))


if __name__ == "__main__":
    main()
