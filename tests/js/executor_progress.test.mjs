// Long cell transfers: progress per block, a time limit that progress moves
// on, and a stop between blocks that leaves what was written.

import { test, describe, afterEach } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, standin, tick, floatRows as numbered } from "./executor-harness.mjs";

// Every cell of row r holds r + 0.5.
const floatRows = (rows, cols) => numbered(rows, cols, (r) => r + 0.5);

// Every sync of the stand-in first waits for `gate()` (a slow workbook).
const proto = globalThis.Excel.RequestContext.prototype;
const plainSync = proto.sync;
function slowSyncs(gate) {
  proto.sync = function slowSync(...args) {
    return Promise.resolve(gate()).then(() => plainSync.apply(this, args));
  };
}
afterEach(() => { proto.sync = plainSync; });

async function settled() {
  // Until the workbook sees no more syncs: a stopped loop stays stopped.
  let last = -1;
  for (let quiet = 0; quiet < 3;) {
    const now = standin.stats().syncs;
    quiet = now === last ? quiet + 1 : 0;
    last = now;
    await tick(50);
  }
}

const ROWS = 1000;

describe("long transfers", () => {
  for (const prop of ["write", "read"]) {
    test(`a block ${prop} reports each block and runs past the time limit while it progresses`, async () => {
      const h = harness({ requestTimeoutMs: 1500 });
      const r = await h.range("A1:ALL1000");
      if (prop === "read") await h.set(r, "values", floatRows(ROWS, 1000));
      h.progress.length = 0;
      slowSyncs(() => tick(500));
      const id = h.nextId();
      const result = prop === "write" ? await h.send({ method: "SET", name: "values", value: floatRows(ROWS, 1000), caller: r })
        : await h.send({ method: "GET", name: "values", caller: r });
      assert.equal(result.ok, true, result.error && result.error.message);
      const mine = h.progress.filter((p) => p.requestId === id);
      assert.ok(mine.length >= 3, `${mine.length} reports`);
      assert.deepEqual(mine.at(-1), { requestId: id, rows: ROWS, totalRows: ROWS, cells: ROWS * 1000, totalCells: ROWS * 1000 });
      assert.ok(mine.every((p, i) => i === 0 || p.rows > mine[i - 1].rows));
      if (prop === "read") assert.equal(result.result.value.length, ROWS);
      else assert.deepEqual(standin.inspect("Sheet1", "ALL1000").values, [[999.5]]);
    });
  }

  test("a request cancelled while it waits for its turn does nothing", async () => {
    const h = harness();
    const r = await h.range("A1:ALL1000");
    const b2 = await h.range("B2");
    const first = h.send({ method: "SET", name: "values", value: floatRows(ROWS, 1000), caller: r });
    const id = h.nextId();
    const second = h.send({ method: "SET", name: "values", value: rec.arr([rec.arr([rec.str("late")])]), caller: b2 });
    h.ex.cancel(id);
    assert.equal((await first).ok, true);
    const answer = await second;
    assert.match(answer.error.message, /^RequestCancelled: stopped before it started; nothing was done$/);
    assert.deepEqual(standin.inspect("Sheet1", "B2").values, [[1.5]]);
  });

  test("a request out of time stops its blocks: nothing lands after its answer", async () => {
    const h = harness({ requestTimeoutMs: 300 });
    const r = await h.range("A1:ALL1000");
    let open;
    const gate = new Promise((resolve) => { open = resolve; });
    let syncs = 0;
    // The first sync (the shape) passes; the first block waits past the limit.
    slowSyncs(() => (syncs++ < 1 ? undefined : gate));
    const message = await h.fails({ method: "SET", name: "values", value: floatRows(ROWS, 1000), caller: r });
    assert.match(message, /^RequestAborted: /);
    open();
    await settled();
    assert.deepEqual(standin.inspect("Sheet1", "ALL1000").values, [[""]]);
  });

  test("cancelAll stops every request of a closed connection", async () => {
    const h = harness();
    const r = await h.range("A1:ALL1000");
    h.onProgress = () => h.ex.cancelAll();
    const message = await h.fails({ method: "SET", name: "values", value: floatRows(ROWS, 1000), caller: r });
    assert.match(message, /^RequestCancelled: /);
  });
});
