"""Cost of the request path, in one table.

    python bench/bench.py [--runs N] [--scale F] [--no-serializer]

Every figure is the median over several short runs (one process, rows
interleaved run by run so that a change of machine load hits all of them
alike) of the time per operation.
The garbage collector is off inside the timed loops.

Floors: what every request has to pay whatever the module does -- a
``uuid.uuid4().hex``, a ``concurrent.futures.Future``, its ``set_result`` and
``result()``, one dict copy -- done on the threads the real request uses.
The listener floor also pays the same hand-over to the listener thread
(a SimpleQueue) that the listener handler below uses, so that the ratio
shows what the module adds, not what the transport costs.

Handlers: the synchronous one answers through ``on_message`` before it
returns; the listener one puts the message on a SimpleQueue and a listener
thread answers. Both answer with a Null value record; their own Python work
is part of every row that uses them.

The serializer rows come from bench_serializer.py when it is present; their
last column is the target instead of a ratio.
"""
import argparse
import concurrent.futures
import gc
import queue
import statistics
import sys
import threading
import time
import uuid

import com_like

perf_ns = time.perf_counter_ns
NULL = {"type": "Null", "value": None, "isSpec": False}
BODY = {"method": "GET", "name": "values", "caller": 7}


# ---------------------------------------------------------------- handlers

def sync_handler():
    on_message = com_like.messaging.on_message

    def handler(message):
        on_message({"requestId": message["requestId"], "ok": True, "result": NULL})

    return handler


class Listener:
    """One listener thread that answers every message put on its queue."""

    def __init__(self):
        self.queue = queue.SimpleQueue()
        self.handler = self.queue.put
        self.thread = threading.Thread(target=self._run, name="bench-listener", daemon=True)
        self.thread.start()

    def _run(self):
        get = self.queue.get
        on_message = com_like.messaging.on_message
        while True:
            message = get()
            if message is None:
                return
            if type(message) is tuple:      # floor: (future, message)
                message[0].set_result(message[1])
                continue
            on_message({"requestId": message["requestId"], "ok": True, "result": NULL})

    def stop(self):
        self.queue.put(None)
        self.thread.join(5)


def install(handler):
    com_like.messaging.set_send_handler(handler)


# ---------------------------------------------------------------- timed loops

def floor_sync(n):
    uuid4 = uuid.uuid4
    Future = concurrent.futures.Future
    req = BODY
    t0 = perf_ns()
    for _ in range(n):
        rid = uuid4().hex
        message = dict(req)
        fut = Future()
        fut.set_result(message)
        fut.result(30.0)
    return (perf_ns() - t0) / n, rid


def floor_listener(listener):
    def run(n):
        uuid4 = uuid.uuid4
        Future = concurrent.futures.Future
        put = listener.queue.put
        req = BODY
        t0 = perf_ns()
        for _ in range(n):
            rid = uuid4().hex
            message = dict(req)
            fut = Future()
            put((fut, message))
            fut.result(30.0)
        return (perf_ns() - t0) / n, rid
    return run


def send_loop(handler):
    def run(n):
        install(handler)
        send = com_like.messaging.send_request_sync
        req = BODY
        t0 = perf_ns()
        for _ in range(n):
            send(req)
        return (perf_ns() - t0) / n, None
    return run


def proxy_loop(kind, handler):
    obj = com_like.OfficeJsObject(7, "Range")
    fn = com_like.OfficeJsObject(8, "Function")

    def get(n):
        p = obj
        t0 = perf_ns()
        for _ in range(n):
            p.values
        return perf_ns() - t0

    def set_(n):
        p = obj
        t0 = perf_ns()
        for _ in range(n):
            p.values = 1
        return perf_ns() - t0

    def call(n):
        f = fn
        t0 = perf_ns()
        for _ in range(n):
            f(1, "a", 2.5)
        return perf_ns() - t0

    def getitem(n):
        p = obj
        t0 = perf_ns()
        for _ in range(n):
            p[1:5]
        return perf_ns() - t0

    def delete(n):
        p = obj
        t0 = perf_ns()
        for _ in range(n):
            p.__del__()
        return perf_ns() - t0

    body = {"GET": get, "SET": set_, "CALL": call, "GETITEM": getitem, "DEL": delete}[kind]

    def run(n):
        install(handler)
        return body(n) / n, None
    return run


def throughput(listener, workers):
    def run(n):
        install(listener.handler)
        per_worker = max(1, n // workers)
        start = threading.Barrier(workers + 1)
        errors = []

        def work():
            send = com_like.messaging.send_request_sync
            req = BODY
            start.wait()
            try:
                for _ in range(per_worker):
                    send(req)
            except BaseException as e:  # reported after the run
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(workers)]
        for t in threads:
            t.start()
        start.wait()
        t0 = perf_ns()
        for t in threads:
            t.join()
        elapsed = perf_ns() - t0
        if errors:
            raise errors[0]
        return elapsed / (per_worker * workers), None
    return run


def chain(host_holder):
    def run(n):
        host = host_holder[0]
        install(host.core._send)
        Context = com_like.Context
        t0 = perf_ns()
        for _ in range(n):
            Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values
        return (perf_ns() - t0) / n, None
    return run


def chain_requests(host):
    host.reset_counts()
    com_like.Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values
    return sum(host.request_counts().values())


# ---------------------------------------------------------------- table

def measure(cases, runs):
    """cases: [(key, fn, n)] -> {key: median ns per op}."""
    samples = {key: [] for key, _, _ in cases}
    for key, fn, n in cases:       # warm-up
        fn(max(1, n // 10))
    for _ in range(runs):
        for key, fn, n in cases:
            gc.collect()
            gc.disable()
            try:
                samples[key].append(fn(n)[0])
            finally:
                gc.enable()
    return {key: statistics.median(v) for key, v in samples.items()}


def serializer_rows(runs):
    try:
        import bench_serializer
    except ImportError:
        return []
    targets = {"to_wire": 100.0, "from_wire": 80.0}
    out = []
    for row in bench_serializer.rows(runs):
        op, case, unit, ns = row[:4]
        if "DataFrame" in case:
            target = 150.0 if op == "to_wire" else None
        else:
            target = targets.get(op) if unit == "element" else None
        note = "target %.0f" % target if target is not None else ""
        out.append(("%s %s" % (op, case), ns, "per %s" % unit, note))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="runs per row (median taken)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the iterations per run")
    parser.add_argument("--no-serializer", action="store_true")
    parser.add_argument("--only", default="", help="comma-separated row keys (debugging)")
    args = parser.parse_args()

    def n(k):
        return max(10, int(k * args.scale))

    messaging = com_like.messaging
    old_handler = messaging._send_handler
    sync = sync_handler()
    listener = Listener()
    cases = [
        ("floor", floor_sync, n(5000)),
        ("floor_l", floor_listener(listener), n(1500)),
        ("send_sync", send_loop(sync), n(5000)),
        ("send_listener", send_loop(listener.handler), n(1500)),
    ]
    for kind in ("GET", "SET", "CALL", "GETITEM", "DEL"):
        cases.append((kind, proxy_loop(kind, sync), n(5000)))
    for w in (1, 2, 4, 8):
        cases.append(("tp%d" % w, throughput(listener, w), n(2000)))

    host_holder = [None]
    host = None
    try:
        from com_like_sim.host import LocalHost
    except ImportError:
        LocalHost = None
    if LocalHost is not None:
        host = LocalHost()
        host_holder[0] = host
        cases.append(("chain", chain(host_holder), n(80)))
    if args.only:
        keep = set(args.only.split(",")) | {"floor", "floor_l"}
        cases = [c for c in cases if c[0] in keep]
    try:
        res = measure(cases, args.runs)
        n_chain = chain_requests(host) if host is not None and "chain" in res else 0
    finally:
        if host is not None:
            host.close()
        listener.stop()
        messaging.set_send_handler(old_handler)

    f, fl = res["floor"], res["floor_l"]
    labels = [
        ("floor", "floor (uuid4, Future, set_result/result, dict copy)", f, ""),
        ("floor_l", "floor, set_result on the listener thread", fl, ""),
        ("send_sync", "send_request_sync, synchronous handler", f, "target 1.3"),
        ("send_listener", "send_request_sync, listener handler", fl, ""),
        ("GET", "proxy GET  p.values", f, "target 1.5"),
        ("SET", "proxy SET  p.values = 1", f, ""),
        ("CALL", "proxy CALL f(1, 'a', 2.5)", f, ""),
        ("GETITEM", "proxy GETITEM  p[1:5]", f, ""),
        ("DEL", "proxy DEL  p.__del__()", f, ""),
        ("chain", "chain Context...getRange('A1').values, local host", fl,
         "%d requests" % n_chain),
        ("tp1", "throughput, 1 worker, one listener", fl, ""),
        ("tp2", "throughput, 2 workers", fl, ""),
        ("tp4", "throughput, 4 workers", fl,
         "%.2f x 1 worker, target <= 1" % (res["tp4"] / res["tp1"]) if "tp4" in res and "tp1" in res else ""),
        ("tp8", "throughput, 8 workers", fl, ""),
    ]
    head = "%-56s %12s %9s  %s" % ("row", "ns/op", "x floor", "note")
    print(head)
    print("-" * len(head))
    for key, label, base, note in labels:
        if key not in res:
            continue
        ratio = res[key] / base
        floor_name = " (listener floor)" if base is fl and key != "floor_l" else ""
        print("%-56s %12.0f %9.2f  %s" % (label, res[key], ratio, (note + floor_name).strip()))
    if not args.no_serializer:
        rows = serializer_rows(max(3, args.runs))
        if rows:
            print()
            print("%-56s %12s %9s  %s" % ("serializer", "ns/unit", "", "note"))
            print("-" * len(head))
            for label, ns, unit, note in rows:
                print("%-56s %12.1f %9s  %s" % (label, ns, "", (unit + "  " + note).strip()))


if __name__ == "__main__":
    main()
