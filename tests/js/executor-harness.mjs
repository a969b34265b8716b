// Drives the add-in's executor the way com_like does: request messages with
// value records in, responses out, against the Office.js stand-in; and the
// helpers the stand-in's own tests share.

import * as standin from "../../python_server/veltrum/com_like_host/standin/index.mjs";
import { createExecutor } from "../../python_server/veltrum/com_like_host/addin/executor.mjs";

export { standin, createExecutor };

export const rec = {
  null: () => ({ type: "Null", value: null, isSpec: false }),
  bool: (v) => ({ type: "Bool", value: v, isSpec: false }),
  int: (v) => ({ type: "Int", value: v, isSpec: false }),
  float: (v) => ({ type: "Float", value: v, isSpec: false }),
  str: (v) => ({ type: "String", value: v, isSpec: false }),
  date: (v) => ({ type: "Date", value: v, isSpec: false }),
  bytes: (v) => ({ type: "Bytes", value: v, isSpec: false }),
  arr: (items) => ({ type: "Array", value: items, isSpec: false }),
  dict: (entries) => ({ type: "Dict", value: entries, isSpec: false }),
  fn: (callableId) => ({ type: "Python_Function", value: callableId, isSpec: true }),
  ref: (id, type = "Object") => ({ type, value: id, isSpec: true }),
  // A Python-style value (numbers as Int/Float by kind, arrays nested).
  of(v) {
    if (v === null || v === undefined) return rec.null();
    if (typeof v === "boolean") return rec.bool(v);
    if (typeof v === "number") return Number.isInteger(v) ? rec.int(v) : rec.float(v);
    if (typeof v === "string") return rec.str(v);
    if (Array.isArray(v)) return rec.arr(v.map(rec.of));
    return rec.dict(Object.fromEntries(Object.entries(v).map(([k, x]) => [k, rec.of(x)])));
  },
};

/** Plain JavaScript data of a result record (what Python would see, minus ids). */
export function plain(r) {
  if (r.type === "Array") return r.value.map(plain);
  if (r.type === "Dict") return Object.fromEntries(Object.entries(r.value).map(([k, x]) => [k, plain(x)]));
  if (r.isSpec) return { ref: r.type, id: r.value };
  return r.value;
}

// The request context (id 0) as an argument, e.g. of start(context, block_gets).
export const CONTEXT = rec.ref(0, "RequestContext");

const placed = (args) => args.map((value) => ({ arg_type: "PLACED", value }));

export function harness({ sheets = ["Sheet1"], limits, settings, requestTimeoutMs, untrackIdleMs } = {}) {
  standin.resetWorkbook({ sheets, limits, settings });
  let requestNo = 0;
  const h = {
    invoked: [],
    released: [],
    progress: [],            // the executor's progress reports
    onProgress: () => {},    // called with each, after it is recorded
    // How a Python callable answers: (callableId, argRecords) -> result record.
    python: async () => rec.null(),
    ex: null,
    nextId: () => `r${requestNo + 1}`,
    async send(message) {
      const requestId = `r${++requestNo}`;
      const response = await h.ex.execute({ requestId, kind: "request", ...message });
      if (response.requestId !== requestId) throw new Error(`answer for ${response.requestId}, asked ${requestId}`);
      return response;
    },
    async ok(message) {
      const r = await h.send(message);
      if (!r.ok) throw new Error(r.error.message);
      return r.result;
    },
    get: (caller, name) => h.ok({ method: "GET", name, caller }),
    getItem: (caller, name) => h.ok({ method: "GETITEM", name, caller }),
    set: (caller, name, value) => h.ok({ method: "SET", name, value, caller }),
    call: (fnId, ...args) => h.ok({ method: "CALL", name: "__call__", args: placed(args), caller: fnId }),
    // Error text of a call that must fail.
    callFails: (fnId, ...args) => h.fails({ method: "CALL", name: "__call__", args: placed(args), caller: fnId }),
    async method(objId, name, ...args) {
      const fn = await h.get(objId, name);
      return h.call(fn.value, ...args);
    },
    // The transaction object (id 5).
    start: (blockGets = false) => h.method(5, "start", CONTEXT, rec.bool(blockGets)),
    commit: () => h.method(5, "commit"),
    rollback: () => h.method(5, "rollback"),
    // Error text of a request that must fail.
    async fails(message) {
      const r = await h.send(message);
      if (r.ok) throw new Error(`expected a failure, got ${JSON.stringify(r.result).slice(0, 200)}`);
      return r.error.message;
    },
    async worksheets() {
      return (await h.get((await h.get(0, "workbook")).value, "worksheets")).value;
    },
    async sheet(name = "Sheet1") {
      return (await h.method(await h.worksheets(), "getItem", rec.str(name))).value;
    },
    async range(address, sheetName = "Sheet1") {
      return (await h.method(await h.sheet(sheetName), "getRange", rec.str(address))).value;
    },
    async values(rangeId, prop = "values") {
      return plain(await h.get(rangeId, prop));
    },
  };
  h.ex = createExecutor({
    invokeCallable: (callableId, args, source) => {
      h.invoked.push({ callableId, args, source });
      return h.python(callableId, args);
    },
    releaseCallable: (callableId) => h.released.push(callableId),
    onProgress: (requestId, counts) => {
      h.progress.push({ requestId, ...counts });
      h.onProgress(requestId, counts);
    },
    ...(requestTimeoutMs ? { requestTimeoutMs } : {}),
    ...(untrackIdleMs ? { untrackIdleMs } : {}),
  });
  return h;
}

export const tick = (ms = 20) => new Promise((resolve) => setTimeout(resolve, ms));

// The stand-in's syncs made while fn runs.
export async function syncsOf(fn) {
  const before = standin.stats().syncs;
  await fn();
  return standin.stats().syncs - before;
}

// Polls until predicate() holds; fails after `ms`.
export async function until(predicate, what, ms = 5000) {
  for (const end = Date.now() + ms; Date.now() < end; await tick(10)) if (await predicate()) return;
  throw new Error(`timed out waiting for ${what}`);
}

/** A rows x cols Array record of Float cells, cell(r, c) each (by default numbered from 0.5). */
export function floatRows(rows, cols, cell = (r, c) => r * cols + c + 0.5) {
  const out = new Array(rows);
  for (let r = 0; r < rows; r++) {
    const row = new Array(cols);
    for (let c = 0; c < cols; c++) row[c] = rec.float(cell(r, c));
    out[r] = rec.arr(row);
  }
  return rec.arr(out);
}

// The error of a promise that must reject / of a call that must throw (Office.js errors).
export async function rejection(promise) {
  try { await promise; } catch (e) { return e; }
  throw new Error("expected a rejection");
}

export function syncError(fn) {
  try { fn(); } catch (e) { return e; }
  throw new Error("expected a throw");
}
