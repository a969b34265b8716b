// The transaction object (id 5) as com_like drives it: GET start, CALL it
// with Context and block_gets; GET commit / rollback, CALL them.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, plain, standin, syncsOf } from "./executor-harness.mjs";

const cells = (address) => standin.inspect("Sheet1", address).values;

describe("batches", () => {
  test("writes wait for the commit and then apply in the order made", async () => {
    const h = harness();
    const a1 = await h.range("A1");
    const b1 = await h.range("B1");
    await h.start();
    await h.set(a1, "values", rec.int(1));
    await h.set(b1, "values", rec.str("=A1*10"));
    await h.set(a1, "values", rec.int(2));
    assert.deepEqual(cells("A1:B1"), [["", ""]]);
    await h.commit();
    assert.deepEqual(cells("A1:B1"), [[2, 20]]);
    // After the commit, writes apply at once again.
    await h.set(a1, "values", rec.int(3));
    assert.deepEqual(cells("A1"), [[3]]);
  });

  test("all the batch's writes go out in one sync", async () => {
    const h = harness();
    const ranges = [];
    for (const a of ["A1", "B1", "C1", "D1"]) ranges.push(await h.range(a));
    await h.start();
    for (const r of ranges) await h.set(r, "values", rec.int(1));
    assert.equal(await syncsOf(() => h.commit()), 1);
  });

  test("without block_gets a read sees the workbook as it was before the batch", async () => {
    const h = harness();
    const r = await h.range("A1");
    await h.set(r, "values", rec.int(1));
    await h.start(false);
    await h.set(r, "values", rec.int(2));
    assert.deepEqual(await h.values(r), [[1]]);
    await h.commit();
    assert.deepEqual(await h.values(r), [[2]]);
  });

  test("with block_gets reads of data are refused until the commit; objects can still be reached", async () => {
    const h = harness();
    const sheet = await h.sheet();
    await h.start(true);
    const r = (await h.method(sheet, "getRange", rec.str("A1:B1"))).value;
    const fill = (await h.get((await h.get(r, "format")).value, "fill")).value;
    await h.set(fill, "color", rec.str("#FF0000"));
    await h.set(r, "values", rec.of([[1, 2]]));
    for (const [caller, name] of [[r, "values"], [r, "address"], [fill, "color"], [sheet, "name"]]) {
      const text = await h.fails({ method: "GET", name, caller });
      assert.match(text, /^InvalidOperation: reading \w+\.\w+ is blocked inside a transaction started with block_gets=True/);
    }
    assert.match(await h.callFails(2, rec.str("x")), /^InvalidOperation: reading GetSetting/);
    await h.commit();
    assert.deepEqual(await h.values(r), [[1, 2]]);
    assert.equal(plain(await h.get(fill, "color")), "#FF0000");
  });

  test("an error in the batch is reported by the commit; earlier commands stay, later ones are dropped", async () => {
    const h = harness();
    const a1 = await h.range("A1");
    const pair = await h.range("B1:C1");
    const d1 = await h.range("D1");
    await h.start();
    await h.set(a1, "values", rec.int(1));
    await h.set(pair, "values", rec.of([[1, 2, 3]]));   // wrong shape, answered at once
    await h.set(d1, "values", rec.int(4));
    const text = await h.callFails((await h.get(5, "commit")).value);
    assert.match(text, /^InvalidArgument: The number of rows or columns/);
    assert.match(text, /commit: 1 of 3 queued operation\(s\)/);   // what ran, not what was queued
    assert.deepEqual(cells("A1:D1"), [[1, "", "", ""]]);
    // The batch is over: the next write applies at once.
    await h.set(d1, "values", rec.int(5));
    assert.deepEqual(cells("D1"), [[5]]);
  });

  test("rollback drops the batch unapplied and lets go of the callables it held", async () => {
    const h = harness();
    const r = await h.range("A1");
    const handlers = (await h.get(await h.sheet(), "onChanged")).value;
    await h.start();
    await h.set(r, "values", rec.int(9));
    assert.equal(plain(await h.method(handlers, "add", rec.fn("pyfunc_ab_1"))), null);
    await h.rollback();
    assert.deepEqual(cells("A1"), [[""]]);
    assert.equal(standin.handlerCount("Sheet1"), 0);
    assert.deepEqual(h.released, ["pyfunc_ab_1"]);
    await h.commit();   // nothing open: nothing happens
    assert.deepEqual(cells("A1"), [[""]]);
  });

  test("a workbook-changing call waits for the commit; a handler added in a batch is kept", async () => {
    const h = harness();
    const ws = await h.worksheets();
    const handlers = (await h.get(await h.sheet(), "onChanged")).value;
    await h.start();
    assert.equal(plain(await h.method(ws, "add", rec.str("Later"))), null);
    await h.method(handlers, "add", rec.fn("pyfunc_ab_2"));
    assert.deepEqual(standin.sheetNames(), ["Sheet1"]);
    await h.commit();
    assert.deepEqual(standin.sheetNames(), ["Sheet1", "Later"]);
    assert.equal(standin.handlerCount("Sheet1"), 1);
    assert.deepEqual(h.released, []);
  });

  test("a start inside an open batch keeps what is queued", async () => {
    const h = harness();
    const r = await h.range("A1");
    await h.start(true);
    await h.set(r, "values", rec.int(1));
    await h.start(false);
    assert.deepEqual(await h.values(r), [[""]]);
    await h.commit();
    assert.deepEqual(await h.values(r), [[1]]);
  });

  test("start needs the request context", async () => {
    const h = harness();
    const fn = (await h.get(5, "start")).value;
    const text = await h.callFails(fn, rec.ref(1, "Excel"), rec.bool(true));
    assert.match(text, /^InvalidArgument: start\(context, block_gets\)/);
    const r = await h.range("A1");
    await h.set(r, "values", rec.int(1));
    assert.deepEqual(cells("A1"), [[1]]);
  });
});
