// Value records between com_like and the add-in.
//
// A record is {type, value, isSpec[, id]}. Plain tags: Null, Bool, Int,
// Float, String, Date, Bytes, Array, Dict. A reference record carries the
// object's type name, its object id as "value" and isSpec true; a Python
// callable arrives as {type: "Python_Function", value: callableId,
// isSpec: true}.
//
// Decoding choices made here (Python sends them, JavaScript has no direct
// counterpart):
// - Date: in cell data (values, formulas, numberFormat ...) a date becomes
//   Excel's serial number in the 1900 date system (1 = 1900-01-01, with the
//   fictitious 1900-02-29 as 60); anywhere else it stays ISO 8601 text, which
//   is what Office.js itself takes for dates in settings and options. Dates
//   before 1900-01-01 have no serial and stay text.
// - Bytes: Base64 text, the form Office.js takes binary data in
//   (createWorkbook, addImage).
// - Float with a null value: the host writes NaN as null, so it decodes to
//   null, and in cell data to "" (see below). Infinities come as the text
//   "Infinity"/"-Infinity"; cell data refuses them (InvalidArgument), as
//   no cell can hold one, before anything of the request is written.
// - Null in cell data becomes "": Office.js reads null inside a values
//   array as "leave this cell unchanged", while a Python user's None or NaN
//   means an empty cell.
//
// Encoding: integral numbers within 2**53 travel as Int, other numbers (and
// every number of cell data, hooks.cellNumbers) as Float (non-finite as
// null); a JavaScript Date as ISO text in UTC with an explicit +00:00 offset
// (Python 3.10 refuses a trailing "Z"); typed arrays and ArrayBuffers as
// Bytes; arrays and plain objects as Array and Dict
// records whose "id" the object table issues.

import { AddinError } from "./errors.mjs";

/** A new Null record (records are handed on and may be changed by the receiver). */
export const nullRecord = () => ({ type: "Null", value: null, isSpec: false });

const PLAIN = (type, value) => ({ type, value, isSpec: false });

// ---------------------------------------------------------------- decoding

/**
 * Turns a record into a JavaScript value.
 * hooks.lookup(id) -> the live object for a reference record;
 * hooks.callable(callableId) -> a JavaScript function for a Python callable;
 * cells: true while decoding cell data (dates to serials, null to "").
 */
export function decode(record, hooks, cells = false, depth = 0) {
  if (record === null || typeof record !== "object" || Array.isArray(record)) {
    throw new AddinError("InvalidArgument", `malformed value record ${shortJson(record)}`);
  }
  if (depth > 200) throw new AddinError("InvalidArgument", "value records nested too deeply");
  const v = record.value;
  switch (record.type) {
    case "Null":
      return cells ? "" : null;
    case "Bool":
      return Boolean(v);
    case "Int":
      return number(v, "Int");
    case "Float": {
      if (v === null || v === undefined) return cells ? "" : null;
      const n = number(v, "Float");
      if (cells && !Number.isFinite(n)) {
        throw new AddinError("InvalidArgument", `a cell cannot hold an infinite number (got ${n})`);
      }
      return n;
    }
    case "String":
      return String(v);
    case "Date": {
      if (!cells) return v;
      const serial = dateSerial(v);
      return serial === null ? v : serial;
    }
    case "Bytes":
      return v ? String(v) : "";
    case "Array":
      if (v === null || v === undefined) return [];
      if (!Array.isArray(v)) throw new AddinError("InvalidArgument", "an Array record needs a list as its value");
      return v.map((r) => decode(r, hooks, cells, depth + 1));
    case "Dict": {
      const out = {};
      if (v === null || v === undefined) return out;
      if (typeof v !== "object" || Array.isArray(v)) {
        throw new AddinError("InvalidArgument", "a Dict record needs an object as its value");
      }
      for (const [k, r] of Object.entries(v)) out[k] = decode(r, hooks, cells, depth + 1);
      return out;
    }
    case "Python_Function": {
      const fn = hooks.callable(String(v));
      if (cells) throw new AddinError("InvalidArgument", "a cell holds a number, text, a boolean or a date, not a function");
      return fn;
    }
    default:
      if (record.isSpec) return hooks.lookup(v);
      throw new AddinError("InvalidArgument", `unknown value record type ${shortJson(record.type)}`);
  }
}

function number(v, tag) {
  if (typeof v === "number") return v;
  if (typeof v === "string" && v.trim() !== "" && !Number.isNaN(Number(v))) return Number(v);
  throw new AddinError("InvalidArgument", `an ${tag} record holds ${shortJson(v)}, not a number`);
}

const ISO_RE = /^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?(Z|[+-]\d{2}:?\d{2}(?::\d{2}(?:\.\d+)?)?)?$/;
const MS_PER_DAY = 86400000;
const EPOCH_1899_12_30 = Date.UTC(1899, 11, 30);

/** ISO 8601 text to an Excel serial (1900 system), or null when it has none. */
export function dateSerial(text) {
  if (typeof text !== "string") return null;
  const m = ISO_RE.exec(text.trim());
  if (!m) return null;
  const [y, mo, d, h = 0, mi = 0, s = 0] = m.slice(1, 7).map((x) => (x === undefined ? 0 : Number(x)));
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return null;
  const dayMs = Date.UTC(y, mo - 1, d);
  const check = new Date(dayMs);
  if (check.getUTCMonth() !== mo - 1) return null; // 2023-02-30 and the like
  let seconds = h * 3600 + mi * 60 + s + (m[7] ? Number("0." + m[7]) : 0);
  seconds -= offsetSeconds(m[8]);
  let days = Math.round((dayMs - EPOCH_1899_12_30) / MS_PER_DAY) + seconds / 86400;
  if (days < 2) return null;          // before 1900-01-01
  if (days < 61) days -= 1;           // Excel counts a 1900-02-29 that never was
  return days;
}

function offsetSeconds(tz) {
  if (!tz || tz === "Z") return 0;
  const sign = tz[0] === "-" ? -1 : 1;
  const body = tz.slice(1).replace(":", "");
  const hh = Number(body.slice(0, 2));
  const mm = Number(body.slice(2, 4));
  const rest = tz.split(":")[2];
  return sign * (hh * 3600 + mm * 60 + (rest ? Number(rest) : 0));
}

// ---------------------------------------------------------------- encoding

/**
 * Turns a JavaScript value into a record.
 * hooks.reference(obj, holder, key) -> a reference record for an object that
 *   is not plain data (a proxy, a function, a class instance);
 * hooks.container(value) -> the object id for an array or plain object.
 */
export function encode(value, hooks, holder = undefined, key = undefined, seen = new Set()) {
  if (value === null || value === undefined) return { type: "Null", value: null, isSpec: false };
  switch (typeof value) {
    case "boolean":
      return PLAIN("Bool", value);
    case "number":
      // A cell holds a double: cell data sends every number as a Float.
      if (!hooks.cellNumbers && Number.isSafeInteger(value) && !Object.is(value, -0)) return PLAIN("Int", value);
      return PLAIN("Float", Number.isFinite(value) ? value : null);
    case "bigint":
      return PLAIN("Int", value.toString());
    case "string":
      return PLAIN("String", value);
    case "symbol":
      return PLAIN("String", value.toString());
    case "function":
      return hooks.reference(value, holder, key);
    default:
      break;
  }
  if (value instanceof Date) {
    return PLAIN("Date", Number.isNaN(value.getTime()) ? null : value.toISOString().replace("Z", "+00:00"));
  }
  if (value instanceof ArrayBuffer || ArrayBuffer.isView(value)) return PLAIN("Bytes", base64(value));
  const isArray = Array.isArray(value);
  if (!isArray && !isPlainObject(value)) return hooks.reference(value, holder, key);
  if (seen.has(value)) throw new AddinError("InvalidOperation", "the result refers to itself and cannot be sent");
  seen.add(value);
  try {
    const id = hooks.container(value);
    if (isArray) {
      const out = new Array(value.length);
      for (let i = 0; i < value.length; i++) out[i] = encode(value[i], hooks, value, i, seen);
      return { type: "Array", value: out, isSpec: false, id };
    }
    const out = {};
    for (const k of Object.keys(value)) out[k] = encode(value[k], hooks, value, k, seen);
    return { type: "Dict", value: out, isSpec: false, id };
  } finally {
    seen.delete(value);
  }
}

export function isPlainObject(value) {
  if (value === null || typeof value !== "object") return false;
  const proto = Object.getPrototypeOf(value);
  return proto === Object.prototype || proto === null;
}

function base64(view) {
  const bytes = view instanceof ArrayBuffer ? new Uint8Array(view)
    : new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

function shortJson(v) {
  let s;
  try { s = JSON.stringify(v); } catch { s = String(v); }
  if (s === undefined) s = String(v);
  return s.length > 80 ? s.slice(0, 77) + "..." : s;
}
