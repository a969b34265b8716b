// Value records: every kind decoded and encoded, alone and through a cell
// write and read-back.

import { test, describe } from "node:test";
import assert from "node:assert/strict";
import { harness, rec, plain, standin } from "./executor-harness.mjs";
import { decode, encode, dateSerial } from "../../python_server/veltrum/com_like_host/addin/values.mjs";

const noHooks = {
  lookup: (id) => ({ obj: id }),
  callable: (id) => `callable:${id}`,
};
let nextId = 100;
const encHooks = {
  reference: (value, holder, key) => ({ type: "Ref", value: String(key), isSpec: true }),
  container: () => nextId++,
};

describe("decoding", () => {
  const cases = [
    ["Null", rec.null(), null],
    ["Bool true", rec.bool(true), true],
    ["Bool from 0", { type: "Bool", value: 0, isSpec: false }, false],
    ["Int", rec.int(42), 42],
    ["Int from text", rec.int("12"), 12],
    ["Float", rec.float(2.5), 2.5],
    ["Float NaN sent as null", rec.float(null), null],
    ["String", rec.str("héllo"), "héllo"],
    ["String from a number", rec.str(5), "5"],
    ["Date outside cells stays ISO text", rec.date("2024-01-02T03:04:05"), "2024-01-02T03:04:05"],
    ["Bytes as Base64 text", rec.bytes("AAEC"), "AAEC"],
    ["empty Bytes", rec.bytes(null), ""],
    ["Array nested", rec.arr([rec.int(1), rec.arr([rec.str("a")])]), [1, ["a"]]],
    ["Array with no value", { type: "Array", value: null, isSpec: false }, []],
    ["Dict", rec.dict({ a: rec.int(1), b: rec.null() }), { a: 1, b: null }],
    ["reference", rec.ref(7, "Range"), { obj: 7 }],
    ["Python function", rec.fn("pyfunc_ab_1"), "callable:pyfunc_ab_1"],
  ];
  for (const [name, record, expected] of cases) {
    test(name, () => assert.deepEqual(decode(record, noHooks), expected));
  }

  test("cell data: None and NaN empty the cell, dates become serials", () => {
    const row = rec.arr([rec.null(), rec.float(null), rec.date("2024-01-02T12:00:00"), rec.date("not a date")]);
    assert.deepEqual(decode(rec.arr([row]), noHooks, true), [["", "", 45293.5, "not a date"]]);
    assert.equal(decode(rec.null(), noHooks, true), "");
  });

  for (const text of ["Infinity", "-Infinity"]) {
    test(`cell data refuses ${text} with InvalidArgument; elsewhere it is a number`, () => {
      assert.throws(() => decode(rec.arr([rec.arr([rec.int(1), rec.float(text)])]), noHooks, true),
        (e) => e.code === "InvalidArgument" && /infinite/.test(e.message));
      assert.equal(decode(rec.float(text), noHooks), Number(text));
    });
  }

  const bad = [
    ["not an object", 5],
    ["a list", []],
    ["unknown plain tag", { type: "Widget", value: 1, isSpec: false }],
    ["Int holding text", rec.int("twelve")],
    ["Int holding a boolean", rec.int(true)],
    ["Array holding a dict", { type: "Array", value: { a: 1 }, isSpec: false }],
    ["Dict holding a list", { type: "Dict", value: [1], isSpec: false }],
    ["element not a record", rec.arr([1])],
  ];
  for (const [name, record] of bad) {
    test(`refuses ${name} with InvalidArgument`, () => {
      assert.throws(() => decode(record, noHooks), (e) => e.code === "InvalidArgument");
    });
  }

  test("refuses nesting deeper than the limit instead of overflowing the stack", () => {
    let r = rec.int(1);
    for (let i = 0; i < 10000; i++) r = rec.arr([r]);
    assert.throws(() => decode(r, noHooks), (e) => e.code === "InvalidArgument");
  });
});

describe("dates to serials", () => {
  const cases = [
    ["2024-01-02", 45293],
    ["2024-01-02T18:00:00", 45293.75],
    ["2024-01-02T12:00:00+00:00", 45293.5],
    ["2024-01-02T14:00:00+02:00", 45293.5],
    ["2024-01-02T00:00:00.500000", 45293 + 0.5 / 86400],
    ["1900-03-01", 61],
    ["1900-02-28", 59],
    ["1900-01-01", 1],
    ["1899-12-31", null],
    ["2023-02-30", null],
    ["2024-13-01", null],
    ["yesterday", null],
  ];
  for (const [text, serial] of cases) {
    test(text, () => {
      const got = dateSerial(text);
      if (serial === null) assert.equal(got, null);
      else assert.ok(Math.abs(got - serial) < 1e-9, `${got} != ${serial}`);
    });
  }
});

describe("encoding", () => {
  const cases = [
    ["null", null, rec.null()],
    ["undefined", undefined, rec.null()],
    ["boolean", false, rec.bool(false)],
    ["integer", 3, rec.int(3)],
    ["fraction", 0.25, rec.float(0.25)],
    ["minus zero stays a float", -0, rec.float(-0)],
    ["beyond 2**53 is a float", 2 ** 60, rec.float(2 ** 60)],
    ["NaN as null", NaN, rec.float(null)],
    ["bigint as decimal text", 2n ** 70n, rec.int("1180591620717411303424")],
    ["string", "x", rec.str("x")],
    ["Date in UTC with an offset Python accepts", new Date(Date.UTC(2024, 0, 2, 3, 4, 5)),
      rec.date("2024-01-02T03:04:05.000+00:00")],
    ["bytes", new Uint8Array([0, 1, 2, 255]), rec.bytes("AAEC/w==")],
  ];
  for (const [name, value, expected] of cases) {
    test(name, () => assert.deepEqual(encode(value, encHooks), expected));
  }

  test("arrays and plain objects carry an id, functions become references", () => {
    const out = encode({ a: [1, "b"], f() {} }, encHooks);
    assert.equal(out.type, "Dict");
    assert.equal(typeof out.id, "number");
    assert.equal(out.value.a.type, "Array");
    assert.equal(typeof out.value.a.id, "number");
    assert.deepEqual(out.value.a.value, [rec.int(1), rec.str("b")]);
    assert.deepEqual(out.value.f, { type: "Ref", value: "f", isSpec: true });
  });

  test("a value that contains itself fails instead of recursing forever", () => {
    const a = [1];
    a.push(a);
    assert.throws(() => encode(a, encHooks), (e) => e.code === "InvalidOperation");
  });

  test("the same array twice (not a cycle) is fine", () => {
    const shared = [1];
    assert.equal(encode([shared, shared], encHooks).value.length, 2);
  });
});

describe("through the workbook", () => {
  test("every plain kind written to cells reads back as Excel stores it", async () => {
    const h = harness();
    const r = await h.range("A1:H1");
    await h.set(r, "values", rec.arr([rec.arr([
      rec.int(1), rec.float(2.5), rec.bool(true), rec.str("text"), rec.date("2024-01-02"),
      rec.str("=A1+B1"), rec.null(), rec.float(null),
    ])]));
    assert.deepEqual(await h.values(r), [[1, 2.5, true, "text", 45293, 3.5, "", ""]]);
    assert.deepEqual(await h.values(r, "formulas"), [[1, 2.5, true, "text", 45293, "=A1+B1", "", ""]]);
  });

  test("None written over data empties the cells instead of leaving them", async () => {
    const h = harness();
    const r = await h.range("A1:B1");
    await h.set(r, "values", rec.of([[1, 2]]));
    await h.set(r, "values", rec.arr([rec.arr([rec.null(), rec.float(null)])]));
    assert.deepEqual(standin.inspect("Sheet1", "A1:B1").values, [["", ""]]);
    await h.set(r, "values", rec.of([[1, 2]]));
    await h.set(r, "values", rec.null());
    assert.deepEqual(standin.inspect("Sheet1", "A1:B1").values, [["", ""]]);
  });

  test("a single value fills the range; number formats use the same records", async () => {
    const h = harness();
    const r = await h.range("A1:B2");
    await h.set(r, "values", rec.int(7));
    await h.set(r, "numberFormat", rec.of([["0.00", "General"], ["0%", "@"]]));
    assert.deepEqual(await h.values(r), [[7, 7], [7, 7]]);
    assert.deepEqual(await h.values(r, "numberFormat"), [["0.00", "General"], ["0%", "@"]]);
    assert.deepEqual(await h.values(r, "text"), [["7.00", "7"], ["700%", "7"]]);
  });

  test("arrays and dicts from results have ids Python can read through", async () => {
    const h = harness();
    const r = await h.range("A1:B2");
    await h.set(r, "values", rec.of([[1, 2], [3, 4]]));
    const values = await h.get(r, "values");
    assert.equal(typeof values.id, "number");
    assert.ok(values.value.every((row) => typeof row.id === "number"));
    assert.deepEqual(plain(await h.get(values.id, "length")), 2);
    assert.deepEqual(plain(await h.getItem(values.value[1].id, "-1")), 4);
    const enums = await h.get(1, "RangeValueType");
    assert.equal(enums.type, "Dict");
    assert.equal(plain(await h.getItem(enums.id, "double")), "Double");
  });
});
