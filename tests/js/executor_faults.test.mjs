// Exactly one response per request, whatever arrives and whatever fails.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, standin, createExecutor } from "./executor-harness.mjs";

describe("malformed requests", () => {
  const cases = [
    ["null", null, /^InvalidRequest: a request must be an object$/],
    ["a string", "GET", /^InvalidRequest: a request must be an object$/],
    ["no method", { requestId: "x", caller: 0 }, /^InvalidReference|^InvalidRequest/],
    ["an unknown method", { requestId: "x", method: "PUT", caller: 0, name: "a" }, /^InvalidRequest: unknown request method "PUT"/],
    ["no caller", { requestId: "x", method: "GET", name: "workbook" }, /^InvalidReference: object id undefined is unknown/],
    ["a caller that is not a number", { requestId: "x", method: "GET", name: "a", caller: "zero" }, /^InvalidReference/],
    ["GET without a name", { requestId: "x", method: "GET", caller: 0 }, /^InvalidRequest: a GET request needs a member name$/],
    ["SET without a value", { requestId: "x", method: "SET", caller: 0, name: "a" }, /^InvalidOperation|^InvalidArgument/],
    ["CALL with a broken argument", { requestId: "x", method: "CALL", caller: 2, args: [null] }, /^InvalidArgument: malformed argument entry$/],
    ["CALL with a broken record", { requestId: "x", method: "CALL", caller: 2, args: [{ arg_type: "PLACED", value: 3 }] },
      /^InvalidArgument: malformed value record 3$/],
    ["a reference to a released id", { requestId: "x", method: "CALL", caller: 3, args: [{ arg_type: "PLACED", value: rec.ref(999999, "Range") }] },
      /^InvalidReference: object id 999999 is unknown/],
  ];
  for (const [name, request, pattern] of cases) {
    test(`${name} is answered with a clear error`, async () => {
      const h = harness();
      const response = await h.ex.execute(request);
      assert.equal(response.ok, false);
      assert.equal(response.requestId, request && typeof request === "object" ? request.requestId ?? null : null);
      assert.match(response.error.message, pattern);
      // The executor is still fine.
      assert.equal((await h.get(0, "workbook")).type, "Workbook");
    });
  }
});

describe("many requests at once", () => {
  test("each of many concurrent requests, good and bad, gets its own single answer, in order", async () => {
    const h = harness();
    const r = await h.range("A1:B1");
    const requests = [];
    for (let i = 0; i < 60; i++) {
      const kind = i % 3;
      const request = kind === 0 ? { method: "SET", name: "values", caller: r, value: rec.of([[i, -i]]) }
        : kind === 1 ? { method: "SET", name: "values", caller: r, value: rec.of([[1, 2, 3]]) }
          : { method: "GET", name: "values", caller: r };
      requests.push({ requestId: `q${i}`, kind: "request", ...request });
    }
    const finished = [];
    const responses = await Promise.all(requests.map((q) => h.ex.execute(q).then((a) => (finished.push(a.requestId), a))));
    assert.deepEqual(finished, requests.map((q) => q.requestId));
    responses.forEach((a, i) => {
      assert.equal(a.requestId, `q${i}`);
      if (i % 3 === 1) assert.match(a.error.message, /^InvalidArgument: The number of rows/);
      else assert.equal(a.ok, true, JSON.stringify(a.error));
      // A read sees the write just before it: no failure or data leaked across requests.
      if (i % 3 === 2) assert.deepEqual(a.result.value[0].value.map((c) => c.value), [i - 2, -(i - 2)]);
    });
  });
});

describe("stuck and failing outside parts", () => {
  test("a request that never finishes is answered RequestAborted and the next one runs", async () => {
    const h = harness({ requestTimeoutMs: 150 });
    h.python = () => new Promise(() => {});
    const run = (await h.get(1, "run")).value;
    const stuck = h.ex.execute({ requestId: "stuck", method: "CALL", name: "__call__", caller: run,
      args: [{ arg_type: "PLACED", value: rec.fn("pyfunc_ab_1") }] });
    const next = h.ex.execute({ requestId: "next", method: "GET", name: "workbook", caller: 0 });
    const a = await stuck;
    assert.equal(a.ok, false);
    assert.match(a.error.message, /^RequestAborted: the request did not finish within 0.15 s/);
    const b = await next;
    assert.equal(b.ok, true);
    assert.equal(b.result.type, "Workbook");
  });

  test("a failing releaseCallable does not fail the request", async () => {
    const ex = createExecutor({
      invokeCallable: async () => rec.int(5),
      releaseCallable: () => { throw new Error("bookkeeping failed"); },
    });
    const run = (await ex.execute({ requestId: "a", method: "GET", name: "run", caller: 1 })).result.value;
    const a = await ex.execute({ requestId: "b", method: "CALL", name: "__call__", caller: run,
      args: [{ arg_type: "PLACED", value: rec.fn("pyfunc_ab_1") }] });
    assert.deepEqual(a, { requestId: "b", ok: true, result: rec.int(5) });
  });

  test("createExecutor refuses missing host functions", () => {
    assert.throws(() => createExecutor({}), TypeError);
    assert.throws(() => createExecutor({ invokeCallable: () => {} }), TypeError);
  });
});

describe("a new Python session", () => {
  test("reset drops the old session's ids, open batch and event handlers; ids keep counting", async () => {
    const h = harness();
    const r = await h.range("A1");
    const handlers = (await h.get(await h.sheet(), "onChanged")).value;
    await h.method(handlers, "add", rec.fn("pyfunc_old_1"));
    await h.start(true);
    await h.set(r, "values", rec.int(1));
    await h.ex.reset();
    assert.equal(standin.handlerCount("Sheet1"), 0);
    assert.equal(h.ex.objectCount, 6);
    assert.equal(h.ex.trackedCount, 0);
    assert.match(await h.fails({ method: "GET", name: "values", caller: r }), /^InvalidReference/);
    // No batch is open any more: writes apply, reads are not blocked.
    const again = await h.range("A1");
    assert.ok(again > r);
    await h.set(again, "values", rec.int(2));
    assert.deepEqual(await h.values(again), [[2]]);
  });
});
