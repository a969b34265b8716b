// GET, GETITEM, SET and CALL against the stand-in: references, loads, error
// texts, null objects, releases.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, plain, standin } from "./executor-harness.mjs";

describe("fixed objects and references", () => {
  test("ids 0 and 1 are the context and the Excel namespace; type names follow Excel's classes", async () => {
    const h = harness({ sheets: ["Sheet1", "Data"] });
    const wb = await h.get(0, "workbook");
    assert.equal(wb.type, "Workbook");
    assert.ok(wb.value >= 6);
    const ws = await h.get(wb.value, "worksheets");
    assert.equal(ws.type, "WorksheetCollection");
    const getItem = await h.get(ws.value, "getItem");
    assert.equal(getItem.type, "Function");
    const sheet = await h.call(getItem.value, rec.str("Data"));
    assert.equal(sheet.type, "Worksheet");
    const range = await h.method(sheet.value, "getRange", rec.str("A1"));
    assert.equal(range.type, "Range");
    assert.equal((await h.get(range.value, "format")).type, "RangeFormat");
    assert.equal((await h.get(1, "Range")).type, "Function");
    const handlers = await h.get(sheet.value, "onChanged");
    assert.equal(handlers.type, "EventHandlers");
  });

  test("ids count up and are never reused, even by a second executor", async () => {
    const h1 = harness();
    const a = (await h1.get(0, "workbook")).value;
    h1.ex.release([a]);
    const b = (await h1.get(0, "workbook")).value;
    const h2 = harness();
    const c = (await h2.get(0, "workbook")).value;
    assert.ok(a < b && b < c, `${a} ${b} ${c}`);
  });

  test("a released id is refused; ids 0 to 5 are never forgotten", async () => {
    const h = harness();
    const wb = (await h.get(0, "workbook")).value;
    h.ex.release([wb, 0, 1, 2, 3, 4, 5, "junk", null]);
    const text = await h.fails({ method: "GET", name: "name", caller: wb });
    assert.match(text, /^InvalidReference: object id \d+ is unknown/);
    assert.equal((await h.get(0, "workbook")).type, "Workbook");
    assert.equal((await h.get(1, "Range")).type, "Function");
    assert.equal((await h.get(5, "commit")).type, "Function");
    assert.deepEqual(plain(await h.call(2, rec.str("nothing"))), null);
  });
});

describe("GET", () => {
  test("a scalar is loaded on PropertyNotLoaded and read fresh every time", async () => {
    const h = harness();
    const a1 = await h.range("A1");
    const b1 = await h.range("B1");
    await h.set(a1, "values", rec.of([[2]]));
    await h.set(b1, "values", rec.of([["=A1*10"]]));
    assert.deepEqual(await h.values(b1), [[20]]);
    await h.set(a1, "values", rec.of([[3]]));
    // B1's proxy holds its earlier load; a stale read would say 20.
    assert.deepEqual(await h.values(b1), [[30]]);
    // Typed input: what was assigned is not what Excel stored.
    await h.set(a1, "values", rec.of([["12"]]));
    assert.deepEqual(await h.values(a1), [[12]]);
  });

  test("an unknown member fails clearly instead of reading undefined", async () => {
    const h = harness();
    const r = await h.range("A1");
    assert.match(await h.fails({ method: "GET", name: "valuez", caller: r }), /^InvalidArgument: Range has no member 'valuez'\. Did you mean 'values'\? Members of Range: address, /);
    assert.match(await h.fails({ method: "GET", name: "x", caller: 2 }), /^InvalidArgument: a function has no members/);
  });

  test("a bad argument of a proxy-returning method is reported on the proxy's first use, with its code", async () => {
    const h = harness();
    const sheet = await h.sheet("Nope");
    const text = await h.fails({ method: "GET", name: "name", caller: sheet });
    // The text names the call that made the object.
    assert.match(text, /^ItemNotFound: Context\.workbook\.worksheets\.getItem\("Nope"\): The requested resource doesn't exist\. \(WorksheetCollection\.getItem\)$/);
    const bad = await h.range("A1:ZZZZZ9");
    const good = await h.range("A1");
    assert.match(await h.fails({ method: "GET", name: "values", caller: bad }),
      /^InvalidArgument: Context\.workbook\.worksheets\.getItem\("Sheet1"\)\.getRange\("A1:ZZZZZ9"\): /);
    // Only the request that uses the bad range fails, not a later one.
    assert.deepEqual(await h.values(good), [[""]]);
  });

  test("a failed read says whether the member is missing", async () => {
    const h = harness();
    const sheet = await h.sheet("Nope");
    for (const [name, missing] of [["name", false], ["zebra", true]]) {
      const r = await h.send({ method: "GET", name, caller: sheet });
      assert.equal(r.ok, false);
      assert.equal(r.error.missingMember, missing, name);
    }
    const r = await h.send({ method: "SET", name: "name", caller: sheet, value: rec.str("x") });
    assert.equal(r.ok, false);
    assert.equal("missingMember" in r.error, false);
  });

  test("keywords take the places of the parameters they name", async () => {
    const h = harness();
    const a1 = await h.range("A1");
    const fn = (await h.get(a1, "getOffsetRange")).value;
    const named = (name, value) => ({ arg_type: "NAMED", name, value });
    const moved = await h.ok({ method: "CALL", name: "__call__", caller: fn,
      args: [{ arg_type: "PLACED", value: rec.int(1) }, named("columnOffset", rec.int(2))] });
    assert.equal(plain(await h.get(moved.value, "address")), "Sheet1!C2");
    const twice = await h.fails({ method: "CALL", name: "__call__", caller: fn,
      args: [{ arg_type: "PLACED", value: rec.int(1) }, named("rowOffset", rec.int(2))] });
    assert.match(twice, /^InvalidArgument: Range\.getOffsetRange\(\) got multiple values for parameter 'rowOffset'/);
  });

  test("null objects: isNullObject is readable right after the call", async () => {
    const h = harness();
    const ws = await h.worksheets();
    const missing = await h.method(ws, "getItemOrNullObject", rec.str("Nope"));
    const present = await h.method(ws, "getItemOrNullObject", rec.str("sheet1"));
    assert.equal(plain(await h.get(missing.value, "isNullObject")), true);
    assert.equal(plain(await h.get(present.value, "isNullObject")), false);
    assert.equal(plain(await h.get(present.value, "name")), "Sheet1");
  });
});

describe("GETITEM", () => {
  test("arrays take Python indexes and slices", async () => {
    const h = harness();
    const r = await h.range("A1:E1");
    await h.set(r, "values", rec.of([[10, 20, 30, 40, 50]]));
    const row = (await h.get(r, "values")).value[0].id;
    const cases = [["0", 10], ["-1", 50], ["True", 20], ["1:3:", [20, 30]], ["::2", [10, 30, 50]],
      ["::-1", [50, 40, 30, 20, 10]], ["-2::", [40, 50]], ["3:1:-1", [40, 30]], ["9:20:", []]];
    for (const [key, expected] of cases) assert.deepEqual(plain(await h.getItem(row, key)), expected, key);
    assert.match(await h.fails({ method: "GETITEM", name: "5", caller: row }), /^InvalidArgument: index 5 is out of range/);
    assert.match(await h.fails({ method: "GETITEM", name: "::0", caller: row }), /step cannot be zero/);
  });

  test("collections by position, worksheets by address slice", async () => {
    const h = harness({ sheets: ["One", "Two", "Three"] });
    const ws = await h.worksheets();
    assert.equal(plain(await h.get((await h.getItem(ws, "-1")).value, "name")), "Three");
    assert.equal(plain(await h.get((await h.getItem(ws, "1")).value, "name")), "Two");
    assert.match(await h.fails({ method: "GETITEM", name: "3", caller: ws }), /^(ItemNotFound|InvalidArgument)/);
    const sheet = await h.sheet("Two");
    const block = await h.getItem(sheet, "A1:B2:");
    assert.equal(block.type, "Range");
    assert.equal(plain(await h.get(block.value, "address")), "Two!A1:B2");
    const cell = await h.getItem(sheet, "C3::");
    assert.equal(plain(await h.get(cell.value, "address")), "Two!C3");
  });
});

describe("SET", () => {
  test("only existing, writable properties of Office.js objects can be assigned", async () => {
    const h = harness();
    const r = await h.range("A1");
    const cases = [
      [r, "valuez", /^InvalidArgument: Range has no member 'valuez'\. Did you mean 'values'\?/],
      [r, "address", /^InvalidOperation: Range\.address is read-only$/],
      [r, "getCell", /^InvalidOperation: Range\.getCell is a method/],
      [1, "run", /^InvalidOperation: members of Excel cannot be assigned$/],
      [2, "x", /^InvalidOperation: members of GetSetting\(\) cannot be assigned$/],
    ];
    for (const [caller, name, pattern] of cases) {
      assert.match(await h.fails({ method: "SET", name, value: rec.int(1), caller }), pattern);
    }
    assert.equal(standin.inspect("Sheet1", "A1").values[0][0], "");
  });

  test("a write reports its own error: a shape mismatch fails the SET, not a later request", async () => {
    const h = harness();
    const r = await h.range("A1:B2");
    const text = await h.fails({ method: "SET", name: "values", value: rec.of([[1, 2, 3]]), caller: r });
    assert.match(text, /^InvalidArgument: The number of rows or columns in the input array doesn't match/);
    assert.match(text, /\(Range\.values\)$/);
    assert.deepEqual(await h.values(r), [["", ""], ["", ""]]);
  });

  test("navigation then scalar: format.fill.color and font.bold", async () => {
    const h = harness();
    const r = await h.range("A1:B1");
    const fmt = (await h.get(r, "format")).value;
    const fill = (await h.get(fmt, "fill")).value;
    const font = (await h.get(fmt, "font")).value;
    await h.set(fill, "color", rec.str("#4472C4"));
    await h.set(font, "bold", rec.bool(true));
    assert.equal(plain(await h.get(fill, "color")), "#4472C4");
    assert.equal(plain(await h.get(font, "bold")), true);
  });
});

describe("CALL", () => {
  test("ClientResult values are synced and returned", async () => {
    const h = harness({ sheets: ["A", "B", "C"] });
    const ws = await h.worksheets();
    assert.equal(plain(await h.method(ws, "getCount")), 3);
  });

  test("a workbook-changing call reports its own error with the Office.js code", async () => {
    const h = harness();
    const ws = await h.worksheets();
    const add = (await h.get(ws, "add")).value;
    assert.match(await h.callFails(add, rec.str("SHEET1")), /^ItemAlreadyExists: /);
    assert.equal(plain(await h.get((await h.call(add, rec.str("New"))).value, "name")), "New");
  });

  test("NAMED arguments of a method outside the members table travel as one trailing options object", async () => {
    const h = harness();
    const r = await h.range("A1:B2");
    await h.set(r, "values", rec.of([[1, 2], [3, 4]]));
    // The members table has Range.load, not Worksheet.load.
    const ws = (await h.get(r, "worksheet")).value;
    const load = (await h.get(ws, "load")).value;
    const loaded = await h.ok({ method: "CALL", name: "__call__", caller: load,
      args: [{ arg_type: "NAMED", name: "select", value: rec.str("name") }] });
    assert.equal(loaded.type, "Worksheet");
    assert.equal(plain(await h.get(loaded.value, "name")), "Sheet1");
  });

  test("calling something that is not a function fails and sends nothing", async () => {
    const h = harness();
    assert.match(await h.callFails(0), /^InvalidArgument: RequestContext is not a function/);
    assert.match(await h.fails({ method: "CALL", name: "__call__", caller: 2, args: "x" }),
      /^InvalidArgument: the call's args must be a list/);
  });
});

describe("roots", () => {
  test("Union gives one RangeAreas; ranges on two sheets are refused", async () => {
    const h = harness({ sheets: ["Sheet1", "Other"] });
    const a = await h.range("A1:B2");
    const d = await h.range("D4");
    const u = await h.call(3, rec.ref(a, "Range"), rec.ref(d, "Range"));
    assert.equal(u.type, "RangeAreas");
    assert.equal(plain(await h.get(u.value, "address")), "Sheet1!A1:B2, Sheet1!D4");
    const o = await h.range("A1", "Other");
    assert.match(await h.callFails(3, rec.ref(a, "Range"), rec.ref(o, "Range")), /^InvalidArgument: Union: all ranges must be on one worksheet/);
    assert.match(await h.callFails(3, rec.int(1)), /^InvalidArgument: Union expects Range objects/);
  });

  test("Intersect gives the overlap, or None; the result outlives later syncs", async () => {
    const h = harness();
    const a = await h.range("A1:C3");
    const b = await h.range("B2:D4");
    const c = await h.range("C3:E5");
    const x = await h.call(4, rec.ref(a), rec.ref(b), rec.ref(c));
    assert.equal(x.type, "Range");
    await h.get(0, "workbook");
    assert.equal(plain(await h.get(x.value, "address")), "Sheet1!C3");
    const far = await h.range("Z9");
    assert.equal(plain(await h.call(4, rec.ref(a), rec.ref(far))), null);
    assert.match(await h.callFails(4, rec.ref(a)), /^InvalidArgument: Intersect needs at least 2 ranges/);
  });

  test("GetSetting reads a workbook setting, None when absent", async () => {
    const h = harness({ settings: { colour: "blue", size: { w: 2 } } });
    assert.equal(plain(await h.call(2, rec.str("colour"))), "blue");
    assert.deepEqual(plain(await h.call(2, rec.str("size"))), { w: 2 });
    assert.equal(plain(await h.call(2, rec.str("absent"))), null);
    assert.match(await h.callFails(2), /^InvalidArgument: GetSetting\(name\)/);
  });
});

describe("release", () => {
  test("releasing ranges forgets them and untracks them once no id holds them", async () => {
    const h = harness();
    const r = await h.range("A1:B2");
    const fmt = (await h.get(r, "format")).value;
    assert.equal(h.ex.trackedCount, 1);
    h.ex.release([r]);
    // The format's path goes through the range: still tracked, still usable.
    assert.equal(h.ex.trackedCount, 1);
    const fill = await h.get(fmt, "fill");
    const before = h.ex.objectCount;
    assert.equal(fill.type, "RangeFill");
    h.ex.release([fmt]);
    assert.equal(h.ex.trackedCount, 1);
    h.ex.release([fill.value]);
    assert.equal(h.ex.trackedCount, 0);
    assert.equal(h.ex.objectCount, before - 2);
  });

  test("a failed request takes back the ids it issued", async () => {
    const h = harness();
    const ws = await h.worksheets();
    const before = h.ex.objectCount;
    await h.fails({ method: "GETITEM", name: "7", caller: ws });
    assert.equal(h.ex.objectCount, before);
  });

  test("a DEL that reaches execute is answered and releases", async () => {
    const h = harness();
    const wb = (await h.get(0, "workbook")).value;
    const r = await h.send({ method: "DEL", name: "__del__", caller: wb });
    assert.equal(r.ok, true);
    assert.match(await h.fails({ method: "GET", name: "name", caller: wb }), /^InvalidReference/);
  });
});
