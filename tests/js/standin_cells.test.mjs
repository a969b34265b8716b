// The Office.js stand-in: cell semantics, addresses, formulas, number formats and range formats.
import { test, describe, beforeEach } from "node:test";
import assert from "node:assert/strict";
import * as standin from "../../python_server/veltrum/com_like_host/standin/index.mjs";

const { Excel } = globalThis;

beforeEach(() => standin.resetWorkbook({ sheets: ["Sheet1", "My Sheet"] }));

// One Excel.run: write(sheet) queues writes, then `props` of `address` are loaded and returned.
async function roundTrip(write, address, props = "values", sheetName = "Sheet1") {
  return Excel.run(async (ctx) => {
    const sheet = ctx.workbook.worksheets.getItem(sheetName);
    write(sheet);
    const range = sheet.getRange(address).load(props);
    await ctx.sync();
    return range.toJSON();
  });
}

async function syncFailure(write) {
  try {
    await Excel.run(async (ctx) => { write(ctx.workbook.worksheets.getItem("Sheet1")); await ctx.sync(); });
  } catch (e) { return e; }
  throw new Error("expected a failure");
}

describe("writing values", () => {
  const typed = [
    ["a number", 3.5, 3.5, "Double"],
    ["a boolean", true, true, "Boolean"],
    ["numeric text", " -1e3 ", -1000, "Double"],
    ["TRUE text in any case", "tRuE", true, "Boolean"],
    ["plain text", "hello", "hello", "String"],
    ["a lone equals sign", "=", "=", "String"],
    ["signed text that is not a number", "-abc", "-abc", "String"],
    ["a formula", "=1+2*3", 7, "Double"],
    ["a JS Date, sent as its JSON text", new Date(Date.UTC(2024, 0, 2)), "2024-01-02T00:00:00.000Z", "String"],
  ];
  for (const [label, input, value, type] of typed) {
    test(`typed input: ${label}`, async () => {
      const out = await roundTrip((s) => { s.getRange("B2").values = [[input]]; }, "B2", "values, valueTypes");
      assert.deepEqual(out, { values: [[value]], valueTypes: [[type]] });
    });
  }

  test("a scalar fills the range and relative references move", async () => {
    const out = await roundTrip((s) => {
      s.getRange("A1:A3").values = [[1], [2], [3]];
      s.getRange("B1:C3").formulas = "=$A1*2+A$1";
    }, "B1:C3", "values, formulas");
    assert.deepEqual(out.formulas, [["=$A1*2+A$1", "=$A1*2+B$1"], ["=$A2*2+A$1", "=$A2*2+B$1"], ["=$A3*2+A$1", "=$A3*2+B$1"]]);
    assert.deepEqual(out.values, [[3, 5], [5, 7], [7, 9]]);
  });

  test("null inside the array keeps a cell; NaN travels as null; \"\" clears", async () => {
    const out = await roundTrip((s) => {
      s.getRange("A1:E1").values = [[1, 2, 3, 4, 5]];
      s.getRange("A1:E1").values = [[null, "", NaN, undefined, () => 0]];
    }, "A1:E1", "values, valueTypes");
    assert.deepEqual(out, { values: [[1, "", 3, 4, 5]], valueTypes: [["Double", "Empty", "Double", "Double", "Double"]] });
  });

  const badShapes = [
    ["too many rows", [[1, 2], [3, 4], [5, 6]]],
    ["too few rows (only a 1 x 1 array fills)", [[1, 2]]],
    ["a short row", [[1, 2], [3]]],
    ["a flat array", [1, 2, 3, 4]],
    ["null as the whole value", null],
    ["an object in a cell", [[{}, 1], [2, 3]]],
  ];
  for (const [label, input] of badShapes) {
    test(`${label} fails with InvalidArgument and changes nothing`, async () => {
      const e = await syncFailure((s) => { s.getRange("A1:B2").values = input; });
      assert.equal(e.code, "InvalidArgument");
      assert.equal(e.debugInfo.errorLocation, "Range.values");
      assert.equal(standin.storedCellCount("Sheet1"), 0);
    });
  }

  test("dates travel as serial numbers and display through their format", async () => {
    const out = await roundTrip((s) => {
      const r = s.getRange("A1:A5");
      r.values = [[45292], [45292.75], [60], [61], [1]];
      r.numberFormat = [["yyyy-mm-dd"], ["yyyy-mm-dd hh:mm"], ["m/d/yyyy"], ["dddd d mmm yyyy"], ["h:mm AM/PM"]];
    }, "A1:A5", "values, text");
    assert.deepEqual(out.values, [[45292], [45292.75], [60], [61], [1]]);
    assert.deepEqual(out.text, [["2024-01-01"], ["2024-01-01 18:00"], ["2/29/1900"], ["Thursday 1 Mar 1900"], ["12:00 AM"]]);
  });

  const shown = [
    [1234.5, "General", "1234.5"], [1 / 3, "General", "0.3333333333"], [1e12, "General", "1E+12"],
    [1234.567, "#,##0.00", "1,234.57"], [0.256, "0.0%", "25.6%"], [-5, "0", "-5"],
    [3, '0 "items"', "3 items"], [-2, "0;(0)", "(2)"], [true, "General", "TRUE"], ["x", "0.00", "x"],
  ];
  test("text shows values through their number formats", async () => {
    const out = await roundTrip((s) => {
      const r = s.getRange(`A1:A${shown.length}`);
      r.values = shown.map(([v]) => [v]);
      r.numberFormat = shown.map(([, f]) => [f]);
    }, `A1:A${shown.length}`, "text, numberFormat");
    assert.deepEqual(out.text, shown.map(([, , t]) => [t]));
    assert.deepEqual(out.numberFormat, shown.map(([, f]) => [f]));
  });

  test("numberFormat defaults to General; \"\" resets it; null keeps it", async () => {
    const out = await roundTrip((s) => {
      s.getRange("A1:C1").numberFormat = [["0.00", "0%", "@"]];
      s.getRange("A1:C1").numberFormat = [["", null, "General"]];
    }, "A1:D1", "numberFormat");
    assert.deepEqual(out.numberFormat, [["General", "0%", "General", "General"]]);
  });
});

describe("formulas", () => {
  const cells = { A1: 1, A2: 2, A3: "text", A4: true, A5: "", B1: 0 };
  const formulas = [
    ["=A1+A2*3", 7], ["=(A1+A2)*3", 9], ["=-A2-1", -3], ["=10/4/5", 0.5], ["=2-3-4", -5],
    ["=sum(A1:A5)", 3], ["=AVERAGE(A1:A5, 3)", 2], ["=MIN(A3:A5)", 0], ["=MAX(A1:A2, -1)", 2],
    ["=COUNT(A1:A5, A3)", 2], ["=A4+A5", 1], ["=A3", "text"], ["=A4", true], ["=A5", 0], ["=-A4", -1], ["=$a$1*2", 2],
    ["=A1/B1", "#DIV/0!"], ["=A3+1", "#VALUE!"], ["=AVERAGE(A3:A5)", "#DIV/0!"],
    ["=SUM(A1, A1/B1)", "#DIV/0!"], ["=FOO(A1)", "#NAME?"], ["=A1+", "#NAME?"], ["=A1:A2", "#NAME?"],
    ["=Sheet2!A1", "#NAME?"], ["=(A1/B1)+A3", "#DIV/0!"], ["=A3+A1/B1", "#VALUE!"],
  ];
  for (const [formula, expected] of formulas) {
    test(`${formula} reads ${JSON.stringify(expected)}`, async () => {
      standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells }] });
      const out = await roundTrip((s) => { s.getRange("C1").formulas = [[formula]]; }, "C1", "values, formulas, valueTypes");
      assert.deepEqual(out.values, [[expected]]);
      assert.deepEqual(out.formulas, [[formula]]);
      const kind = { number: "Double", boolean: "Boolean" }[typeof expected]
        ?? (String(expected).startsWith("#") ? "Error" : "String");
      assert.equal(out.valueTypes[0][0], kind);
    });
  }

  test("results follow later changes of their inputs; cycles read 0", async () => {
    standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { A1: 1, B1: "=A1*10", C1: "=D1+1", D1: "=C1+1", E1: "=C1+5" } }] });
    const out = await roundTrip((s) => { s.getRange("A1").values = 4; }, "B1:E1");
    assert.deepEqual(out.values, [[40, 0, 0, 5]]);
  });
});

describe("addresses and sheets", () => {
  const addresses = [
    ["a1", "Sheet1!A1", 1, 1], ["A:XFD", "Sheet1!A:XFD", 1048576, 16384], ["$B$2:c3", "Sheet1!B2:C3", 2, 2], ["B:B", "Sheet1!B:B", 1048576, 1],
    ["b:d", "Sheet1!B:D", 1048576, 3], ["2:2", "Sheet1!2:2", 1, 16384], ["5:2", "Sheet1!2:5", 4, 16384],
    ["C3:A1", "Sheet1!A1:C3", 3, 3], ["XFD1048576", "Sheet1!XFD1048576", 1, 1],
  ];
  for (const [input, address, rows, cols] of addresses) {
    test(`getRange("${input}") reads ${address}`, async () => {
      const out = await roundTrip(() => {}, input, "address, rowCount, columnCount, cellCount");
      assert.deepEqual(out, { address, rowCount: rows, columnCount: cols, cellCount: rows * cols });
    });
  }

  for (const bad of ["A0", "XFE1", "A1048577", "1:0", "A1:", "Sheet1!A1", "", " , "]) {
    test(`getRange/getRanges("${bad}") fails with InvalidArgument`, async () => {
      const e = await syncFailure((s) => (bad.includes(",") || bad === "" ? s.getRanges(bad) : s.getRange(bad)).load("address"));
      assert.equal(e.code, "InvalidArgument");
    });
  }

  test("whole rows and columns read null cell data and refuse writes", async () => {
    const out = await roundTrip(() => {}, "B:B", "values, text, numberFormat, formulas, address");
    assert.deepEqual(out, { values: null, text: null, numberFormat: null, formulas: null, address: "Sheet1!B:B" });
    assert.equal((await syncFailure((s) => { s.getRange("2:2").values = 1; })).code, "InvalidArgument");
  });

  test("sheet names quote when needed and match in any case", async () => {
    const out = await roundTrip(() => {}, "A1:B2", "address", "my sheet");
    assert.equal(out.address, "'My Sheet'!A1:B2");
  });

  test("range navigation computes from the top-left corner", async () => {
    const out = await Excel.run(async (ctx) => {
      const r = ctx.workbook.worksheets.getItem("Sheet1").getRange("B2:D4");
      const list = [r.getCell(1, 1), r.getCell(5, 0), r.getRow(2), r.getColumn(0), r.getOffsetRange(1, -1),
        r.getResizedRange(-1, 2), r.getBoundingRect("F8"), r.getIntersection("C3:H9"), r.getEntireRow(),
        r.getEntireColumn(), r.getLastCell()];
      list.forEach((x) => x.load("address"));
      await ctx.sync();
      return list.map((x) => x.address.replace("Sheet1!", ""));
    });
    assert.deepEqual(out, ["C3", "B7", "B4:D4", "B2:B4", "A3:C5", "B2:F3", "B2:F8", "C3:D4", "2:4", "B:D", "D4"]);
  });

  test("moving a range off the sheet fails with InvalidArgument", async () => {
    const e = await syncFailure((s) => s.getRange("A1").getOffsetRange(-1, 0).load("address"));
    assert.equal(e.code, "InvalidArgument");
  });

  test("worksheets: add, rename, position, activate, delete", async () => {
    await Excel.run(async (ctx) => {
      const ws = ctx.workbook.worksheets;
      const added = ws.add();
      added.load("name, position, id");
      ws.getItem("my sheet").position = 0;
      ws.getItem("Sheet1").activate();
      await ctx.sync();
      assert.deepEqual([added.name, added.position], ["Sheet3", 2]);
      assert.match(added.id, /^\{[0-9A-F-]+\}$/);
      ws.getItem(added.id).delete();
      const active = ws.getActiveWorksheet().load("name");
      await ctx.sync();
      assert.equal(active.name, "Sheet1");
    });
    assert.deepEqual(standin.sheetNames(), ["My Sheet", "Sheet1"]);
    const e = await syncFailure((s) => { s.name = "bad/name"; });
    assert.equal(e.code, "InvalidArgument");
  });

  test("the last sheet cannot be deleted", async () => {
    standin.resetWorkbook();
    assert.equal((await syncFailure((s) => s.delete())).code, "InvalidOperation");
  });
});

describe("range formats", () => {
  test("fill and font apply to the range; disagreeing cells read null", async () => {
    const out = await Excel.run(async (ctx) => {
      const s = ctx.workbook.worksheets.getItem("Sheet1");
      s.getRange("A1:B2").format.fill.color = "#ff0000";
      s.getRange("B:B").format.font.bold = true;
      s.getRange("A2").format.font.color = "blue";
      const reads = ["A1:B2", "A1:A2", "B5", "C1"].map((a) => s.getRange(a).load("format/fill/color, format/font/bold, format/font/color"));
      await ctx.sync();
      return reads.map((r) => [r.format.fill.color, r.format.font.bold, r.format.font.color]);
    });
    assert.deepEqual(out, [["#FF0000", null, null], ["#FF0000", false, null], ["#FFFFFF", true, "#000000"], ["#FFFFFF", false, "#000000"]]);
  });

  test("clear removes contents and formats; Contents keeps formats", async () => {
    standin.resetWorkbook({ sheets: [{ name: "Sheet1", cells: { "A1:B1": { value: 5, numberFormat: "0.0" } } }] });
    const out = await roundTrip((s) => {
      s.getRange("A1:B1").format.fill.color = "#00FF00";
      s.getRange("A1").clear(Excel.ClearApplyTo.contents);
      s.getRange("B1").clear();
    }, "A1:B1", "values, numberFormat, format/fill/color");
    assert.deepEqual(out.values, [["", ""]]);
    assert.deepEqual(out.numberFormat, [["0.0", "General"]]);
    assert.deepEqual(standin.inspect("Sheet1", "A1").fillColor, "#00FF00");
    assert.deepEqual(standin.inspect("Sheet1", "B1").fillColor, "#FFFFFF");
  });

  test("a bad color or a non-boolean bold fails at sync", async () => {
    assert.equal((await syncFailure((s) => { s.getRange("A1").format.fill.color = "#12"; })).code, "InvalidArgument");
    assert.equal((await syncFailure((s) => { s.getRange("A1").format.font.bold = "yes"; })).code, "InvalidArgument");
  });
});
