// The add-in's request executor: answers com_like's GET, GETITEM, SET and
// CALL requests against Office.js, one at a time, on one long-lived
// RequestContext (new Excel.RequestContext()).
//
// What each request does:
// - GET reads a member. A navigation property (a proxy, read with no round
//   trip) comes back as a reference; a method as a "Function" reference bound
//   to its object; a scalar property is loaded and synced: when reading it
//   throws PropertyNotLoaded, and also when it reads without error, since a
//   value loaded or assigned earlier may be stale (a formula's result, typed
//   input turned into a number).
//   A collection's "items" is loaded with load() (all members' scalars),
//   since "items" itself is not a loadable name.
// - GETITEM: arrays and dictionaries by index or key (Python slices on
//   arrays), collections by position (getItemAt; a negative position, or a
//   collection without getItemAt, through its items), worksheets by address
//   slice (sheet["A1":"C3"] -> getRange("A1:C3")).
// - SET assigns and syncs, so a failure is reported on the assignment itself.
//   Only existing, writable properties of Office.js objects can be assigned.
// - CALL calls a "Function" reference with the PLACED arguments in order;
//   NAMED arguments are passed as one trailing object {name: value} (the
//   shape of Office.js option arguments). A returned promise is awaited, a
//   ClientResult synced and its value returned, a returned proxy handed out
//   as a reference. A call syncs before answering (a get* call that returned
//   a proxy only when it hands out a range, whose tracking must be sent).
// Inside an open transaction (batch.mjs) writes and workbook-changing calls
// are queued until commit instead of synced.
//
// Every request gets exactly one response; execute() never rejects. Requests
// take turns on the shared context (turns.mjs): a request not finished after
// requestTimeoutMs is answered with RequestAborted and the next one starts,
// and a Python function that Office.js calls from inside a call may itself
// make requests.
//
// Office.js behaviour this relies on (as documented):
// - new Excel.RequestContext(); context.sync() runs queued commands in order
//   and rejects with OfficeExtension.Error {code, message, debugInfo};
// - reading an unloaded scalar throws PropertyNotLoaded synchronously;
//   obj.load("name") then sync makes it readable (load() with no argument,
//   all scalars, for a collection's items); navigation properties return
//   proxies at once; properties and methods live on the prototypes of the
//   classes exported on the Excel namespace; proxies are instances of
//   OfficeExtension.ClientObject, contexts of ClientRequestContext;
// - methods that return primitives give OfficeExtension.ClientResult, whose
//   value is set by the next sync;
// - *OrNullObject methods give a proxy whose isNullObject is known after sync;
// - context.trackedObjects.add/remove keep ranges valid across syncs (a
//   proxy belongs to its context: Excel.run makes contexts of its own);
// - collections have getItemAt(i) and items;
// - a sync after EventHandlers.add registers the handler, and the handler is
//   called with one event-arguments object and may return a promise;
//   EventHandlerResult.remove() followed by a sync on the same context
//   removes it;
// - range.getCell(r, c).getResizedRange(dr, dc) addresses a block of rows;
//   worksheet.getRanges("A1:B2, D4") makes a RangeAreas;
//   range.getIntersectionOrNullObject(other); workbook.settings
//   .getItemOrNullObject(name) with a loadable value;
// - a single value assigned to a range fills it; "" empties a cell; null in a
//   values array leaves a cell unchanged (hence None -> "").
//
// Bad arguments reported late: a method that returns a proxy only describes
// an object; Excel checks it when a command that uses it is synced. So
// worksheets.getItem(name), getItemAt(i), settings.getItem(key),
// sheet.getRange(address), getRangeByIndexes, getRanges, getCell,
// getOffsetRange, getResizedRange, getRow/getColumn, getIntersection,
// getBoundingRect and getUsedRange report a bad argument (ItemNotFound,
// InvalidArgument) on the first request that uses the proxy they returned:
// reading a property, assigning one, or a call whose sync needs the object.
// (Whether context.trackedObjects.add already checks a range is up to the
// Office.js build.) *OrNullObject methods never fail: they give a null
// object. Writes, and calls that change the workbook or return data (add,
// delete, clear, getCount ...), report their errors themselves; inside a
// transaction, commit reports them.

import { AddinError, PythonError, errorsCode, errorsText } from "./errors.mjs";
import { valuesDecode, valuesEncode, valuesIsPlainObject, valuesNull } from "./values.mjs";
import { ObjectTable } from "./objects.mjs";
import { CELL_PROPERTIES, cellsEstimate, cellsRead, cellsWrite } from "./cells.mjs";
import { Transaction } from "./batch.mjs";
import { rootsMake } from "./roots.mjs";
import { Turns } from "./turns.mjs";
import { itemsAt, itemsParseKey, itemsSlice } from "./items.mjs";

const DEFAULT_TIMEOUT_MS = 29000;
const IMMEDIATE_IN_BATCH = new Set(["load", "track", "untrack", "toJSON"]);

export function createExecutor({ invokeCallable, releaseCallable, requestTimeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
  if (typeof invokeCallable !== "function" || typeof releaseCallable !== "function") {
    throw new TypeError("createExecutor needs invokeCallable and releaseCallable functions");
  }
  const X = globalThis.Excel;
  const OE = globalThis.OfficeExtension;
  const context = new X.RequestContext();
  const sync = () => context.sync();
  const table = new ObjectTable(context);
  const transaction = new Transaction({ context, sync, afterCommit: () => scheduleUntracks() });
  const roots = rootsMake({ context, sync, checkRead: (what) => transaction.checkRead(what) });
  const turns = new Turns(requestTimeoutMs);
  const rangeMemo = new WeakMap();
  const handlerIds = new Map();   // EventHandlerResult -> callable ids it keeps
  const txFacade = Object.freeze({
    start: (ctx, blockGets) => transaction.start(ctx, blockGets),
    commit: () => transaction.commit(),
    rollback: () => transaction.rollback(),
  });

  table.setFixed(0, { kind: "object", value: context });
  table.setFixed(1, { kind: "object", value: X });
  table.setFixed(2, { kind: "function", value: roots.GetSetting, thisArg: null, name: "GetSetting", immediate: true });
  table.setFixed(3, { kind: "function", value: roots.Union, thisArg: null, name: "Union", immediate: true });
  table.setFixed(4, { kind: "function", value: roots.Intersect, thisArg: null, name: "Intersect", immediate: true });
  table.setFixed(5, { kind: "object", value: txFacade });

  // ------------------------------------------------------------ helpers

  const isClientObject = (v) => v !== null && typeof v === "object"
    && (OE && typeof OE.ClientObject === "function" ? v instanceof OE.ClientObject
      : typeof v.load === "function" && "context" in v);
  const isClientResult = (v) => v !== null && typeof v === "object"
    && (OE && typeof OE.ClientResult === "function" ? v instanceof OE.ClientResult
      : v.constructor && v.constructor.name === "ClientResult");
  const isEventHandlers = (v) => v !== null && typeof v === "object"
    && ((OE && typeof OE.EventHandlers === "function" && v instanceof OE.EventHandlers)
      || (v.constructor && v.constructor.name === "EventHandlers"));
  const isThenable = (v) => v !== null && (typeof v === "object" || typeof v === "function")
    && typeof v.then === "function";

  // The context an object's commands go to: ours, or one that Excel.run made.
  function contextOf(obj) {
    if (obj !== null && typeof obj === "object" && obj !== context) {
      const CRC = OE && OE.ClientRequestContext;
      if (typeof CRC === "function" && obj instanceof CRC) return obj;
      if (isClientObject(obj) && obj.context && typeof obj.context.sync === "function") return obj.context;
    }
    return context;
  }
  const syncOf = (obj) => () => contextOf(obj).sync();

  function memoOf(range) {
    let memo = rangeMemo.get(range);
    if (!memo) rangeMemo.set(range, (memo = {}));
    return memo;
  }

  // Syncs the given contexts and those with tracking waiting, each once.
  async function syncContexts(...contexts) {
    const all = new Set([...contexts, ...table.takeTrackContexts()]);
    for (const ctx of all) await ctx.sync();
  }

  function describe(entry) {
    return entry.kind === "function" ? `${entry.name || "function"}()` : table.typeName(entry.value);
  }

  function descriptorOf(obj, name) {
    for (let p = obj; p !== null; p = Object.getPrototypeOf(p)) {
      const d = Object.getOwnPropertyDescriptor(p, name);
      if (d) return d;
    }
    return undefined;
  }

  // Plain data a getter can hand back stale: primitives, arrays, plain objects.
  function isData(v) {
    return v === null || v === undefined || (typeof v !== "object" && typeof v !== "function")
      || Array.isArray(v) || valuesIsPlainObject(v);
  }

  function encoder(parent, issued) {
    const hooks = {
      reference(value, holder, key) {
        if (typeof value === "function") {
          const id = table.add({ kind: "function", value, thisArg: holder, name: key === undefined ? "" : String(key) },
            parent, issued);
          return { type: "Function", value: id, isSpec: true };
        }
        const id = table.add({ kind: "object", value }, parent, issued);
        return { type: table.typeName(value), value: id, isSpec: true };
      },
      // Plain data needs no object path: it holds no range tracked.
      container: (value) => table.add({ kind: "object", value }, null, issued),
    };
    return (value, holder, key) => valuesEncode(value, hooks, holder, key);
  }

  function decoder(callables) {
    const hooks = {
      lookup(id) {
        const entry = table.get(id);
        if (entry.kind !== "function") return entry.value;
        if (!entry.bound) entry.bound = entry.value.bind(entry.thisArg);
        return entry.bound;
      },
      callable(callableId) {
        callables.push(callableId);
        return pythonFunction(callableId);
      },
    };
    return (record, cells = false) => valuesDecode(record, hooks, cells);
  }

  // A Python callable as a JavaScript function: invokes it through the host
  // and resolves with its decoded result; it rejects with the Python error.
  function pythonFunction(callableId) {
    return async function pythonCallable(...args) {
      const records = args.map((a) => encoder(null, null)(a));
      let result;
      try {
        result = await turns.lend(() => invokeCallable(callableId, records));
      } catch (e) {
        throw new PythonError(e && typeof e.message === "string" ? e.message : String(e));
      }
      return result === undefined ? undefined : decoder([])(result);
    };
  }

  function letGoCallables(ids) {
    for (const id of ids) {
      try {
        releaseCallable(id);
      } catch {
        // The host's bookkeeping failing must not fail the request.
      }
    }
  }

  // ------------------------------------------------------------ GET

  async function doGet(entry, name, issued) {
    if (entry.kind === "function") {
      throw new AddinError("InvalidArgument", `a function has no members (tried '${name}' on ${describe(entry)})`);
    }
    const obj = entry.value;
    const type = table.typeName(obj);
    if (!(name in Object(obj))) throw new AddinError("InvalidArgument", `${type} has no member '${name}'`);
    let value;
    if (isClientObject(obj)) {
      value = await readMember(obj, name, `${type}.${name}`);
    } else {
      value = obj[name];
    }
    const record = encoder(entry, issued)(value, obj, name);
    if (!transaction.isOpen) await syncContexts();
    return record;
  }

  async function readMember(obj, name, label) {
    if (CELL_PROPERTIES.has(name) && typeof obj.getResizedRange === "function") {
      transaction.checkRead(label);
      return cellsRead(obj, name, syncOf(obj), memoOf(obj));
    }
    let value;
    let fetch = false;
    try {
      value = obj[name];
    } catch (e) {
      if (errorsCode(e) !== "PropertyNotLoaded") throw e;
      fetch = true;
    }
    if (!fetch) {
      if (typeof value === "function" || !isData(value) || name === "isNullObject") return value;
      const d = descriptorOf(obj, name);
      if (!d || typeof d.get !== "function") return value;
      fetch = true;
    }
    transaction.checkRead(label);
    if (name === "items") obj.load();
    else if (name !== "isNullObject") obj.load(name);
    await contextOf(obj).sync();
    return obj[name];
  }

  // ------------------------------------------------------------ GETITEM

  async function doGetItem(entry, key, issued) {
    if (entry.kind === "function") throw new AddinError("InvalidArgument", `${describe(entry)} does not support item access`);
    const obj = entry.value;
    const type = table.typeName(obj);
    const { index, slice, address } = itemsParseKey(key);
    let value;
    if (Array.isArray(obj)) {
      if (slice) value = itemsSlice(obj, slice);
      else if (index !== null) value = itemsAt(obj, index, key);
      else throw new AddinError("InvalidArgument", `bad index ${JSON.stringify(key)} for an array: use an integer or a slice`);
    } else if (isClientObject(obj)) {
      if (address && typeof obj.getRange === "function") {
        value = obj.getRange(address);
      } else if (index !== null && index >= 0 && typeof obj.getItemAt === "function") {
        value = obj.getItemAt(index);
      } else if (index !== null && "items" in obj) {
        // A negative position, or a collection without getItemAt: by its items.
        const items = await readMember(obj, "items", `${type}.items`);
        let i = index;
        if (i < 0) i += items.length;
        if (i < 0 || i >= items.length) {
          throw new AddinError("ItemNotFound", `${type}[${key}]: the collection has ${items.length} item(s)`);
        }
        value = items[i];
      } else {
        throw new AddinError("InvalidArgument", `${type} does not support item access with ${JSON.stringify(key)}`);
      }
    } else if (obj !== null && typeof obj === "object" && Object.prototype.hasOwnProperty.call(obj, key)) {
      value = obj[key];
    } else {
      throw new AddinError("InvalidArgument", `${type} has no item ${JSON.stringify(key)}`);
    }
    const record = encoder(entry, issued)(value, obj, key);
    if (!transaction.isOpen) await syncContexts();
    return record;
  }

  // ------------------------------------------------------------ SET

  async function doSet(entry, name, record, callables) {
    const obj = entry.value;
    if (entry.kind === "function" || !isClientObject(obj)) {
      throw new AddinError("InvalidOperation", `members of ${describe(entry)} cannot be assigned`);
    }
    const type = table.typeName(obj);
    const d = descriptorOf(obj, name);
    if (!d) throw new AddinError("InvalidArgument", `${type} has no property '${name}'`);
    if (typeof d.value === "function") {
      throw new AddinError("InvalidOperation", `${type}.${name} is a method and cannot be assigned; call it instead`);
    }
    if ((d.get && !d.set) || d.writable === false) {
      throw new AddinError("InvalidOperation", `${type}.${name} is read-only`);
    }
    const cells = CELL_PROPERTIES.has(name);
    const value = decoder(callables)(record, cells);
    const apply = async () => {
      if (cells) return cellsWrite(obj, name, value, syncOf(obj), memoOf(obj));
      obj[name] = value;
      return estimateBytes(value);
    };
    if (transaction.isOpen) {
      const size = cells ? cellsEstimate(value) : null;
      const held = callables.splice(0);
      transaction.defer({
        label: `${type}.${name} = ...`,
        bytes: size ? size.total : estimateBytes(value),
        run: apply,
        done: (ran) => (ran ? held.forEach((id) => kept.add(id)) : letGoCallables(held)),
      });
      return;
    }
    await apply();
    await contextOf(obj).sync();
    // A Python function assigned to a property stays registered.
    for (const id of callables.splice(0)) kept.add(id);
  }

  function estimateBytes(value) {
    try {
      return (JSON.stringify(value) || "").length + 64;
    } catch {
      return 64;
    }
  }

  // ------------------------------------------------------------ CALL

  function decodeArgs(list, callables) {
    if (list === undefined || list === null) return [];
    if (!Array.isArray(list)) throw new AddinError("InvalidArgument", "the call's args must be a list");
    const decode = decoder(callables);
    const positional = [];
    let named = null;
    for (const a of list) {
      if (a === null || typeof a !== "object") throw new AddinError("InvalidArgument", "malformed argument entry");
      if (a.arg_type === "NAMED") {
        if (named === null) named = {};
        named[String(a.name)] = decode(a.value);
      } else {
        positional.push(decode(a.value));
      }
    }
    if (named !== null) positional.push(named);
    return positional;
  }

  function isImmediate(entry) {
    return entry.immediate === true || entry.thisArg === txFacade || /^get[A-Z]|^get$/.test(entry.name)
      || IMMEDIATE_IN_BATCH.has(entry.name);
  }

  async function doCall(entry, argList, issued, callables, token) {
    if (entry.kind !== "function") {
      throw new AddinError("InvalidArgument", `${describe(entry)} is not a function and cannot be called`);
    }
    const args = decodeArgs(argList, callables);
    if (transaction.isOpen && !isImmediate(entry)) {
      const held = callables.splice(0);
      transaction.defer({
        label: `${entry.name}()`,
        bytes: estimateBytes(args),
        run: async () => {
          const result = await invoke(entry, args, null);
          keepCallables(entry, result, held);
          afterRemove(entry);
          return 64;
        },
        done: () => letGoCallables(held.filter((id) => !kept.has(id))),
      });
      return valuesNull();
    }
    let result = await invoke(entry, args, token);
    const fetched = isClientResult(result);
    if (fetched) {
      transaction.checkRead(`${entry.name}()`);
      await contextOf(entry.thisArg).sync();
      result = result.value;
    }
    const record = encoder(entry, issued)(result, undefined, undefined);
    // A get* method that returned a proxy queued nothing of its own (Excel
    // checks the proxy when it is used): only the tracking of a returned
    // range needs a sync. Every other call syncs to report its own errors.
    const synced = fetched || (/^get/.test(entry.name) && isClientObject(result));
    if (!transaction.isOpen) await (synced ? syncContexts() : syncContexts(contextOf(entry.thisArg)));
    keepCallables(entry, result, callables);
    afterRemove(entry);
    return record;
  }

  async function invoke(entry, args, token) {
    const result = token ? turns.calling(token, () => entry.value.apply(entry.thisArg, args))
      : entry.value.apply(entry.thisArg, args);
    return isThenable(result) && !isClientObject(result) ? await result : result;
  }

  // Python callables an event handler keeps stay registered until removed.
  const kept = new Set();
  function keepCallables(entry, result, callables) {
    if (callables.length === 0 || entry.name !== "add" || !isEventHandlers(entry.thisArg)) return;
    for (const id of callables) kept.add(id);
    if (result !== null && typeof result === "object") handlerIds.set(result, callables.slice());
  }

  // A handler is removed through the EventHandlerResult its add returned
  // (Python cannot name the same JavaScript function twice: every encoding
  // of a Python function registers it afresh).
  function afterRemove(entry) {
    if (entry.name !== "remove" || !entry.thisArg || !handlerIds.has(entry.thisArg)) return;
    const ids = handlerIds.get(entry.thisArg);
    handlerIds.delete(entry.thisArg);
    letGoCallables(ids.filter((id) => kept.delete(id)));
  }

  // ------------------------------------------------------------ requests

  async function run(request, token) {
    if (request === null || typeof request !== "object") {
      throw new AddinError("InvalidRequest", "a request must be an object");
    }
    const { method } = request;
    const name = request.name;
    const issued = [];
    const callables = [];
    let ok = false;
    try {
      let result = valuesNull();
      if (method === "DEL") {
        table.release([request.caller]);
        scheduleUntracks();
        ok = true;
        return result;
      }
      const entry = table.get(request.caller);
      if (method === "GET" || method === "GETITEM" || method === "SET") {
        if (typeof name !== "string") throw new AddinError("InvalidRequest", `a ${method} request needs a member name`);
      }
      if (method === "GET") result = await doGet(entry, name, issued);
      else if (method === "GETITEM") result = await doGetItem(entry, name, issued);
      else if (method === "SET") await doSet(entry, name, request.value, callables);
      else if (method === "CALL") result = await doCall(entry, request.args, issued, callables, token);
      else throw new AddinError("InvalidRequest", `unknown request method ${JSON.stringify(method)} (GET, GETITEM, SET or CALL)`);
      ok = true;
      return result;
    } finally {
      if (!ok) {
        table.release(issued);
        if (!transaction.isOpen) await settle();
      }
      letGoCallables(callables.filter((id) => !kept.has(id)));
    }
  }

  // After a failure, a sync of its own sends whatever the failed request
  // left queued (and released ranges' untracking), so that no later request
  // reports an error that is not its own.
  async function settle() {
    const contexts = [context, ...table.queueUntracks(), ...table.takeTrackContexts()];
    for (const ctx of new Set(contexts)) {
      try {
        await ctx.sync();
      } catch {
        // Already reported by the failed request, or nothing anyone asked for.
      }
    }
  }

  let untrackScheduled = false;
  function scheduleUntracks() {
    if (untrackScheduled || table.pendingUntrack.length === 0) return;
    untrackScheduled = true;
    turns.run(async () => {
      untrackScheduled = false;
      if (transaction.isOpen) return;   // flushed after the commit or rollback
      for (const ctx of table.queueUntracks()) {
        try {
          await ctx.sync();
        } catch {
          // A range whose sheet is gone cannot be untracked; nothing is lost.
        }
      }
    }).catch(() => {});
  }

  function execute(request) {
    let requestId = null;
    try {
      requestId = request && typeof request === "object" ? request.requestId ?? null : null;
    } catch {
      requestId = null;
    }
    return turns.run((token) => run(request, token)).then(
      (result) => ({ requestId, ok: true, result }),
      (e) => {
        let message;
        try {
          message = errorsText(e);
        } catch {
          message = "GeneralException: the add-in failed to describe an error";
        }
        return { requestId, ok: false, error: { message } };
      },
    );
  }

  function release(ids) {
    try {
      table.release(Array.isArray(ids) ? ids : [ids]);
      if (!transaction.isOpen) scheduleUntracks();
    } catch {
      // Releasing never fails towards the caller.
    }
  }

  // A new Python session (after a reconnect) holds nothing of the old one:
  // its ids, its open batch and its event handlers (whose Python functions
  // are gone with the old session) are dropped. Ids keep counting.
  function reset() {
    transaction.rollback();
    table.release([...table.entries.keys()]);
    kept.clear();
    const results = [...handlerIds.keys()];
    handlerIds.clear();
    return turns.run(async () => {
      for (const result of results) {
        try {
          result.remove();
        } catch {
          // Its object is gone: the handler went with it.
        }
      }
      for (const ctx of new Set([context, ...table.queueUntracks()])) {
        try {
          await ctx.sync();
        } catch {
          // Nothing anyone waits for.
        }
      }
    }).catch(() => {});
  }

  // objectCount and trackedCount are for the pane's status line and tests.
  return {
    execute,
    release,
    reset,
    get objectCount() { return table.size; },
    get trackedCount() { return table.trackCounts.size; },
  };
}
