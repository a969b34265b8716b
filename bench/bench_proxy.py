"""Cost of one GET through a proxy next to the same request sent straight
through messaging.send_request_sync, with a synchronous handler that answers
from inside the send call (so no thread switch is measured).

    python bench/bench_proxy.py [--number N]
"""
import argparse
import platform
import timeit

import com_like

RESULT = {"type": "Int", "value": 1, "isSpec": False}


def install_handler():
    on_message = com_like.messaging.on_message

    def handler(message):
        on_message({"requestId": message["requestId"], "ok": True, "result": RESULT})

    com_like.messaging.set_send_handler(handler)
    return handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    handler = install_handler()
    excel = com_like.Excel
    send = com_like.messaging.send_request_sync
    getattr_op = com_like._cw__getattr__
    from_wire = com_like.Serializer.from_wire
    fake = {"requestId": "0" * 32}

    cases = [
        ("handler alone (baseline)", lambda: handler(fake)),
        ("send_request_sync(GET body)", lambda: send({"method": "GET", "name": "values", "caller": 1})),
        ("send_request_sync + from_wire", lambda: from_wire(send({"method": "GET", "name": "values", "caller": 1})["result"])),
        ("_cw__getattr__(Excel, 'values')", lambda: getattr_op(excel, "values")),
        ("Excel.values (proxy GET)", lambda: excel.values),
    ]
    # The proxy layer alone: send_request_sync replaced on the instance by a
    # function that hands back one fixed response.
    fixed = {"ok": True, "result": RESULT}

    def stubbed(fn):
        def run():
            com_like.messaging.send_request_sync = lambda req: fixed
            try:
                return fn()
            finally:
                del com_like.messaging.send_request_sync
        return run

    cases += [
        ("stubbed send: _cw__getattr__", stubbed(lambda: [getattr_op(excel, "values") for _ in range(100)])),
        ("stubbed send: Excel.values", stubbed(lambda: [excel.values for _ in range(100)])),
    ]
    # Rounds interleave the cases so that a busy machine slows them alike.
    times = {label: [] for label, _ in cases}
    for _ in range(args.repeat):
        for label, fn in cases:
            per = 100 if label.startswith("stubbed") else 1  # those run 100 reads a call
            times[label].append(timeit.timeit(fn, number=args.number) / args.number / per * 1e6)
    base = min(times[cases[1][0]])
    print(f"CPython {platform.python_version()}, {args.number} calls x {args.repeat} rounds")
    print(f"{'operation':36} {'best us':>8} {'median us':>10} {'best vs send':>13}")
    for label, _ in cases:
        t = sorted(times[label])
        print(f"{label:36} {t[0]:8.2f} {t[len(t) // 2]:10.2f} {t[0] / base:12.2f}x")
    com_like.messaging.set_send_handler(None)


if __name__ == "__main__":
    main()
