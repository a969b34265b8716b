// The add-in's end of the frame codec (python_server/veltrum/com_like_host/addin/frames.mjs).
import { readFileSync } from "node:fs";
import { test } from "node:test";
import assert from "node:assert/strict";
import {
  FrameError, PART_BYTES, decode, encodeCallback, encodeEchoFrames, encodeProgress, encodeResponse,
  encodeResponseFrames, pack, unpack, utf8Length,
} from "../../python_server/veltrum/com_like_host/addin/frames.mjs";

const rec = (type, value, extra = {}) => ({ type, value, isSpec: false, ...extra });

// The cases both ends share (tests/host/test_frames.py runs them against the host's end).
const CASES = JSON.parse(readFileSync(new URL("../data/frame_cases.json", import.meta.url), "utf8"));

test("pack and unpack restore the record exactly", () => {
  for (const record of CASES.round_trip) {
    assert.deepEqual(unpack(JSON.parse(JSON.stringify(pack(record)))), record, JSON.stringify(record));
  }
});

test("plain arrays pack to tags and bare values, others travel as they are", () => {
  for (const [record, packed] of CASES.packed) assert.deepEqual(pack(record), packed);
});

test("bad compact arrays are refused", () => {
  for (const bad of CASES.bad_compact) assert.throws(() => unpack(bad), FrameError, JSON.stringify(bad));
});

test("frames neither end takes are refused", () => {
  for (const { frame } of CASES.refused) assert.throws(() => decode(frame), FrameError, frame);
});

test("a request from the host: records restored, releases split off", () => {
  for (const { message, release, frame } of CASES.requests) {
    const decoded = decode(JSON.stringify(frame));
    assert.deepEqual(decoded, { kind: "request", request: message, release });
  }
});

test("responses, callbacks and progress reports go out compact", () => {
  for (const { response, frame } of CASES.responses) assert.deepEqual(JSON.parse(encodeResponse(response)), frame);
  for (const { callId, callableId, args, frame } of CASES.callbacks) {
    assert.deepEqual(JSON.parse(encodeCallback(callId, callableId, args)), frame);
  }
  for (const { requestId, counts, frame } of CASES.progress) {
    assert.deepEqual(JSON.parse(encodeProgress(requestId, counts)), frame);
  }
});

test("the host's cancel comes in", () => {
  for (const { frame } of CASES.cancel) assert.deepEqual(decode(JSON.stringify(frame)), frame);
});

test("NaN and infinities in an answer become null", () => {
  const response = JSON.parse(encodeResponse({ requestId: "r", ok: true,
    result: rec("Array", [rec("Float", NaN), rec("Float", Infinity)], { id: 6 }) }));
  assert.deepEqual(response.result, { "@": "F", v: [null, null], id: 6 });
});

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
