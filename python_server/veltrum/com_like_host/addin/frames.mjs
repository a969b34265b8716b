// Frames between the add-in and the host: one JSON object per WebSocket
// text frame. Plain arrays travel compactly (see com_like_host/frames.py,
// the other end): an "Array" record whose elements are all plain scalar
// records becomes {"@": tags, "v": values, "id"?}, one tag letter per
// element or a single letter for all. Both ends restore exactly the records
// the other packed, so the executor only ever sees verbatim records.

import { isPlainObject } from "./values.mjs";

const TAG_LETTER = { Null: "N", Bool: "B", Int: "I", Float: "F", String: "S", Date: "D", Bytes: "Y" };
const LETTER_TAG = Object.fromEntries(Object.entries(TAG_LETTER).map(([k, v]) => [v, k]));

export class FrameError extends Error {}

function packPlain(record, items) {
  const keys = Object.keys(record);
  if (record.isSpec || !(keys.length === 3 || (keys.length === 4 && "id" in record))) return null;
  let uniform = true;
  let first;
  for (let i = 0; i < items.length; i++) {
    const r = items[i];
    if (!isPlainObject(r) || r.isSpec !== false || !("value" in r)) return null;
    const letter = TAG_LETTER[r.type];
    if (letter === undefined) return null;
    // Exactly the three keys: anything more must travel as it is.
    let n = 0;
    for (const _ in r) n++; // eslint-disable-line no-unused-vars
    if (n !== 3) return null;
    if (i === 0) first = letter;
    else if (letter !== first) uniform = false;
  }
  // Built with map, so that the arrays stay packed (JSON.stringify is
  // markedly slower on holey ones).
  const out = {
    "@": uniform ? first : items.map((r) => TAG_LETTER[r.type]).join(""),
    v: items.map((r) => r.value),
  };
  if ("id" in record) out.id = record.id;
  return out;
}

export function pack(record) {
  if (!isPlainObject(record)) return record;
  if (record.type === "Array") {
    const items = record.value;
    if (!Array.isArray(items) || items.length === 0) return record;
    const packed = packPlain(record, items);
    if (packed !== null) return packed;
    return { ...record, value: items.map(pack) };
  }
  if (record.type === "Dict" && isPlainObject(record.value)) {
    const value = {};
    for (const [k, r] of Object.entries(record.value)) value[k] = pack(r);
    return { ...record, value };
  }
  return record;
}

function unpackPlain(record) {
  const tags = record["@"];
  const values = record.v;
  if (typeof tags !== "string" || !Array.isArray(values) || tags.length === 0) {
    throw new FrameError("bad compact array");
  }
  let items;
  if (tags.length === 1) {
    const type = LETTER_TAG[tags];
    if (type === undefined) throw new FrameError(`bad compact array tag ${tags}`);
    items = values.map((value) => ({ type, value, isSpec: false }));
  } else {
    if (tags.length !== values.length) throw new FrameError("compact array: tags and values differ in length");
    items = values.map((value, i) => {
      const type = LETTER_TAG[tags[i]];
      if (type === undefined) throw new FrameError(`bad compact array tag ${tags[i]}`);
      return { type, value, isSpec: false };
    });
  }
  const out = { type: "Array", value: items, isSpec: false };
  if ("id" in record) out.id = record.id;
  return out;
}

export function unpack(record) {
  if (!isPlainObject(record)) return record;
  if ("@" in record && !("type" in record)) return unpackPlain(record);
  if (record.type === "Array" && Array.isArray(record.value)) {
    record.value = record.value.map(unpack);
  } else if (record.type === "Dict" && isPlainObject(record.value)) {
    for (const k of Object.keys(record.value)) record.value[k] = unpack(record.value[k]);
  }
  return record;
}

// The host refuses a frame over 8 MiB (MAX_FRAME in com_like_host/server.py):
// a larger answer travels as "part" frames, each with a slice of its list,
// and a last frame that carries the rest and says how many parts came
// before it. Slices hold whole elements (rows of a range), sized to this.
export const PART_BYTES = 4 * 1024 * 1024;

/** UTF-8 size of a string: what the host's limit counts. */
export function utf8Length(text) {
  let n = text.length;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c >= 0x80) n += c < 0x800 || (c >= 0xd800 && c < 0xe000) ? 1 : 2;
  }
  return n;
}

// [start, end) slices of a list of `length` elements whose frames, as
// `frameOf(start, end)` writes them, fit PART_BYTES: even slices sized
// from the whole, halved where one is still too large.
function slices(length, wholeBytes, frameOf) {
  const out = [];
  const visit = (a, b) => {
    if (b - a > 1 && utf8Length(frameOf(a, b)) > PART_BYTES) {
      const mid = a + Math.floor((b - a) / 2);
      visit(a, mid);
      visit(mid, b);
    } else {
      out.push([a, b]);
    }
  };
  const count = Math.max(1, Math.ceil(wholeBytes / (PART_BYTES * 0.75)));
  const step = Math.max(1, Math.ceil(length / count));
  for (let a = 0; a < length; a += step) visit(a, Math.min(length, a + step));
  if (out.length === 0) out.push([0, 0]);
  return out;
}

// The frames of one message whose list (the part to split) is reached by
// `sliceOf(start, end)`; `lastOf(start, end, parts)` writes the last frame.
function inParts(key, text, length, sliceOf, lastOf) {
  const bytes = utf8Length(text);
  if (bytes <= PART_BYTES) return [text];
  const partOf = (a, b) => JSON.stringify({ kind: "part", key, value: sliceOf(a, b) });
  const ranges = slices(length, bytes, partOf);
  const texts = ranges.slice(0, -1).map(([a, b]) => partOf(a, b));
  const [a, b] = ranges[ranges.length - 1];
  texts.push(lastOf(a, b, texts.length));
  for (const t of texts) {
    if (utf8Length(t) > PART_BYTES * 2) {
      throw new FrameError(`one element of the answer is over ${PART_BYTES * 2} bytes of JSON`);
    }
  }
  return texts;
}

function sliceRecord(record, a, b) {
  if ("@" in record) {
    const tags = record["@"];
    return { "@": tags.length === 1 ? tags : tags.slice(a, b), v: record.v.slice(a, b) };
  }
  return { type: "Array", value: record.value.slice(a, b), isSpec: false };
}

// Frames this end sends. NaN and infinities become null (JSON.stringify's rule).
export function encodeResponse(response) {
  return JSON.stringify(responseFrame(response));
}

function responseFrame(response) {
  const frame = { ...response, kind: "excel_response" };
  if (packing && "result" in frame) frame.result = pack(frame.result);
  return frame;
}

/** The frames of one response: one, or parts and a last one (FrameError
 *  when even one element of its list is too large for a frame). */
export function encodeResponseFrames(response) {
  const frame = responseFrame(response);
  const text = JSON.stringify(frame);
  const record = frame.result;
  const list = !isPlainObject(record) ? null : "@" in record ? record.v
    : record.type === "Array" && Array.isArray(record.value) ? record.value : null;
  if (list === null) {
    if (utf8Length(text) > PART_BYTES * 2) throw new FrameError("the answer is too large to send");
    return [text];
  }
  return inParts(frame.requestId, text, list.length, (a, b) => sliceRecord(record, a, b),
    (a, b, parts) => {
      const last = "@" in record ? { ...record, ...sliceRecord(record, a, b) }
        : { ...record, value: record.value.slice(a, b) };
      return JSON.stringify({ ...frame, result: last, parts });
    });
}

/** An echo's frames: a list payload in parts, as a response's. */
export function encodeEchoFrames(frame) {
  const text = JSON.stringify(frame);
  if (!Array.isArray(frame.payload)) return [text];
  return inParts(frame.id, text, frame.payload.length, (a, b) => frame.payload.slice(a, b),
    (a, b, parts) => JSON.stringify({ ...frame, payload: frame.payload.slice(a, b), parts }));
}

// source: the event source whose handler this is (the host runs the calls
// of one source one at a time, in order); none for other calls.
export function encodeCallback(callId, callableId, args, source = undefined) {
  const frame = { kind: "callback", callId, callableId, args: packing ? args.map(pack) : args };
  if (typeof source === "string") frame.source = source;
  return JSON.stringify(frame);
}

export function encodeReleaseCallables(ids) {
  return JSON.stringify({ kind: "release_callables", ids });
}

// How far a request has got (sent per block of rows; the host moves its
// time limit on with each): rows, totalRows, cells, totalCells.
export function encodeProgress(requestId, counts) {
  return JSON.stringify({ kind: "progress", requestId, ...counts });
}

export function encodeHello(info) {
  return JSON.stringify({ ...info, kind: "hello" });
}

const HOST_KINDS = new Set(["request", "release", "callback_result", "echo", "cancel"]);

// Packing can be turned off (the page URL's compact=0) to measure its worth.
let packing = true;
export function setPacking(on) {
  packing = Boolean(on);
}

// A frame from the host, records restored. A request comes back as
// {request, release}: the request message verbatim (its "kind" is
// "request") and the object ids released with it.
export function decode(text) {
  let frame;
  try {
    frame = JSON.parse(text);
  } catch (e) {
    throw new FrameError(`not JSON: ${e.message}`);
  }
  if (!isPlainObject(frame) || !HOST_KINDS.has(frame.kind)) {
    throw new FrameError(`unknown frame kind ${isPlainObject(frame) ? frame.kind : typeof frame}`);
  }
  if (frame.kind === "request") {
    const release = Array.isArray(frame.release) ? frame.release : [];
    delete frame.release;
    if ("value" in frame) frame.value = unpack(frame.value);
    if (Array.isArray(frame.args)) {
      for (const a of frame.args) if (isPlainObject(a) && "value" in a) a.value = unpack(a.value);
    }
    return { kind: "request", request: frame, release };
  }
  if (frame.kind === "echo" || frame.kind === "cancel") return frame;
  if (frame.kind === "release") {
    if (!Array.isArray(frame.ids)) throw new FrameError("release without ids");
    return frame;
  }
  if ("result" in frame) frame.result = unpack(frame.result);
  return frame;
}
