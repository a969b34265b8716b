// Cell data over Excel on the web's 5 MB request/response cap.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, standin, floatRows, syncsOf } from "./executor-harness.mjs";

// r's values, and the syncs the read took.
async function read(h, r) {
  let back;
  const syncs = await syncsOf(async () => { back = await h.get(r, "values"); });
  return [back, syncs];
}

describe("large cell data", () => {
  test("a 1,000,000-cell write and read-back go in row blocks, each under the cap", async () => {
    const h = harness();
    const cap = standin.limits().payloadBytes;
    const r = await h.range("A1:ALL1000");
    const writeSyncs = await syncsOf(() => h.set(r, "values", floatRows(1000, 1000)));
    assert.ok(writeSyncs >= 3, `${writeSyncs} syncs`);
    assert.ok(standin.stats().lastRequestBytes <= cap);
    assert.deepEqual(standin.inspect("Sheet1", "ALL1000").values, [[999999.5]]);

    // What was just written in blocks is read in blocks at once, never refused whole.
    const [back, firstRead] = await read(h, r);
    assert.ok(firstRead >= 4 && firstRead <= 10, `${firstRead} syncs`);
    assert.equal(back.value.length, 1000);
    for (const i of [0, 1, 499, 998, 999]) {
      const row = back.value[i].value;
      assert.equal(row.length, 1000);
      assert.equal(row[0].value, i * 1000 + 0.5);
      assert.equal(row[999].value, i * 1000 + 999.5);
    }
    assert.ok(standin.stats().lastResponseBytes <= cap);
  });

  test("a large range read for the first time is refused whole once, then read in blocks", async () => {
    const h = harness();
    const r = await h.range("A1:J200000");
    await h.set(r, "values", rec.float(0.125));
    const fresh = await h.range("A1:J200000");
    const [back, first] = await read(h, fresh);
    assert.equal(back.value.length, 200000);
    assert.equal(back.value[199999].value[9].value, 0.125);
    // The second read skips the refused attempt, with blocks sized from the first.
    assert.ok((await read(h, fresh))[1] < first);
  });

  test("a large write of the wrong shape fails before writing anything", async () => {
    const h = harness();
    const r = await h.range("A1:ALL1001");
    const text = await h.fails({ method: "SET", name: "formulas", caller: r, value: floatRows(1000, 1000) });
    assert.match(text, /^InvalidArgument: The number of rows or columns in the input array doesn't match/);
    assert.match(text, /Range\.formulas: the range is 1001 x 1000/);
    assert.equal(standin.storedCellCount("Sheet1"), 0);
  });

  test("a write block still refused for its size is sent again in halves", async () => {
    const h = harness({ limits: { payloadBytes: 1000000 } });
    const r = await h.range("A1:CV2000");
    await h.set(r, "values", floatRows(2000, 100));
    assert.ok(standin.stats().lastRequestBytes <= 1000000);
    assert.deepEqual(standin.inspect("Sheet1", "CV2000").values, [[199999.5]]);
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[0.5]]);
  });

  test("reads adapt the block size when a block is still refused for its size", async () => {
    const h = harness({ limits: { payloadBytes: 400000 } });
    const long = "x".repeat(60);
    for (let top = 1; top <= 4000; top += 1000) {
      const block = await h.range(`A${top}:D${top + 999}`);
      const rows = Array.from({ length: 1000 }, (_, i) => rec.arr([rec.str(long), rec.int(top + i), rec.str(long), rec.str("")]));
      await h.set(block, "values", rec.arr(rows));
    }
    const all = await h.range("A1:D4000");
    const back = await h.get(all, "values");
    assert.equal(back.value.length, 4000);
    assert.deepEqual(back.value.map((row) => row.value[1].value), Array.from({ length: 4000 }, (_, i) => i + 1));
  });

  test("reads over the cell-count limit are split too", async () => {
    const h = harness({ limits: { maxReadCells: 1500 } });
    const r = await h.range("A1:C1000");
    await h.set(r, "values", rec.int(7));
    // What was just written in blocks is read in blocks at once, never refused whole.
    const [back, firstRead] = await read(h, r);
    assert.ok(firstRead >= 4 && firstRead <= 10, `${firstRead} syncs`);
    assert.equal(back.value.length, 1000);
    assert.ok(back.value.every((row) => row.value.every((c) => c.value === 7)));
  });

  test("a whole-column read stays one read (Office.js answers null)", async () => {
    const h = harness();
    const r = await h.range("B:B");
    const back = await h.get(r, "values");
    assert.equal(back.type, "Null");
  });
});
