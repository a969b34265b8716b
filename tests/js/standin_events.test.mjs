// The Office.js stand-in: change events, payload and cell caps, settings, multi-area ranges.
import { test, describe, beforeEach } from "node:test";
import assert from "node:assert/strict";
import { standin, rejection, tick } from "./executor-harness.mjs";

const { Excel, Office } = globalThis;

beforeEach(() => standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { A1: 1 } }, "Other"] }));

// Resolves with the next `count` arguments a handler receives.
function collector(count) {
  const seen = [];
  let done;
  const all = new Promise((resolve) => { done = resolve; });
  const handler = async (args) => { seen.push(args); if (seen.length === count) done(seen); };
  return { handler, all, seen };
}

describe("onChanged", () => {
  test("the add-in's own writes fire with the documented arguments", async () => {
    const { handler, all } = collector(2);
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    sheet.onChanged.add(handler);
    sheet.load("id");
    await ctx.sync();
    sheet.getRange("A1").values = [[5]];
    sheet.getRange("B2:C3").formulas = "=A1";
    await ctx.sync();
    const [one, many] = await all;
    assert.deepEqual({ ...one, getRange: undefined, getRangeOrNullObject: undefined }, {
      type: "WorksheetChanged", changeType: "RangeEdited", source: "Local", address: "A1",
      worksheetId: sheet.id, getRange: undefined, getRangeOrNullObject: undefined,
      details: { valueBefore: 1, valueAfter: 5, valueTypeBefore: "Double", valueTypeAfter: "Double" },
    });
    assert.equal(many.address, "B2:C3");
    assert.equal(many.details, null);
    assert.equal("worksheetName" in many, false);
  });

  test("clearing contents fires; clearing formats does not", async () => {
    const { handler, all, seen } = collector(2);
    await Excel.run(async (ctx) => {
      const s = ctx.workbook.worksheets.getItem("Sheet1");
      s.onChanged.add(handler);
      await ctx.sync();
      s.getRange("A1").clear(Excel.ClearApplyTo.contents);
      s.getRange("B1:B2").clear(Excel.ClearApplyTo.formats);
      s.getRange("C:C").clear();
    });
    const [one, col] = await all;
    await tick();
    assert.equal(seen.length, 2);
    assert.deepEqual([one.address, one.details.valueBefore, one.details.valueAfter, one.details.valueTypeAfter], ["A1", 1, "", "Empty"]);
    assert.deepEqual([col.address, col.details], ["C:C", null]);
  });

  test("a handler can read the changed range through its own request", async () => {
    let done;
    const read = new Promise((resolve) => { done = resolve; });
    await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Sheet1").onChanged.add(async (args) => {
        await Excel.run(async (c) => {
          const r = args.getRange(c).load("values, address");
          await c.sync();
          done([r.address, r.values]);
        });
      });
    });
    await Excel.run(async (ctx) => { ctx.workbook.worksheets.getItem("Sheet1").getRange("D4").values = 9; });
    assert.deepEqual(await read, ["Sheet1!D4", [[9]]]);
  });

  test("after its sheet is deleted, an event's getRangeOrNullObject gives a null object", async () => {
    const { handler, all } = collector(1);
    await Excel.run(async (ctx) => {
      const s = ctx.workbook.worksheets.getItem("Other");
      s.onChanged.add(handler);
      await ctx.sync();
      s.getRange("A1").values = 1;
    });
    const [args] = await all;
    await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Other").delete();
      await ctx.sync();
      const gone = args.getRangeOrNullObject(ctx);
      await ctx.sync();
      assert.equal(gone.isNullObject, true);
      args.getRange(ctx).load("address");
      assert.equal((await rejection(ctx.sync())).code, "ItemNotFound");
    });
  });

  test("registration and removal take effect at sync; other sheets and formats stay quiet", async () => {
    const { handler, seen } = collector(99);
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const result = sheet.onChanged.add(handler);
    assert.equal(standin.handlerCount("Sheet1"), 0);
    await ctx.sync();
    assert.equal(standin.handlerCount("Sheet1"), 1);
    ctx.workbook.worksheets.getItem("Other").getRange("A1").values = 1;
    sheet.getRange("A1").numberFormat = "0.0";
    sheet.getRange("A1").format.fill.color = "red";
    await ctx.sync();
    await tick();
    assert.equal(seen.length, 0);
    await Excel.run(result.context, async (c) => { result.remove(); await c.sync(); });
    assert.equal(standin.handlerCount("Sheet1"), 0);
    sheet.getRange("A1").values = 2;
    await ctx.sync();
    await tick();
    assert.equal(seen.length, 0);
  });

  test("the collection-level handler fires for every sheet", async () => {
    const { handler, all } = collector(2);
    await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.onChanged.add(handler);
      await ctx.sync();
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = 1;
      ctx.workbook.worksheets.getItem("Other").getRange("B1").values = 2;
    });
    assert.deepEqual((await all).map((a) => a.address), ["A1", "B1"]);
    assert.notEqual((await all)[0].worksheetId, (await all)[1].worksheetId);
  });

  test("runtime.enableEvents = false silences handlers", async () => {
    const { handler, seen } = collector(99);
    await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Sheet1").onChanged.add(handler);
      ctx.runtime.enableEvents = false;
      await ctx.sync();
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = 3;
    });
    await tick();
    assert.equal(seen.length, 0);
  });

  test("a failing or rejecting handler does not disturb the workbook", async () => {
    const { handler, all } = collector(1);
    await Excel.run(async (ctx) => {
      const s = ctx.workbook.worksheets.getItem("Sheet1");
      s.onChanged.add(() => { throw new Error("boom"); });
      s.onChanged.add(async () => { throw new Error("async boom"); });
      s.onChanged.add(handler);
      await ctx.sync();
      s.getRange("A1").values = 4;
    });
    assert.equal((await all)[0].address, "A1");
  });
});

describe("limits", () => {
  test("a request over the payload cap is refused whole", async () => {
    standin.setLimits({ payloadBytes: 1000 });
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    sheet.getRange("B1").values = 2;
    sheet.getRange("A2:A201").values = Array.from({ length: 200 }, (_, i) => [i]);
    const e = await rejection(ctx.sync());
    assert.equal(e.code, "RequestPayloadSizeLimitExceeded");
    assert.equal(e.message, "The request payload size has exceeded the limit.");
    assert.deepEqual(standin.inspect("Sheet1", "B1").values, [[""]]);
    sheet.getRange("A2:A51").values = Array.from({ length: 50 }, (_, i) => [i]);
    await ctx.sync();
    assert.ok(standin.stats().lastRequestBytes < 1000);
  });

  test("a response over the payload cap fails; the same data in blocks passes", async () => {
    standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { "A1:B300": 12345 } }], limits: { payloadBytes: 4000 } });
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    sheet.getRange("A1:B300").load("values");
    const e = await rejection(ctx.sync());
    assert.equal(e.code, "ResponsePayloadSizeLimitExceeded");
    const block = sheet.getRange("A1:B150").load("values");
    await ctx.sync();
    assert.equal(block.values.length, 150);
  });

  test("reading more cells than the cap fails with RangeExceedsLimit; counts still work", async () => {
    standin.setLimits({ maxReadCells: 100 });
    const ctx = new Excel.RequestContext();
    const big = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:J11").track().load("cellCount, address");
    await ctx.sync();
    assert.equal(big.cellCount, 110);
    big.load("values");
    const e = await rejection(ctx.sync());
    assert.equal(e.code, "RangeExceedsLimit");
    assert.equal(e.debugInfo.errorLocation, "Range.load");
  });

  test("defaults are 5 MB and 5,000,000 cells", () => {
    assert.deepEqual(standin.limits(), { payloadBytes: 5 * 1024 * 1024, maxReadCells: 5000000 });
  });
});

describe("settings", () => {
  test("workbook settings: add, getItem, value, delete, null object", async () => {
    await Excel.run(async (ctx) => {
      const settings = ctx.workbook.settings;
      settings.add("color", { r: 1, tags: ["a"] });
      const color = settings.getItem("color").load("value, key");
      const count = settings.getCount();
      await ctx.sync();
      assert.deepEqual([color.key, color.value, count.value], ["color", { r: 1, tags: ["a"] }, 1]);
      settings.getItem("color").value = 5;
      settings.add("gone", true);
      await ctx.sync();
      settings.getItem("gone").delete();
      const gone = settings.getItemOrNullObject("gone");
      const all = settings.load("key, value");
      await ctx.sync();
      assert.equal(gone.isNullObject, true);
      assert.deepEqual(all.items.map((s) => [s.key, s.value]), [["color", 5]]);
    });
    assert.deepEqual(standin.settings(), { color: 5 });
  });

  test("document settings are an in-memory bag until saveAsync", async () => {
    standin.resetWorkbook({ settings: { kept: "yes" } });
    const bag = Office.context.document.settings;
    assert.equal(bag.get("kept"), "yes");
    assert.equal(bag.get("missing"), null);
    bag.set("n", [1, 2]);
    bag.remove("kept");
    assert.deepEqual(standin.settings(), { kept: "yes" });
    const result = await new Promise((resolve) => bag.saveAsync(resolve));
    assert.equal(result.status, Office.AsyncResultStatus.Succeeded);
    assert.deepEqual(standin.settings(), { n: [1, 2] });
  });
});

describe("multi-area ranges", () => {
  test("getRanges: address, areas, counts, formats set on every area", async () => {
    const out = await Excel.run(async (ctx) => {
      const areas = ctx.workbook.worksheets.getItem("Sheet1").getRanges("A1:B2, D4, F:F");
      areas.format.font.italic = true;
      areas.load("address, areaCount, cellCount");
      areas.areas.load("address");
      const italic = areas.format.font.load("italic");
      const second = areas.areas.getItemAt(1).load("address");
      await ctx.sync();
      return [areas.address, areas.areaCount, areas.cellCount, areas.areas.items.map((r) => r.address), italic.italic, second.address];
    });
    assert.deepEqual(out, ["Sheet1!A1:B2, Sheet1!D4, Sheet1!F:F", 3, 5 + 1048576, ["Sheet1!A1:B2", "Sheet1!D4", "Sheet1!F:F"], true, "Sheet1!D4"]);
    assert.equal(standin.inspect("Sheet1", "F9").values[0][0], "");
  });

  test("area reads agree or give null; booleans are true only everywhere", async () => {
    const out = await Excel.run(async (ctx) => {
      const s = ctx.workbook.worksheets.getItem("Sheet1");
      s.getRange("A1").format.font.bold = true;
      s.getRange("A1").format.fill.color = "#00FF00";
      const areas = s.getRanges("A1, C3");
      const font = areas.format.font.load("bold");
      const fill = areas.format.fill.load("color");
      await ctx.sync();
      return [font.bold, fill.color];
    });
    assert.deepEqual(out, [false, null]);
  });
});

describe("user state: selection and cell editing", () => {
  test("selected ranges; a multi-area selection refuses getSelectedRange", async () => {
    standin.setSelection("Other", "B2:C3, E5");
    const ctx = new Excel.RequestContext();
    const areas = ctx.workbook.getSelectedRanges().load("address");
    const cell = ctx.workbook.getActiveCell().load("address");
    await ctx.sync();
    assert.deepEqual([areas.address, cell.address], ["Other!B2:C3, Other!E5", "Other!B2"]);
    ctx.workbook.getSelectedRange().load("address");
    assert.equal((await rejection(ctx.sync())).code, "InvalidSelection");
    ctx.workbook.worksheets.getItem("Sheet1").getRange("C2:D2").select();
    const one = ctx.workbook.getSelectedRange().load("address");
    await ctx.sync();
    assert.equal(one.address, "Sheet1!C2:D2");
    assert.equal(standin.activeSheetName(), "Sheet1");
  });

  test("while a cell is edited, batches fail unless their run delays for the edit", async () => {
    standin.setCellEditMode(true);
    const e = await rejection(Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = 2;
    }));
    assert.equal(e.code, "InvalidOperationInCellEditMode");
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[1]]);
    let finished = false;
    const delayed = Excel.run({ delayForCellEdit: true }, async (ctx) => {
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = 3;
    }).then(() => { finished = true; });
    await tick();
    assert.equal(finished, false);
    const other = await rejection(Excel.run(async (ctx) => { ctx.workbook.worksheets.getItem("Sheet1").getRange("B1").values = 1; }));
    assert.equal(other.code, "InvalidOperationInCellEditMode");
    standin.setCellEditMode(false);
    await delayed;
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[3]]);
  });
});
