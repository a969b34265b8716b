// Frames between the add-in and the host: one JSON object per WebSocket
// text frame. Plain arrays travel compactly (see com_like_host/frames.py,
// the other end): an "Array" record whose elements are all plain scalar
// records becomes {"@": tags, "v": values, "id"?}, one tag letter per
// element or a single letter for all. Both ends restore exactly the records
// the other packed, so the executor only ever sees verbatim records.

const TAG_LETTER = { Null: "N", Bool: "B", Int: "I", Float: "F", String: "S", Date: "D", Bytes: "Y" };
const LETTER_TAG = Object.fromEntries(Object.entries(TAG_LETTER).map(([k, v]) => [v, k]));

export class FrameError extends Error {}

function isPlainObject(x) {
  return x !== null && typeof x === "object" && !Array.isArray(x);
}

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

// Frames this end sends. NaN and infinities become null (JSON.stringify's rule).
export function encodeResponse(response) {
  const frame = { ...response, kind: "excel_response" };
  if (packing && "result" in frame) frame.result = pack(frame.result);
  return JSON.stringify(frame);
}

export function encodeCallback(callId, callableId, args) {
  return JSON.stringify({ kind: "callback", callId, callableId, args: packing ? args.map(pack) : args });
}

export function encodeReleaseCallables(ids) {
  return JSON.stringify({ kind: "release_callables", ids });
}

export function encodeHello(info) {
  return JSON.stringify({ ...info, kind: "hello" });
}

const HOST_KINDS = new Set(["request", "release", "callback_result", "echo"]);

// Packing can be turned off (the page URL's compact=0) to measure its worth.
let packing = true;
export function setPacking(on) {
  packing = Boolean(on);
}

// A frame from the host, records restored. A request comes back as
// {request, release}: the request message verbatim (its "kind" is
// "request") and the object ids released with it.
export function decodeFrame(text) {
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
  if (frame.kind === "echo") return frame;
  if (frame.kind === "release") {
    if (!Array.isArray(frame.ids)) throw new FrameError("release without ids");
    return frame;
  }
  if ("result" in frame) frame.result = unpack(frame.result);
  return frame;
}
