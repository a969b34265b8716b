// Item keys as com_like sends them for GETITEM: "3", "-1", "True" for an
// integer index, "start:stop:step" for a slice (each part empty when None),
// and a slice of text such as "A1:C3:" (sheet["A1":"C3"]) for an address.

import { AddinError } from "./errors.mjs";

const INT_RE = /^\s*[+-]?\d+\s*$/;

/** {index: integer or null, slice: [start, stop, step] or null, address: text or null} */
export function parseKey(key) {
  const parts = key.split(":");
  const index = key === "True" ? 1 : key === "False" ? 0 : INT_RE.test(key) ? Number(key) : null;
  let slice = null;
  let address = null;
  if (parts.length === 3) {
    if (parts.every((p) => p.trim() === "" || INT_RE.test(p))) {
      slice = parts.map((p) => (p.trim() === "" ? null : Number(p)));
    } else if (parts[2] === "" && parts[0] !== "" && !INT_RE.test(parts[0])) {
      address = parts[1] ? `${parts[0]}:${parts[1]}` : parts[0];
    }
  }
  return { index, slice, address };
}

/** items[index], counting from the end when negative. */
export function at(items, index, key) {
  const i = index < 0 ? index + items.length : index;
  if (i < 0 || i >= items.length) {
    throw new AddinError("InvalidArgument", `index ${key} is out of range for an array of length ${items.length}`);
  }
  return items[i];
}

// Python slice semantics on an array: [start, stop, step], null = default.
export function slice(items, [start, stop, step]) {
  const n = items.length;
  step = step === null ? 1 : step;
  if (step === 0) throw new AddinError("InvalidArgument", "slice step cannot be zero");
  const clamp = (v, lo, hi) => Math.max(lo, Math.min(hi, v));
  const norm = (v, dflt, lo, hi) => (v === null ? dflt : clamp(v < 0 ? v + n : v, lo, hi));
  const out = [];
  if (step > 0) {
    for (let i = norm(start, 0, 0, n), end = norm(stop, n, 0, n); i < end; i += step) out.push(items[i]);
  } else {
    for (let i = norm(start, n - 1, -1, n - 1), end = norm(stop, -1, -1, n - 1); i > end; i += step) out.push(items[i]);
  }
  return out;
}
