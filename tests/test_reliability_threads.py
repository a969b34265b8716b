"""Many workers, one listener that answers out of order, late, twice, wrongly
or never, and resets in between: every worker gets its own answer or the
error it should get, and nothing is left waiting."""
import concurrent.futures
import faulthandler
import os
import random
import threading
import time

import com_like
from addin_doubles import ChaoticAddin, error, ok
from com_like import messaging
from com_like_host import wire

SANITIZED = bool(os.environ.get("COM_LIKE_SANITIZED"))
WORKERS = 8
REQUESTS = 400 if SANITIZED else 2000  # per worker
RESETS = 4
TIME_LIMIT = 240 if SANITIZED else 90  # seconds for the whole run

SHORT = 0.02  # time-out of requests that get no answer in time
STALE = "Excel Object used after messaging context was stopped"

# Kinds of request and how often each is made.
KINDS = ["ok"] * 10 + ["dup"] * 2 + ["fail", "fail_plain", "sync", "drop", "late", "proxy", "proxy_ref"]


def answer(message):
    if message.get("method") == "DEL":
        return ok()
    if message.get("method") == "GET":
        # Proxy reads: a text that names the reader, or a reference whose
        # object id does.
        w, s = message["name"][1:].split("_")
        if w.endswith("r"):
            return ok(wire.reference("Range", int(w.rstrip("r")) * 10 ** 6 + int(s)))
        return ok(wire.plain("String", message["name"]))
    kind = message.get("kind_")
    if kind == "fail":
        return error("failed %s:%s" % (message["w"], message["s"]))
    if kind == "fail_plain":
        return error()
    return ok({"w": message["w"], "s": message["s"]})


class Resets:
    """Resets spread over the run; counted so that a worker can tell whether
    one overlapped its request."""

    def __init__(self, progress):
        self.progress = progress  # requests made so far, one slot per worker
        self.started = 0
        self.finished = 0

    def run(self, count, done):
        total = WORKERS * REQUESTS
        for i in range(1, count + 1):
            while sum(self.progress) < total * i // (count + 1):
                if done.wait(0.005):
                    return
            self.started += 1
            messaging.reset()
            self.finished += 1


def worker(w, rng, resets, results, failures):
    counts = dict.fromkeys(["answered", "failed", "timed_out", "cancelled", "stale"], 0)
    proxies_kept = []
    try:
        for s in range(REQUESTS):
            resets.progress[w] = s
            kind = rng.choice(KINDS)
            before = resets.finished
            try:
                if kind in ("proxy", "proxy_ref"):
                    name = "p%d%s_%d" % (w, "r" if kind == "proxy_ref" else "", s)
                    value = getattr(com_like.Excel, name)
                    if kind == "proxy":
                        assert value == name, (w, s, value)
                    else:
                        assert value._internal_id == w * 10 ** 6 + s, (w, s, value._internal_id)
                        # Some are dropped at once (a DEL from this thread),
                        # some later, some survive a reset.
                        if rng.random() < 0.3:
                            proxies_kept.append(value)
                        if len(proxies_kept) > 20:
                            del proxies_kept[: rng.randrange(20)]
                    counts["answered"] += 1
                    continue
                timeout = SHORT if kind in ("drop", "late") else 30.0
                resp = messaging.send_request_sync({"w": w, "s": s, "kind_": kind}, timeout=timeout)
                # The time-out runs from the start of the wait: on a busy
                # machine a late answer may be there before it.
                assert kind in ("ok", "dup", "sync", "late"), (w, s, kind, resp)
                assert resp["result"] == {"w": w, "s": s}, (w, s, resp)
                counts["answered"] += 1
            except RuntimeError as e:
                if e.args == (STALE,):
                    # Between a reset's new context and its re-stamping of
                    # the roots, a root proxy is briefly refused.
                    assert kind.startswith("proxy") and resets.started > before, (w, s, kind, e)
                    counts["stale"] += 1
                    continue
                expected = {"fail": ("failed %d:%d" % (w, s),), "fail_plain": ("Remote error",)}
                assert e.args == expected.get(kind), (w, s, kind, e.args)
                counts["failed"] += 1
            except TimeoutError as e:
                assert kind in ("drop", "late"), (w, s, kind, e)
                assert e.args == ("Timed out waiting for Office.js response",)
                counts["timed_out"] += 1
            except concurrent.futures.CancelledError:
                assert resets.started > before, (w, s, kind, "cancelled without a reset")
                counts["cancelled"] += 1
    except BaseException as e:  # noqa: B902 - reported by the test
        failures.append((w, e))
    finally:
        proxies_kept.clear()
        results[w] = counts


def test_workers_get_their_own_answers_under_chaos():
    seed = random.randrange(2 ** 32)
    addin = ChaoticAddin(answer, seed, late=SHORT * 3)
    messaging.set_send_handler(addin)
    resets = Resets([0] * WORKERS)
    results, failures = {}, []
    done = threading.Event()
    # A deadlock that holds the interpreter lock would stop join() as well;
    # the watchdog then dumps every thread's stack and ends the run.
    faulthandler.dump_traceback_later(TIME_LIMIT + 60, exit=True)
    try:
        threads = [threading.Thread(target=worker, args=(w, random.Random(seed + w), resets, results, failures),
                                    daemon=True) for w in range(WORKERS)]
        resetter = threading.Thread(target=resets.run, args=(RESETS, done), daemon=True)
        start = time.monotonic()
        for t in threads:
            t.start()
        resetter.start()
        for t in threads:
            t.join(max(0.0, TIME_LIMIT - (time.monotonic() - start)))
        alive = [t.name for t in threads if t.is_alive()]
        done.set()
        resetter.join(10)
        addin.stop()
    finally:
        faulthandler.cancel_dump_traceback_later()

    assert not alive, "workers still running after %d s (seed %d): %s" % (TIME_LIMIT, seed, alive)
    assert not failures, "seed %d: %r" % (seed, failures[:5])
    assert not addin.errors, addin.errors[:5]
    assert messaging.waiters == {}
    total = {k: sum(r[k] for r in results.values()) for k in results[0]}
    assert sum(total.values()) == WORKERS * REQUESTS
    assert resets.finished == RESETS
    # Every outcome occurred, so each path was really exercised.
    assert all(total[k] for k in ("answered", "failed", "timed_out")), total
    print("\n%d workers x %d requests, %d resets, %d responses delivered: %r"
          % (WORKERS, REQUESTS, resets.finished, addin.delivered, total))
