// The stand-in where the Office.js reference is strict: tracking travels with a sync and can
// fail there, cell-edit mode fails every batch not delayed, object paths are evaluated again
// at each sync, isNullObject of an ordinary proxy, and the reference's own 1 x 1 fill sample.
import { test, describe, beforeEach } from "node:test";
import assert from "node:assert/strict";
import { standin, rejection, syncError, tick } from "./executor-harness.mjs";

const { Excel } = globalThis;

beforeEach(() => standin.resetWorkbook({ sheets: ["Sheet1", "Data"] }));

describe("tracking", () => {
  test("trackedObjects.add is sent with the sync, which checks the range's path there", async () => {
    const ctx = new Excel.RequestContext();
    const bad = ctx.workbook.worksheets.getItem("Sheet1").getRange("not an address");
    ctx.trackedObjects.add(bad);                      // queued, not checked yet
    const e = await rejection(ctx.sync());
    assert.equal(e.code, "InvalidArgument");
    assert.equal(e.debugInfo.errorLocation, "Worksheet.getRange");
  });
});

describe("cell-edit mode", () => {
  test("every batch that is not delayed fails, empty and tracking-only ones included", async () => {
    const ctx = new Excel.RequestContext();
    standin.setCellEditMode(true);
    try {
      assert.equal((await rejection(ctx.sync())).code, "InvalidOperationInCellEditMode");
      ctx.trackedObjects.add(ctx.workbook.worksheets.getItem("Sheet1").getRange("A1"));
      assert.equal((await rejection(ctx.sync())).code, "InvalidOperationInCellEditMode");
    } finally {
      standin.setCellEditMode(false);
    }
  });

  test("delayForCellEdit holds for its run only, on the context previousObjects names", async () => {
    const ctx = new Excel.RequestContext();
    standin.setCellEditMode(true);
    let done = false;
    const delayed = Excel.run({ delayForCellEdit: true, previousObjects: ctx }, async (c) => {
      assert.equal(c, ctx);
      c.workbook.worksheets.getItem("Sheet1").getRange("A1").values = [[5]];
      await c.sync();
    }).then(() => { done = true; });
    await tick();
    assert.equal(done, false);
    standin.setCellEditMode(false);
    await delayed;
    standin.setCellEditMode(true);
    try {
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A2").values = [[6]];
      assert.equal((await rejection(ctx.sync())).code, "InvalidOperationInCellEditMode");
    } finally {
      standin.setCellEditMode(false);
    }
    assert.deepEqual(standin.inspect("Sheet1", "A1:A2").values, [[5], [""]]);
  });
});

describe("object paths are evaluated at each sync", () => {
  test("getItem(name) finds the sheet by that name each time; getItem(id) and tracked ranges keep theirs", async () => {
    const ctx = new Excel.RequestContext();
    const sheets = ctx.workbook.worksheets;
    const byName = sheets.getItem("Data");
    const range = byName.getRange("A1");
    ctx.trackedObjects.add(range);
    byName.load("id");
    await ctx.sync();
    const byId = sheets.getItem(byName.id);
    byName.name = "Renamed";
    await ctx.sync();
    byId.load("name");
    range.load("address");
    await ctx.sync();
    assert.deepEqual([byId.name, range.address], ["Renamed", "Renamed!A1"]);
    byName.load("name");
    assert.equal((await rejection(ctx.sync())).code, "ItemNotFound");
  });

  test("getActiveWorksheet() means the active sheet at each sync; add() the sheet it added", async () => {
    const ctx = new Excel.RequestContext();
    const active = ctx.workbook.worksheets.getActiveWorksheet();
    const added = ctx.workbook.worksheets.add("New");
    active.load("name");
    await ctx.sync();
    assert.equal(active.name, "Sheet1");
    ctx.workbook.worksheets.getItem("Data").activate();
    active.load("name");
    added.load("name");
    await ctx.sync();
    assert.deepEqual([active.name, added.name], ["Data", "New"]);
  });
});

describe("isNullObject", () => {
  test("an ordinary proxy's isNullObject is known only once a sync has used the object", async () => {
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    await ctx.sync();
    assert.equal(syncError(() => sheet.isNullObject).code, "PropertyNotLoaded");
    sheet.load("name");
    await ctx.sync();
    assert.equal(sheet.isNullObject, false);
  });
});

describe("one value for many cells", () => {
  test("the reference's sample: a 1 x 1 array fills the four cells E3:E6", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("E3:E6");
    range.values = [[2.5]];
    range.numberFormat = [["$0.00"]];
    ctx.workbook.worksheets.getItem("Sheet1").getRange("F3:F4").formulas = [["=E3*2"]];
    await ctx.sync();
    const got = standin.inspect("Sheet1", "E3:F6");
    assert.deepEqual(got.numberFormat.map((r) => r[0]), ["$0.00", "$0.00", "$0.00", "$0.00"]);
    assert.deepEqual(got.values.map((r) => r[0]), [2.5, 2.5, 2.5, 2.5]);
    assert.deepEqual(got.formulas.slice(0, 2).map((r) => r[1]), ["=E3*2", "=E4*2"]);
  });
});
