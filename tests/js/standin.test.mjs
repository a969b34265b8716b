// The Office.js stand-in: request model (deferred execution, load, PropertyNotLoaded, errors at
// sync, null objects, object lifetime).
import { test, describe, beforeEach } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import vm from "node:vm";
import { standin, rejection, syncError } from "./executor-harness.mjs";

const OFFICE_JS = readFileSync(new URL("../../python_server/veltrum/com_like_host/standin/office.js", import.meta.url), "utf8");

// office.js as a page would run it, in a bare global of our own (its module import fails there).
function loadInPage(pageUrl, scriptSrc) {
  class NativeWebSocket { constructor(url) { this.url = url; } }
  const page = {
    location: { protocol: new URL(pageUrl).protocol, href: pageUrl },
    document: { currentScript: { src: scriptSrc } },
    history: { pushState() {}, replaceState() {} },
    WebSocket: NativeWebSocket, URL, DOMException, console: { error() {} },
  };
  vm.runInNewContext(OFFICE_JS, page);
  return { page, NativeWebSocket };
}

const { Excel, OfficeExtension, Office } = globalThis;

beforeEach(() => standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { A1: 1, B1: 2 } }, "Data"] }));

describe("start-up", () => {
  test("onReady resolves with the Excel host and calls its callback", async () => {
    let seen = null;
    const info = await Office.onReady((i) => { seen = i; });
    assert.equal(info.host, Office.HostType.Excel);
    assert.equal(seen, info);
    assert.equal(Office.context.requirements.isSetSupported("ExcelApi", "1.7"), true);
    assert.equal(Office.context.requirements.isSetSupported("ExcelApi", "1.20"), true);
    assert.equal(Office.context.requirements.isSetSupported("ExcelApi", "1.21"), false);
    assert.equal(Office.context.requirements.isSetSupported("WordApi", "1.1"), false);
  });

  test("on an https page ws:// is refused unless a permissive engine is asked for", () => {
    const strict = loadInPage("https://127.0.0.1:8443/taskpane.html", "https://127.0.0.1:8443/office.js");
    assert.throws(() => new strict.page.WebSocket("ws://127.0.0.1:8443/ws"), { name: "SecurityError" });
    const ok = new strict.page.WebSocket("wss://127.0.0.1:8443/ws");
    assert.ok(ok instanceof strict.page.WebSocket && ok instanceof strict.NativeWebSocket);
    assert.equal(strict.page.history.pushState, null);
    assert.equal(typeof strict.page.Office.onReady, "function");
    const permissive = loadInPage("https://127.0.0.1:8443/taskpane.html", "https://127.0.0.1:8443/office.js?engine=permissive");
    assert.equal(new permissive.page.WebSocket("ws://127.0.0.1:8443/ws").url, "ws://127.0.0.1:8443/ws");
    const plain = loadInPage("http://127.0.0.1:8080/taskpane.html", "http://127.0.0.1:8080/office.js");
    assert.equal(plain.page.WebSocket, plain.NativeWebSocket);
  });

  test("every class is exported under its Office.js name", () => {
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    assert.ok(ctx.workbook instanceof Excel.Workbook);
    assert.ok(ctx.workbook.worksheets instanceof Excel.WorksheetCollection);
    assert.ok(sheet instanceof Excel.Worksheet);
    assert.ok(sheet.getRange("A1") instanceof Excel.Range);
    assert.ok(sheet.getRanges("A1, B2") instanceof Excel.RangeAreas);
    assert.ok(sheet.getRange("A1").format.font instanceof Excel.RangeFont);
    assert.ok(ctx.workbook.settings.getItem("x") instanceof Excel.Setting);
    assert.ok(sheet instanceof OfficeExtension.ClientObject);
  });
});

describe("deferred execution", () => {
  test("writes apply only at sync, which always resolves later", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1");
    ctx.trackedObjects.add(range);
    range.values = [[42]];
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[1]]);
    const pending = ctx.sync();
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[1]], "applied before sync resolved");
    await pending;
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[42]]);
  });

  test("commands run in queue order within one sync", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:C1");
    range.values = [[1, 2, "=SUM(A1:B1)"]];
    range.load("values");
    range.values = [[5, 5, "=A1*B1"]];
    await ctx.sync();
    assert.deepEqual(range.values, [[1, 2, 3]]);
  });

  test("Excel.run flushes queued commands and returns the batch's value", async () => {
    const out = await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Data").getRange("B2").values = 7;
      return "done";
    });
    assert.equal(out, "done");
    assert.deepEqual(standin.inspect("Data", "B2").values, [[7]]);
  });

  test("every sync is a round trip, empty and tracking-only ones included", async () => {
    const ctx = new Excel.RequestContext();
    await ctx.sync();
    ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = 3;
    ctx.workbook.worksheets.getItem("Sheet1").getRange("A2").values = 4;
    await ctx.sync();
    ctx.trackedObjects.add(ctx.workbook.worksheets.getItem("Sheet1").getRange("A3"));
    await ctx.sync();
    const { syncs, emptySyncs, trackingOnlySyncs } = standin.stats();
    assert.deepEqual([syncs, emptySyncs, trackingOnlySyncs], [3, 1, 1]);
  });
});

describe("loading and PropertyNotLoaded", () => {
  test("reading an unloaded scalar throws PropertyNotLoaded synchronously", async () => {
    const ctx = new Excel.RequestContext();
    const sheets = ctx.workbook.worksheets;
    const sheet = sheets.getItemOrNullObject("Sheet1");
    const range = sheet.getRange("A1");
    const count = sheets.getCount();
    for (const read of [() => range.values, () => range.address, () => sheets.items,
      () => sheet.isNullObject, () => count.value, () => range.isNullObject]) {
      const e = syncError(read);
      assert.ok(e instanceof OfficeExtension.Error);
      assert.equal(e.code, "PropertyNotLoaded");
      assert.match(e.message, /^The property '\w+' is not available\. Before reading/);
    }
    range.load("address");
    await ctx.sync();
    assert.equal(range.address, "Sheet1!A1");
    assert.equal(count.value, 2);
    assert.equal(sheet.isNullObject, false);
    assert.equal(syncError(() => range.values).code, "PropertyNotLoaded");
  });

  test("setting a property does not make it readable", async () => {
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Data");
    sheet.name = "Renamed";
    await ctx.sync();
    assert.equal(syncError(() => sheet.name).code, "PropertyNotLoaded");
    assert.deepEqual(standin.sheetNames(), ["Sheet1", "Renamed"]);
  });

  test("each method call gives a fresh unloaded proxy; navigation properties are cached", async () => {
    const ctx = new Excel.RequestContext();
    const sheets = ctx.workbook.worksheets;
    const a = sheets.getItem("Sheet1");
    a.load("name");
    await ctx.sync();
    const b = sheets.getItem("Sheet1");
    assert.notEqual(a, b);
    assert.equal(syncError(() => b.name).code, "PropertyNotLoaded");
    const range = a.getRange("A1");
    assert.equal(range.format, range.format);
    assert.equal(range.format.font, range.format.font);
  });

  const forms = [
    ["comma string", "values, address", ["values", "address"]],
    ["array", ["rowIndex", "columnIndex"], ["rowIndex", "columnIndex"]],
    ["select object", { select: "rowCount, columnCount" }, ["rowCount", "columnCount"]],
    ["typed options", { cellCount: true, address: true }, ["cellCount", "address"]],
    ["slash path", "format/font/bold", []],
  ];
  for (const [label, option, names] of forms) {
    test(`load with ${label} loads exactly what it names`, async () => {
      const ctx = new Excel.RequestContext();
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1");
      range.load(option);
      await ctx.sync();
      assert.deepEqual(Object.keys(range.toJSON()).filter((k) => k !== "format").sort(), names.slice().sort());
      for (const n of names) assert.notEqual(range[n], undefined);
      if (label === "slash path") assert.equal(range.format.font.bold, false);
      if (label !== "slash path") assert.equal(syncError(() => range.format.font.bold).code, "PropertyNotLoaded");
    });
  }

  test("$all and no-argument loads fetch every scalar but no navigation", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1");
    const other = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1");
    range.load({ $all: true });
    other.load();
    await ctx.sync();
    for (const r of [range, other]) {
      assert.deepEqual(r.values, [[1, 2]]);
      assert.equal(r.cellCount, 2);
      assert.deepEqual(Object.keys(r.toJSON()).includes("format"), false);
    }
  });

  test("collections: member loads, items/name paths, top and skip, toJSON items", async () => {
    const ctx = new Excel.RequestContext();
    const a = ctx.workbook.worksheets.load("name");
    await ctx.sync();
    assert.deepEqual(a.items.map((s) => s.name), ["Sheet1", "Data"]);
    assert.ok(a.items[0] instanceof Excel.Worksheet);
    assert.deepEqual(a.toJSON(), { items: [{ name: "Sheet1" }, { name: "Data" }] });
    const b = new Excel.RequestContext().workbook.worksheets;
    b.load(["items/name", "items/position"]);
    const c = new Excel.RequestContext().workbook.worksheets;
    c.load({ select: "name", top: 1, skip: 1 });
    await Promise.all([b.context.sync(), c.context.sync()]);
    assert.deepEqual(b.items.map((s) => [s.name, s.position]), [["Sheet1", 0], ["Data", 1]]);
    assert.deepEqual(c.items.map((s) => s.name), ["Data"]);
  });
});

describe("errors at sync", () => {
  test("the failing command is named; earlier commands stay applied, later ones are skipped", async () => {
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    sheet.getRange("A1").values = [[10]];
    sheet.getRange("A2:B2").values = [[1, 2, 3]];
    sheet.getRange("A3").values = [[30]];
    const e = await rejection(ctx.sync());
    assert.ok(e instanceof OfficeExtension.Error);
    assert.equal(e.code, "InvalidArgument");
    assert.equal(e.message, "The number of rows or columns in the input array doesn't match the size or dimensions of the range.");
    assert.equal(e.debugInfo.errorLocation, "Range.values");
    assert.deepEqual(standin.inspect("Sheet1", "A1:A3").values, [[10], [""], [""]]);
  });

  const cases = [
    ["a missing sheet", (ctx) => ctx.workbook.worksheets.getItem("Nope").load("name"), "ItemNotFound", "WorksheetCollection.getItem"],
    ["a bad address", (ctx) => ctx.workbook.worksheets.getItem("Sheet1").getRange("A0").load("address"), "InvalidArgument", "Worksheet.getRange"],
    ["a duplicate sheet", (ctx) => ctx.workbook.worksheets.add("SHEET1"), "ItemAlreadyExists", "WorksheetCollection.add"],
    ["a rename onto another sheet", (ctx) => { ctx.workbook.worksheets.getItem("Data").name = "sheet1"; }, "ItemAlreadyExists", "Worksheet.name"],
    ["a missing setting", (ctx) => ctx.workbook.settings.getItem("k").load("value"), "ItemNotFound", "SettingCollection.getItem"],
    ["no intersection", (ctx) => ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").getIntersection("C3").load("address"), "ItemNotFound", "Range.getIntersection"],
    ["loading an unknown property", (ctx) => ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").load("valuez"), "InvalidArgument", "Range.load"],
  ];
  for (const [label, queue, code, location] of cases) {
    test(`${label} fails with ${code}`, async () => {
      const ctx = new Excel.RequestContext();
      queue(ctx);
      const e = await rejection(ctx.sync());
      assert.equal(e.code, code);
      assert.equal(e.debugInfo.errorLocation, location);
      assert.equal(e.debugInfo.code, code);
    });
  }

  test("Excel.run rejects with the error and the next sync starts clean", async () => {
    const e = await rejection(Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Nope").getRange("A1").values = 1;
      await ctx.sync();
    }));
    assert.equal(e.code, "ItemNotFound");
    await Excel.run(async (ctx) => {
      const r = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").load("values");
      await ctx.sync();
      assert.deepEqual(r.values, [[1]]);
    });
  });

  test("trace markers come back with the error; extended logging adds every statement", async () => {
    OfficeExtension.config.extendedErrorLogging = true;
    try {
      const ctx = new Excel.RequestContext();
      ctx.trace("before");
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").values = [[1, 2]];
      ctx.trace("after");
      const e = await rejection(ctx.sync());
      assert.deepEqual(e.traceMessages, ["before"]);   // only those executed before the error
      assert.ok(e.debugInfo.fullStatements.includes("Range.values"));
    } finally { OfficeExtension.config.extendedErrorLogging = false; }
  });

  test("set() writes nested properties in one call and refuses read-only ones", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A2:B2");
    range.set({ values: [[3, 4]], format: { font: { bold: true }, fill: { color: "#00FF00" } } });
    assert.equal(syncError(() => range.set({ address: "A1" })).code, "InvalidArgument");
    await ctx.sync();
    assert.deepEqual(standin.inspect("Sheet1", "A2:B2"), {
      values: [[3, 4]], formulas: [[3, 4]], numberFormat: [["General", "General"]], text: [["3", "4"]],
      fillColor: "#00FF00", bold: true,
    });
  });

  test("loads of a failed sync leave their objects unloaded", async () => {
    const ctx = new Excel.RequestContext();
    const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").load("values");
    ctx.workbook.worksheets.getItem("Nope").load("name");
    await rejection(ctx.sync());
    assert.equal(syncError(() => range.values).code, "PropertyNotLoaded");
  });
});

describe("null objects", () => {
  test("OrNullObject gives a proxy whose isNullObject is known after sync", async () => {
    const ctx = new Excel.RequestContext();
    const missing = ctx.workbook.worksheets.getItemOrNullObject("Nope");
    const found = ctx.workbook.worksheets.getItemOrNullObject("data");
    const blank = ctx.workbook.worksheets.getItem("Data").getUsedRangeOrNullObject();
    const none = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").getIntersectionOrNullObject("D4");
    const setting = ctx.workbook.settings.getItemOrNullObject("k");
    for (const o of [missing, found, blank, none, setting]) assert.ok(o !== null && typeof o === "object");
    await ctx.sync();
    assert.deepEqual([missing, found, blank, none, setting].map((o) => o.isNullObject), [true, false, true, true, true]);
    missing.load("name");
    await ctx.sync();
    assert.equal(syncError(() => missing.name).code, "PropertyNotLoaded");
  });

  test("a blank sheet's getUsedRange is A1", async () => {
    const ctx = new Excel.RequestContext();
    const used = ctx.workbook.worksheets.getItem("Data").getUsedRange().load("address");
    const full = ctx.workbook.worksheets.getItem("Sheet1").getUsedRange().load("address");
    await ctx.sync();
    assert.equal(used.address, "Data!A1");
    assert.equal(full.address, "Sheet1!A1:B1");
    const inRange = ctx.workbook.worksheets.getItem("Sheet1").getRange("B1:C5").getUsedRange().load("address");
    const none = ctx.workbook.worksheets.getItem("Sheet1").getRange("C1:C5").getUsedRangeOrNullObject();
    await ctx.sync();
    assert.deepEqual([inRange.address, none.isNullObject], ["Sheet1!B1", true]);
    ctx.workbook.worksheets.getItem("Sheet1").getRange("C1:C5").getUsedRange().load("address");
    assert.equal((await rejection(ctx.sync())).code, "ItemNotFound");
  });
});

describe("object lifetime", () => {
  test("an untracked range dies with the request that used it on a bare context", async () => {
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const kept = sheet.getRange("A1");
    const dropped = sheet.getRange("B1");
    ctx.trackedObjects.add(kept);
    kept.load("values"); dropped.load("values");
    await ctx.sync();
    kept.values = 5;
    const e = syncError(() => { dropped.values = 5; });
    assert.equal(e.code, "InvalidObjectPath");
    assert.match(e.message, /getRange\(\)/);
    assert.equal(syncError(() => dropped.format.font.bold = true).code, "InvalidObjectPath");
    assert.equal(syncError(() => dropped.load("values")).code, "InvalidObjectPath");
    sheet.load("name"); // a worksheet's path can be replayed
    await ctx.sync();
    assert.deepEqual(standin.inspect("Sheet1", "A1").values, [[5]]);
  });

  test("untracking takes effect after the next sync", async () => {
    const ctx = new Excel.RequestContext();
    const r = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1");
    r.track();
    r.load("values");
    await ctx.sync();
    r.untrack();
    r.load("address");
    await ctx.sync();
    assert.equal(r.address, "Sheet1!A1");
    assert.equal(syncError(() => r.load("values")).code, "InvalidObjectPath");
  });

  test("inside Excel.run objects live across syncs; afterwards only via run(object)", async () => {
    let range;
    await Excel.run(async (ctx) => {
      range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1").load("values");
      await ctx.sync();
      range.values = 9;
      await ctx.sync();
    });
    assert.equal(syncError(() => range.load("values")).code, "InvalidObjectPath");
    let tracked;
    await Excel.run(async (ctx) => {
      tracked = ctx.workbook.worksheets.getItem("Sheet1").getRange("B1");
      ctx.trackedObjects.add(tracked);
      tracked.load("values");
    });
    await Excel.run(tracked, async (ctx) => {
      assert.equal(ctx, tracked.context);
      tracked.values = 8;
      ctx.trackedObjects.remove(tracked);
    });
    assert.deepEqual(standin.inspect("Sheet1", "A1:B1").values, [[9, 8]]);
  });

  test("an object from another context is refused", () => {
    const a = new Excel.RequestContext();
    const b = new Excel.RequestContext();
    const range = a.workbook.worksheets.getItem("Sheet1").getRange("A1");
    assert.equal(syncError(() => b.trackedObjects.add(range)).code, "InvalidRequestContext");
    assert.equal(syncError(() => b.workbook.worksheets.getItem("Sheet1").getRange("A1").getIntersection(range)).code, "InvalidRequestContext");
  });
});

describe("ClientResult", () => {
  test("scalar-returning methods fill their result at sync", async () => {
    const ctx = new Excel.RequestContext();
    const n = ctx.workbook.worksheets.getCount();
    ctx.workbook.worksheets.add("Third");
    const m = ctx.workbook.worksheets.getCount();
    assert.ok(n instanceof OfficeExtension.ClientResult);
    await ctx.sync();
    assert.deepEqual([n.value, m.value], [2, 3]);
  });
});
