// Collections as the reference's own samples load them: load("count") reads the collection's own
// property, load("items") loads every item whole; both through the new tables and charts.
import { test, beforeEach } from "node:test";
import assert from "node:assert/strict";
import * as standin from "../../python_server/veltrum/com_like_host/standin/index.mjs";

const { Excel } = globalThis;

beforeEach(() => standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { A1: "Item", B1: "Qty", A2: "a", B2: 1 } }] }));

test("load('count') and load('items') on the collections of the reference's samples", async () => {
  await Excel.run(async (ctx) => {
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const table = sheet.tables.add("A1:B2", true);
    sheet.charts.add(Excel.ChartType.columnClustered, sheet.getRange("A1:B2"), Excel.ChartSeriesBy.auto);
    const tables = ctx.workbook.tables;
    const rows = table.rows;
    const charts = sheet.charts;
    tables.load("count");
    rows.load("items");
    charts.load("items, count");
    await ctx.sync();
    assert.equal(tables.count, 1);
    assert.deepEqual(rows.items.map((r) => [r.index, r.values]), [[0, [["a", 1]]]]);
    assert.equal(charts.count, 1);
    assert.equal(charts.items[0].name, "Chart 1");
    assert.throws(() => tables.items, { code: "PropertyNotLoaded" });
  });
});

test("a failed rows.add writes nothing and moves nothing", async () => {
  await Excel.run(async (ctx) => {
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const table = sheet.tables.add("A1:B2", true);
    await ctx.sync();
    table.rows.add(0, [["ok", "x".repeat(32768)]]);
    await assert.rejects(ctx.sync(), { code: "InvalidArgument" });
  });
  assert.deepEqual(standin.inspect("Sheet1", "A1:B3").values, [["Item", "Qty"], ["a", 1], ["", ""]]);
});
