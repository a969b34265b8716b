// Round trips: the syncs each Python operation costs, counted in the stand-in (every sync
// counts), request by request as com_like sends them; and where the add-in relies on what the
// Office.js reference documents (cell-edit mode, isNullObject, loading a collection's items).

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, plain, standin, tick, until, syncsOf } from "./executor-harness.mjs";

describe("syncs per operation", () => {
  // Long idle flush: releases here travel only with syncs that happen anyway.
  const quiet = () => harness({ sheets: ["Sheet1"], untrackIdleMs: 600000 });

  test("the table of round trips", async () => {
    const h = quiet();
    const sheet = await h.sheet();
    const held = await h.range("A1:B2");
    await h.values(held);
    const empty = standin.stats().emptySyncs;
    const rows = {
      navigation: await syncsOf(() => h.sheet()),
      "new range, read": await syncsOf(async () => h.values(await h.range("A1:B2"))),
      "held range, read": await syncsOf(() => h.values(held)),
      "held range, write": await syncsOf(() => h.set(held, "values", rec.of([[1, 2], [3, 4]]))),
      "new range, write": await syncsOf(async () => h.set(await h.range("D1"), "values", rec.of([[1]]))),
      "held.format.fill.color": await syncsOf(async () => {
        const fill = (await h.get((await h.get(held, "format")).value, "fill")).value;
        await h.set(fill, "color", rec.str("#FF0000"));
      }),
      "10 writes to new ranges": await syncsOf(async () => {
        for (let i = 1; i <= 10; i++) await h.set(await h.range(`E${i}`), "values", rec.of([[i]]));
      }),
      "10 writes in a transaction": await syncsOf(async () => {
        await h.start(false);
        for (let i = 1; i <= 10; i++) await h.set(await h.range(`F${i}`), "values", rec.of([[i]]));
        await h.commit();
      }),
      "Union(...).address": await syncsOf(async () => {
        const a = (await h.method(sheet, "getRange", rec.str("A1"))).value;
        const c = (await h.method(sheet, "getRange", rec.str("C3"))).value;
        const union = await h.call(3, rec.ref(a, "Range"), rec.ref(c, "Range"));
        assert.equal(plain(await h.get(union.value, "address")), "Sheet1!A1, Sheet1!C3");
      }),
    };
    assert.deepEqual(rows, {
      navigation: 0,
      "new range, read": 1,
      "held range, read": 1,
      "held range, write": 1,
      "new range, write": 1,
      "held.format.fill.color": 1,
      "10 writes to new ranges": 10,
      "10 writes in a transaction": 1,
      "Union(...).address": 1,
    });
    assert.equal(standin.stats().emptySyncs, empty);   // not one of them was for nothing
    assert.deepEqual(standin.inspect("Sheet1", "E10:F10").values, [[10, 10]]);
    assert.equal(standin.inspect("Sheet1", "A1").fillColor, "#FF0000");
  });

  test("releasing 100 used ranges costs no sync: the untracks go with the next one", async () => {
    const h = quiet();
    const held = await h.range("Z1");
    const ids = [];
    for (let i = 1; i <= 100; i++) {
      const r = await h.range(`A${i}`);
      await h.set(r, "values", rec.of([[i]]));
      ids.push(r);
    }
    const tracked = standin.stats().tracked;
    h.ex.release(ids);
    await tick();
    assert.equal(standin.stats().tracked, tracked);       // nothing sent yet
    assert.equal(await syncsOf(() => h.values(held)), 1);
    assert.equal(standin.stats().tracked, tracked - 99);  // 100 out, Z1 in
  });

  test("a range never used is never tracked, and its release sends nothing", async () => {
    const h = quiet();
    const tracked = standin.stats().tracked;
    const r = await h.range("A1");
    h.ex.release([r]);
    const other = await h.range("B1");
    await h.values(other);
    assert.equal(standin.stats().tracked, tracked + 1);
  });

  test("without a sync to ride on, releases go in one of their own after the idle interval", async () => {
    const h = harness({ untrackIdleMs: 30 });
    const r = await h.range("A1");
    await h.values(r);
    const { tracked, trackingOnlySyncs } = standin.stats();
    h.ex.release([r]);
    await until(() => standin.stats().tracked === tracked - 1, "the idle flush");
    assert.equal(standin.stats().trackingOnlySyncs, trackingOnlySyncs + 1);
  });
});

describe("cell-edit mode", () => {
  const write = (h, r, v) => h.send({ method: "SET", name: "values", value: rec.of([[v]]), caller: r });

  for (const api of ["1.20", "1.9"]) {
    test(`a request made while a cell is edited waits, then runs (ExcelApi ${api})`, async () => {
      standin.setApiVersion(api);
      try {
        const h = harness();
        const r = await h.range("A1");
        standin.setCellEditMode(true);
        const answer = write(h, r, 7);
        await tick(100);
        assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[""]]);
        standin.setCellEditMode(false);
        assert.equal((await answer).ok, true);
        assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[7]]);
        assert.deepEqual(await h.values(r), [[7]]);
      } finally {
        standin.setCellEditMode(false);
        standin.setApiVersion("1.20");
      }
    });
  }

  test("out of time, it fails naming cell-edit mode and applies nothing", async () => {
    const h = harness({ requestTimeoutMs: 600 });
    const r = await h.range("A1");
    standin.setCellEditMode(true);
    let answer;
    try {
      answer = await write(h, r, 7);
    } finally {
      standin.setCellEditMode(false);
    }
    assert.equal(answer.ok, false);
    assert.match(answer.error.message, /^InvalidOperationInCellEditMode: .*cell-edit mode.*nothing was applied/);
    await tick(50);
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[""]]);
    assert.deepEqual(await h.values(r), [[""]]);
  });

  test("a commit waits for the edit and applies its batch once", async () => {
    const h = harness();
    const r = await h.range("A1:A2");
    await h.start(false);
    await h.set(r, "values", rec.of([[1], ["=A1+1"]]));
    const commit = (await h.get(5, "commit")).value;
    standin.setCellEditMode(true);
    const answer = h.send({ method: "CALL", name: "__call__", caller: commit, args: [] });
    await tick(100);
    standin.setCellEditMode(false);
    assert.equal((await answer).ok, true);
    assert.deepEqual(standin.inspect("Sheet1", "A1:A2").values, [[1], [2]]);
  });

  test("a release made during the edit is not lost", async () => {
    const h = harness({ untrackIdleMs: 30 });
    const r = await h.range("A1");
    await h.values(r);
    const { tracked } = standin.stats();
    standin.setCellEditMode(true);
    try {
      h.ex.release([r]);
      await tick(150);                      // idle flushes fail meanwhile
      assert.equal(standin.stats().tracked, tracked);
    } finally {
      standin.setCellEditMode(false);
    }
    await until(() => standin.stats().tracked === tracked - 1, "the untrack after the edit");
  });
});

describe("reads the reference leaves to the add-in", () => {
  test("isNullObject of an ordinary proxy reads false", async () => {
    const h = harness();
    assert.equal(plain(await h.get(await h.sheet(), "isNullObject")), false);
    assert.equal(plain(await h.get(await h.range("A1"), "isNullObject")), false);
  });

  test("a collection's items are references, loaded with one identifying property, not every scalar", async () => {
    const h = harness({ sheets: ["Sheet1", "Data"] });
    const sheets = await h.worksheets();
    const loads = [];
    const original = Excel.WorksheetCollection.prototype.load;
    Excel.WorksheetCollection.prototype.load = function load(option) {
      loads.push(option);
      return original.call(this, option);
    };
    try {
      const items = await h.get(sheets, "items");
      assert.equal(items.type, "Array");
      const names = [];
      for (const sheet of items.value) names.push(plain(await h.get(sheet.value, "name")));
      assert.deepEqual(names, ["Sheet1", "Data"]);
    } finally {
      Excel.WorksheetCollection.prototype.load = original;
    }
    assert.deepEqual(loads, ["id"]);
  });
});
