// Dates written as cell data get a date format where the cell is General:
// which cells, which format, and what the write costs against the stand-in.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, syncsOf } from "./executor-harness.mjs";
import * as dates from
  "../../python_server/veltrum/com_like_host/addin/dates.mjs";

const row = (...cells) => rec.arr(cells);

describe("finding dates in a write", () => {
  const cases = [
    ["no dates", rec.arr([row(rec.int(1), rec.str("2024-03-01"))]), null],
    ["a single date fills", rec.date("2024-03-01"), { fill: "date" }],
    ["a 1 x 1 array fills", rec.arr([row(rec.date("2024-03-01T10:00:00"))]), { fill: "datetime" }],
    ["cells by position", rec.arr([row(rec.int(1), rec.date("2024-03-01")), row(rec.date("2024-03-01 00:00:00"))]),
      { cells: [[0, 1, "date"], [1, 0, "datetime"]] }],
    ["no serial before 1900", rec.arr([row(rec.date("1899-12-31"), rec.int(2))]), null],
    ["not a date at all", rec.date("yesterday"), null],
  ];
  for (const [name, record, expected] of cases) {
    test(name, () => assert.deepEqual(dates.find(record), expected));
  }
});

describe("formats to assign", () => {
  test("only General cells get one; null leaves the others", () => {
    const found = { cells: [[0, 0, "date"], [0, 1, "datetime"], [1, 1, "date"]] };
    assert.deepEqual(dates.formats(found, [["General", "General"], ["General", "0.00"]]),
      [[dates.DATE_FORMAT, dates.DATETIME_FORMAT], [null, null]]);
  });
  test("nothing to assign when no date cell is General", () => {
    assert.equal(dates.formats({ fill: "date" }, [["0", "d-mmm"]]), null);
    assert.equal(dates.formats({ fill: "date" }, null), null);  // a whole column reads null
  });
});

describe("through the executor", () => {
  test("formats set with the write; reads give serials; one extra sync", async () => {
    const h = harness();
    const r = await h.range("A1:C1");
    await h.set(r, "numberFormat", rec.of([["General", "0.00", "General"]]));
    const write = rec.arr([row(rec.date("2024-03-01"), rec.date("2024-03-01"), rec.int(5))]);
    assert.equal(await syncsOf(() => h.set(r, "values", write)), 2);
    assert.deepEqual(await h.values(r, "numberFormat"), [[dates.DATE_FORMAT, "0.00", "General"]]);
    assert.deepEqual(await h.values(r), [[45352, 45352, 5]]);
  });
});
