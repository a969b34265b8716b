// The add-in's end of the frame codec (python_server/veltrum/com_like_host/addin/frames.mjs).
import { test } from "node:test";
import assert from "node:assert/strict";
import {
  FrameError, PART_BYTES, decode, encodeCallback, encodeEchoFrames, encodeProgress, encodeResponse,
  encodeResponseFrames, pack, unpack, utf8Length,
} from "../../python_server/veltrum/com_like_host/addin/frames.mjs";

const rec = (type, value, extra = {}) => ({ type, value, isSpec: false, ...extra });

const ROUND_TRIPS = [
  rec("Int", 5),
  rec("Array", []),
  rec("Array", [rec("Float", 1.5), rec("Float", 2)], { id: 9 }),
  rec("Array", [rec("Int", 1), rec("String", "x"), rec("Null", null), rec("Bool", true),
    rec("Date", "2024-01-02"), rec("Bytes", "AAE=")]),
  rec("Array", [rec("Array", [rec("Int", 1)], { id: 7 }), rec("Array", [], { id: 8 })], { id: 6 }),
  rec("Dict", { a: rec("Array", [rec("String", "s")]), b: rec("Int", 1) }, { id: 4 }),
  rec("Array", [{ type: "Range", value: 12, isSpec: true }, rec("Int", 1)]),
  rec("Array", [rec("Int", 1, { id: 3 })]),
];

for (const [i, record] of ROUND_TRIPS.entries()) {
  test(`pack and unpack restore the record exactly (${i})`, () => {
    assert.deepEqual(unpack(JSON.parse(JSON.stringify(pack(record)))), record);
  });
}

test("a plain row travels as tags and bare values", () => {
  assert.deepEqual(pack(rec("Array", [rec("Float", 1.5), rec("Int", 2)], { id: 3 })),
    { "@": "FI", v: [1.5, 2], id: 3 });
});

test("a request from the host: records restored, releases split off", () => {
  // As com_like_host.frames.encode_request writes it.
  const text = '{"requestId":"r","method":"SET","name":"values","caller":11,"kind":"request",'
    + '"value":{"type":"Array","value":[{"@":"I","v":[1,2]},{"@":"FN","v":[null,null]}],'
    + '"isSpec":false},"release":[12,13]}';
  const { request, release } = decode(text);
  assert.deepEqual(release, [12, 13]);
  assert.equal("release" in request, false);
  assert.equal(request.kind, "request");
  assert.deepEqual(request.value, rec("Array", [
    rec("Array", [rec("Int", 1), rec("Int", 2)]),
    rec("Array", [rec("Float", null), rec("Null", null)]),
  ]));
});

test("progress reports go out, the host's cancel comes in", () => {
  assert.deepEqual(JSON.parse(encodeProgress("r", { rows: 2, totalRows: 9, cells: 20, totalCells: 90 })),
    { kind: "progress", requestId: "r", rows: 2, totalRows: 9, cells: 20, totalCells: 90 });
  assert.deepEqual(decode('{"kind":"cancel","requestId":"r"}'), { kind: "cancel", requestId: "r" });
});

test("responses and callbacks are compact, NaN becomes null", () => {
  const response = JSON.parse(encodeResponse({ requestId: "r", ok: true,
    result: rec("Array", [rec("Float", NaN), rec("Float", Infinity)], { id: 6 }) }));
  assert.deepEqual(response, { requestId: "r", ok: true, kind: "excel_response",
    result: { "@": "F", v: [null, null], id: 6 } });
  const callback = JSON.parse(encodeCallback(3, "pyfunc_x_1", [rec("Array", [rec("Int", 1)])]));
  assert.deepEqual(callback.args, [{ "@": "I", v: [1] }]);
});

for (const bad of ["not json", "[1]", '{"kind":"excel_response"}', '{"kind":"release"}',
  '{"kind":"request","value":{"@":"Q","v":[1]}}', '{"kind":"request","value":{"@":"IF","v":[1]}}']) {
  test(`refused: ${bad}`, () => {
    assert.throws(() => decode(bad), FrameError);
  });
}

// What the host does with parts (com_like_host/server.py): the slices of
// the parts, in order, ahead of the last frame's own.
function joined(texts) {
  const frames = texts.map((t) => JSON.parse(t));
  const last = frames.pop();
  assert.equal(last.parts ?? 0, frames.length);
  const pieces = frames.map((f) => {
    assert.equal(f.kind, "part");
    return f.value.type === "Array" || "@" in f.value ? unpack(f.value).value : f.value;
  });
  if (last.kind === "echo") return { ...last, payload: [...pieces.flat(), ...last.payload] };
  const result = unpack(last.result);
  return { ...last, result: { ...result, value: [...pieces.flat(), ...result.value] } };
}

const row = (i, n) => rec("Array", Array.from({ length: n }, (_, j) => rec("Float", i * j + 0.5)),
  { id: 100 + i });
const LARGE = [
  ["rows of a range", rec("Array", Array.from({ length: 2000 }, (_, i) => row(i, 400)), { id: 7 })],
  ["one long plain row", row(1, 900000)],
  ["mixed tags", rec("Array", Array.from({ length: 600000 }, (_, j) =>
    (j % 2 ? rec("Int", j) : rec("String", "é€😀".repeat(3)))), { id: 5 })],
  ["references", rec("Array", Array.from({ length: 200000 }, (_, j) =>
    ({ type: "Range", value: j + 6, isSpec: true })))],
];
for (const [name, result] of LARGE) {
  test(`a large answer travels in parts under the frame limit and joins back (${name})`, () => {
    const texts = encodeResponseFrames({ requestId: "r", ok: true, result });
    assert.ok(texts.length > 1);
    for (const t of texts) assert.ok(utf8Length(t) <= PART_BYTES, `${utf8Length(t)} bytes`);
    const back = joined(texts);
    assert.equal(back.requestId, "r");
    assert.deepEqual(back.result, result);
  });
}

test("small answers and echoes stay one frame; a large echo travels in parts", () => {
  assert.deepEqual(encodeResponseFrames({ requestId: "r", ok: true, result: rec("Int", 1) }),
    [encodeResponse({ requestId: "r", ok: true, result: rec("Int", 1) })]);
  const payload = Array.from({ length: 3000 }, () => Array(500).fill(1.25));
  const texts = encodeEchoFrames({ kind: "echo", id: 4, payload });
  assert.ok(texts.length > 1);
  assert.deepEqual(joined(texts).payload, payload);
});

test("an element too large for any frame is refused, not sent", () => {
  const huge = rec("Array", [rec("String", "x".repeat(PART_BYTES * 2 + 10))]);
  assert.throws(() => encodeResponseFrames({ requestId: "r", ok: true, result: huge }), FrameError);
  assert.throws(() => encodeResponseFrames({ requestId: "r", ok: true,
    result: rec("String", "x".repeat(PART_BYTES * 2 + 10)) }), FrameError);
});

test("utf8Length counts what the host's limit counts", () => {
  // Frame texts hold no lone surrogates: JSON.stringify escapes them.
  for (const text of ["", "abc", "é", "€", "😀", JSON.stringify("a\udc00b")]) {
    assert.equal(utf8Length(text), Buffer.byteLength(text, "utf8"));
  }
});
