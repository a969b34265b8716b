// Python callables: event handlers that read the workbook, functions passed
// to calls, and when the add-in lets go of them.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, plain, standin, tick, until, CONTEXT } from "./executor-harness.mjs";

async function addHandler(h, sheetName, callableId) {
  const sheet = await h.sheet(sheetName);
  const handlers = (await h.get(sheet, "onChanged")).value;
  return h.method(handlers, "add", rec.fn(callableId));
}

describe("event handlers", () => {
  test("an onChanged handler in Python gets the event and reads the changed range", async () => {
    const h = harness();
    const seen = [];
    h.python = async (callableId, [args]) => {
      const event = plain(args);
      // What a Python handler does: args.getRange(Context).values
      const range = await h.call(args.value.getRange.value, CONTEXT);
      seen.push({ callableId, event, values: await h.values(range.value) });
      return rec.null();
    };
    const result = await addHandler(h, "Sheet1", "pyfunc_ab_1");
    assert.equal(result.type, "EventHandlerResult");
    assert.equal(standin.handlerCount("Sheet1"), 1);
    const r = await h.range("B2:C2");
    await h.set(r, "values", rec.of([[1, "x"]]));
    await until(() => seen.length === 1, "the handler");
    const [{ callableId, event, values }] = seen;
    assert.equal(callableId, "pyfunc_ab_1");
    assert.equal(event.type, "WorksheetChanged");
    assert.equal(event.changeType, "RangeEdited");
    assert.equal(event.address, "B2:C2");
    assert.equal(event.source, "Local");
    assert.equal(typeof event.worksheetId, "string");
    assert.deepEqual(values, [[1, "x"]]);
    assert.deepEqual(h.released, []);
    // The host runs the calls of one event source one at a time, in order.
    assert.equal(h.invoked[0].source, `WorksheetChanged:${event.worksheetId}`);
  });

  test("removing the handler stops the calls and lets go of the Python callable", async () => {
    const h = harness();
    let calls = 0;
    h.python = async () => { calls++; return rec.null(); };
    const result = (await addHandler(h, "Sheet1", "pyfunc_ab_1")).value;
    const r = await h.range("A1");
    await h.set(r, "values", rec.int(1));
    await until(() => calls === 1, "the first event");
    await h.method(result, "remove");
    assert.deepEqual(h.released, ["pyfunc_ab_1"]);
    assert.equal(standin.handlerCount("Sheet1"), 0);
    await h.set(r, "values", rec.int(2));
    await tick(30);
    assert.equal(calls, 1);
  });

  test("a handler that fails on a missing sheet is not kept", async () => {
    const h = harness();
    const text = await addHandler(h, "Nope", "pyfunc_ab_1").then(() => "added", (e) => e.message);
    assert.match(text, /^ItemNotFound: /);
    assert.deepEqual(h.released, ["pyfunc_ab_1"]);
  });

  test("a handler raising in Python does not disturb the next requests", async () => {
    const h = harness();
    let calls = 0;
    h.python = async () => { calls++; throw new Error("ValueError: boom"); };
    await addHandler(h, "Sheet1", "pyfunc_ab_1");
    const r = await h.range("A1");
    await h.set(r, "values", rec.int(1));
    await until(() => calls === 1, "the event");
    assert.deepEqual(await h.values(r), [[1]]);
  });
});

describe("functions passed to calls", () => {
  test("the call waits for Python's result; the callable is let go afterwards", async () => {
    const h = harness();
    h.python = async (callableId, [ctx]) => {
      assert.equal(ctx.type, "RequestContext");
      return rec.of({ answer: 42 });
    };
    const result = await h.method(1, "run", rec.fn("pyfunc_ab_7"));
    assert.deepEqual(plain(result), { answer: 42 });
    assert.deepEqual(h.invoked.map((i) => i.callableId), ["pyfunc_ab_7"]);
    assert.equal(h.invoked[0].source, undefined);   // no event source: never waits behind an event
    assert.deepEqual(h.released, ["pyfunc_ab_7"]);
  });

  test("a Python function called from inside a call may itself use the workbook", async () => {
    const h = harness({ requestTimeoutMs: 1000 });
    const r = await h.range("A1");
    await h.set(r, "values", rec.int(41));
    h.python = async () => {
      // Requests made while the Excel.run call waits for this function.
      const [[v]] = await h.values(r);
      await h.set(r, "values", rec.int(v + 1));
      return rec.int(v);
    };
    // Without lending its turn, the call would end in RequestAborted.
    const result = await h.method(1, "run", rec.fn("pyfunc_ab_5"));
    assert.equal(plain(result), 41);
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[42]]);
  });

  test("objects of the context Excel.run makes work like those of Context", async () => {
    const h = harness({ requestTimeoutMs: 2000 });
    let kept = null;
    h.python = async (callableId, [ctx]) => {
      const wb = (await h.get(ctx.value, "workbook")).value;
      const sheet = (await h.method((await h.get(wb, "worksheets")).value, "getItem", rec.str("Sheet1"))).value;
      kept = (await h.method(sheet, "getRange", rec.str("B2:C2"))).value;
      await h.set(kept, "values", rec.of([[5, "=B2*2"]]));
      return h.get(kept, "values");
    };
    const result = await h.method(1, "run", rec.fn("pyfunc_ab_6"));
    assert.deepEqual(plain(result), [[5, 10]]);
    // The range outlives the run: it was tracked on its own context.
    assert.equal(plain(await h.get(kept, "address")), "Sheet1!B2:C2");
    h.ex.release([kept]);
    assert.equal(h.ex.trackedCount, 0);
  });

  const failing = [
    ["a Python error reaches the caller with Python's own text",
      async () => { throw new Error("ZeroDivisionError: division by zero"); }, "ZeroDivisionError: division by zero"],
    ["invokeCallable throwing at once is the call's error, not a lost answer",
      () => { throw new Error("host gone"); }, "host gone"],
  ];
  for (const [name, python, text] of failing) {
    test(name, async () => {
      const h = harness();
      h.python = python;
      assert.equal(await h.callFails((await h.get(1, "run")).value, rec.fn("pyfunc_ab_8")), text);
      assert.deepEqual(h.released, ["pyfunc_ab_8"]);
    });
  }

  test("Python's result may be a reference to an add-in object", async () => {
    const h = harness();
    const r = await h.range("C3");
    h.python = async () => rec.ref(r, "Range");
    const result = await h.method(1, "run", rec.fn("pyfunc_ab_9"));
    assert.equal(result.type, "Range");
    assert.equal(plain(await h.get(result.value, "address")), "Sheet1!C3");
  });

  test("a function written as cell data is refused and let go", async () => {
    const h = harness();
    const r = await h.range("A1:B1");
    const text = await h.fails({ method: "SET", name: "values", caller: r,
      value: rec.arr([rec.arr([rec.int(1), rec.fn("pyfunc_ab_3")])]) });
    assert.match(text, /^InvalidArgument: a cell holds/);
    assert.deepEqual(h.released, ["pyfunc_ab_3"]);
    assert.deepEqual(standin.inspect("Sheet1", "A1:B1").values, [["", ""]]);
  });
});
