// The add-in's end of the frame codec (python_server/veltrum/com_like_host/addin/frames.mjs).
import { test } from "node:test";
import assert from "node:assert/strict";
import {
  FrameError, decodeFrame, encodeCallback, encodeResponse, pack, unpack,
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
  const { request, release } = decodeFrame(text);
  assert.deepEqual(release, [12, 13]);
  assert.equal("release" in request, false);
  assert.equal(request.kind, "request");
  assert.deepEqual(request.value, rec("Array", [
    rec("Array", [rec("Int", 1), rec("Int", 2)]),
    rec("Array", [rec("Float", null), rec("Null", null)]),
  ]));
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
    assert.throws(() => decodeFrame(bad), FrameError);
  });
}
