// The add-in's request executor: answers com_like's GET, GETITEM, SET and
// CALL requests against Office.js, one at a time, on one long-lived
// RequestContext (new Excel.RequestContext()).
//
// In Excel on the web every context.sync() is a network round trip, so a
// request syncs only when Python needs something from Excel: a value, an
// error it must see on that line, or a commit. Making objects (navigation
// properties, get* methods that return proxies) costs none; tracking rides
// with the sync that first needs the range, untracking with the next sync
// that happens anyway (objects.mjs).
//
// What each request does:
// - GET reads a member. A navigation property (a proxy, read with no round
//   trip) comes back as a reference; a method as a "Function" reference bound
//   to its object; a scalar property is loaded and synced: when reading it
//   throws PropertyNotLoaded, and also when it reads without error, since a
//   value loaded or assigned earlier may be stale (a formula's result, typed
//   input turned into a number). A collection's "items" is loaded with one
//   identifying property of its members (id, key, name, address or index), not with
//   an argument-less load(). isNullObject is read after a sync; an ordinary
//   proxy, for which Office.js fills it in on no build, reads false.
// - GETITEM: arrays and dictionaries by index or key (Python slices on
//   arrays), collections by position (getItemAt; a negative position, or a
//   collection without getItemAt, through its items), worksheets by address
//   slice (sheet["A1":"C3"] -> getRange("A1:C3")).
// - SET assigns and syncs, so a failure is reported on the assignment itself.
//   Only existing, writable properties of Office.js objects can be assigned.
// - CALL calls a "Function" reference with the PLACED arguments in order;
//   a NAMED argument takes the place of the parameter it names, for the
//   methods of the members table (members.mjs, shared with the simulated
//   workbook); for other functions NAMED arguments are passed as one
//   trailing object {name: value} (the shape of Office.js option arguments).
//   An argument that is cell data (rows.add's values, cells.mjs) is decoded
//   as a range's values are. A returned promise is awaited, a ClientResult
//   synced and its value returned, a returned proxy handed out as a
//   reference. A get* call that returned a proxy does not sync; any other
//   call on an Office.js object syncs to report its own errors.
// Inside an open transaction (batch.mjs) writes and workbook-changing calls
// are queued until commit instead of synced.
//
// Every request gets exactly one response; execute() never rejects. A failed
// GET's error also says whether the member is missing ("missingMember": true,
// an attribute error in Python) or the read failed for another reason
// (false: a RuntimeError). Requests take turns on the shared context
// (turns.mjs): a request that goes requestTimeoutMs without finishing or
// reporting progress is answered with RequestAborted and the next one
// starts, and a Python function that Office.js calls from inside a call may
// itself make requests. Cell data in blocks (cells.mjs) reports progress
// after each block (onProgress) and stops before the next when the host
// cancels the request (cancel, or cancelAll when the connection closes) or
// its time ran out.
//
// Cell-edit mode: while the user edits a cell, Excel fails every batch of a
// bare RequestContext with InvalidOperationInCellEditMode, applying nothing.
// A request whose first sync fails so waits for the edit to end and runs
// again from the start, within its time limit: where ExcelApi 1.20 is
// supported it waits on an Excel.run({delayForCellEdit: true}) of its own
// that only loads a property, elsewhere it tries again every quarter second.
// Out of time, it fails with InvalidOperationInCellEditMode, having applied
// nothing.
//
// Office.js behaviour this relies on (as documented):
// - new Excel.RequestContext(); context.sync() runs queued commands in order
//   and rejects with OfficeExtension.Error {code, message, debugInfo,
//   traceMessages (the context.trace markers executed before the error)};
// - reading an unloaded scalar throws PropertyNotLoaded synchronously;
//   obj.load("name") then sync makes it readable; collection.load("name")
//   loads that property on every member; navigation properties return
//   proxies at once; properties and methods live on the prototypes of the
//   classes exported on the Excel namespace; proxies are instances of
//   OfficeExtension.ClientObject, contexts of ClientRequestContext;
// - methods that return primitives give OfficeExtension.ClientResult, whose
//   value is set by the next sync;
// - *OrNullObject methods give a proxy whose isNullObject is known after sync;
// - context.trackedObjects.add/remove are queued and sent with the next sync;
//   they keep ranges valid across syncs (a proxy belongs to its context:
//   Excel.run makes contexts of its own);
// - a batch refused for cell-edit mode applies nothing; Excel.run with
//   RunOptions.delayForCellEdit (ExcelApi 1.20) waits for the edit to end;
// - collections have getItemAt(i) and items;
// - a sync after EventHandlers.add registers the handler, and the handler is
//   called with one event-arguments object and may return a promise;
//   EventHandlerResult.remove() followed by a sync on the same context
//   removes it;
// - range.getCell(r, c).getResizedRange(dr, dc) addresses a block of rows;
//   worksheet.getRanges("A1:B2, D4") makes a RangeAreas (ExcelApi 1.9);
//   range.getIntersectionOrNullObject(other); workbook.settings
//   .getItemOrNullObject(name) with a loadable value;
// - a two-dimensional array assigned to a range's cell data; a 1 x 1 array
//   fills a larger range (the reference's own sample); "" empties a cell;
//   null in a values array leaves a cell unchanged (hence None -> "").
//
// Bad arguments reported late: a method that returns a proxy only describes
// an object; Excel checks it when a command that uses it is synced. So
// worksheets.getItem(name), getItemAt(i), settings.getItem(key),
// sheet.getRange(address), getRangeByIndexes, getRanges, getCell,
// getOffsetRange, getResizedRange, getRow/getColumn, getIntersection,
// getBoundingRect and getUsedRange report a bad argument (ItemNotFound,
// InvalidArgument) on the first request that uses the proxy they returned:
// reading a property, assigning one, or a call whose sync needs the object
// (the tracking of a range travels with that same sync). *OrNullObject
// methods never fail: they give a null object. Writes, and calls that change
// the workbook or return data (add, delete, clear, getCount ...), report
// their errors themselves; inside a transaction, commit reports them. A read
// that fails so names the call that made the object (each object's entry
// keeps how it was reached: Context.workbook.worksheets.getItem("Sheeet1")).

import { AddinError, PythonError } from "./errors.mjs";
import * as errors from "./errors.mjs";
import * as values from "./values.mjs";
import { ObjectTable } from "./objects.mjs";
import { CANCELLED, CELL_PROPERTIES } from "./cells.mjs";
import * as cells from "./cells.mjs";
import * as dates from "./dates.mjs";
import { Transaction } from "./batch.mjs";
import * as roots from "./roots.mjs";
import { Turns } from "./turns.mjs";
import * as items from "./items.mjs";
import * as members from "./members.mjs";
import {
  descriptorOf, isClientObject, isClientResult, isData, isEventHandlerResult, isEventHandlers, isRequestContext,
  isThenable,
} from "./kinds.mjs";
import { CELL_EDIT, waitForEdit } from "./cell_edit.mjs";
import { Callables, eventSource } from "./callables.mjs";

const DEFAULT_TIMEOUT_MS = 29000;
const UNTRACK_IDLE_MS = 1000;       // releases wait this long for a sync to ride on
const IMMEDIATE_IN_BATCH = new Set(["load", "track", "untrack", "toJSON"]);
// Identifying member properties, tried in this order, for loading a collection's items.
const ITEM_KEYS = ["id", "key", "name", "address", "index"];

export function createExecutor({
  invokeCallable, releaseCallable, requestTimeoutMs = DEFAULT_TIMEOUT_MS, untrackIdleMs = UNTRACK_IDLE_MS,
  onProgress = () => {},
} = {}) {
  if (typeof invokeCallable !== "function" || typeof releaseCallable !== "function") {
    throw new TypeError("createExecutor needs invokeCallable and releaseCallable functions");
  }
  const Excel = globalThis.Excel;
  const context = new Excel.RequestContext();
  const table = new ObjectTable(context);
  const turns = new Turns(requestTimeoutMs);
  const syncErrors = new WeakSet();   // errors that came from a sync (its queue is gone)
  const tokens = new Map();           // requestId -> token, queued or running
  let syncsDone = 0;

  // Every sync goes through here: it carries the tracking queued for the
  // context and tells the object table how it went.
  async function syncOn(ctx) {
    const token = turns.holder;
    if (token) {
      token.syncs = (token.syncs || 0) + 1;
      token.queued = false;
    }
    const batch = table.takeQueued(ctx);
    try {
      await ctx.sync();
    } catch (e) {
      table.settle(batch, e);
      if (e !== null && typeof e === "object") syncErrors.add(e);
      throw e;
    }
    syncsDone++;
  }
  const sync = () => syncOn(context);

  // What a block loop of the request in its turn asks before each block
  // (stop?) and tells after it (progress, which also moves its time limit on).
  function blockWatch() {
    const token = turns.holder;
    if (!token) return undefined;
    return {
      stopped: () => (token.cancelled ? "the host asked to stop" : token.dead ? "out of time" : null),
      step: (rows, totalRows, cols) => {
        token.touch();
        if (token.requestId === null || token.requestId === undefined) return;
        try {
          onProgress(token.requestId, { rows, totalRows, cells: rows * cols, totalCells: totalRows * cols });
        } catch {
          // A report that does not go out is no reason to stop the work.
        }
      },
    };
  }

  // The request in its turn may have left commands queued.
  function queuing() {
    if (turns.holder) turns.holder.queued = true;
  }
  function touch(entries) {
    queuing();
    table.touch(entries);
  }

  const transaction = new Transaction({
    context, sync, syncCount: () => syncsDone, afterCommit: () => scheduleUntracks(),
    waitForCellEdit: () => waitForEdit(turns.holder && turns.holder.deadline, requestTimeoutMs),
  });
  const fixed = roots.make({
    context, sync, checkRead: (what) => transaction.checkRead(what),
    prepare: (objects) => { queuing(); objects.forEach((o) => table.touchObject(o)); },
  });
  const rangeMemo = new WeakMap();
  const registry = new Callables(releaseCallable);
  const txFacade = Object.freeze({
    start: (ctx, blockGets) => transaction.start(ctx, blockGets),
    commit: () => transaction.commit(),
    rollback: () => transaction.rollback(),
  });

  table.setFixed(0, { kind: "object", value: context, label: "Context" });
  table.setFixed(1, { kind: "object", value: Excel, label: "Excel" });
  // params: the names keywords may give (Union and Intersect take ranges only).
  table.setFixed(2, { kind: "function", value: fixed.GetSetting, thisArg: null, name: "GetSetting", immediate: true,
    label: "GetSetting", params: ["name"] });
  table.setFixed(3, { kind: "function", value: fixed.Union, thisArg: null, name: "Union", immediate: true,
    label: "Union", params: [] });
  table.setFixed(4, { kind: "function", value: fixed.Intersect, thisArg: null, name: "Intersect", immediate: true,
    label: "Intersect", params: [] });
  table.setFixed(5, { kind: "object", value: txFacade, label: "Transaction" });

  // ------------------------------------------------------------ helpers

  // The context an object's commands go to: ours, or one that Excel.run made.
  function contextOf(obj) {
    if (obj !== null && typeof obj === "object" && obj !== context) {
      if (isRequestContext(obj)) return obj;
      if (isClientObject(obj) && obj.context && typeof obj.context.sync === "function") return obj.context;
    }
    return context;
  }
  const syncOf = (obj) => () => syncOn(contextOf(obj));

  function memoOf(range) {
    let memo = rangeMemo.get(range);
    if (!memo) rangeMemo.set(range, (memo = {}));
    return memo;
  }

  function describe(entry) {
    return entry.kind === "function" ? `${entry.name || "function"}()` : table.typeName(entry.value);
  }

  // label: how the result was reached (Context.workbook.worksheets.getItem("x")),
  // for errors that name the call that made a bad object.
  function encoder(parent, issued, cellNumbers = false, label = undefined) {
    let top;
    const hooks = {
      cellNumbers,
      reference(value, holder, key) {
        const made = value === top ? label : undefined;
        if (typeof value === "function") {
          const id = table.add({ kind: "function", value, thisArg: holder, name: key === undefined ? "" : String(key),
            label: made }, parent, issued);
          return { type: "Function", value: id, isSpec: true };
        }
        const id = table.add({ kind: "object", value, label: made }, parent, issued);
        return { type: table.typeName(value), value: id, isSpec: true };
      },
      // Plain data needs no object path: it holds no range tracked.
      container: (value) => table.add({ kind: "object", value }, null, issued),
    };
    return (value, holder, key) => {
      top = value;
      return values.encode(value, hooks, holder, key);
    };
  }

  // refs collects the entries of the objects decoded, whose ranges a
  // request touches before using them.
  function decoder(callables, refs = []) {
    const hooks = {
      lookup(id) {
        const entry = table.get(id);
        refs.push(entry);
        if (entry.kind !== "function") return entry.value;
        if (!entry.bound) entry.bound = entry.value.bind(entry.thisArg);
        return entry.bound;
      },
      callable(callableId) {
        callables.push(callableId);
        return pythonFunction(callableId);
      },
    };
    return (record, asCells = false) => values.decode(record, hooks, asCells);
  }

  // A Python callable as a JavaScript function: invokes it through the host
  // and resolves with its decoded result; it rejects with the Python error.
  function pythonFunction(callableId) {
    return async function pythonCallable(...args) {
      const records = args.map((a) => encoder(null, null)(a));
      const source = registry.isHandler(callableId) ? eventSource(args[0]) : undefined;
      let result;
      try {
        result = await turns.lend(() => invokeCallable(callableId, records, source));
      } catch (e) {
        throw new PythonError(e && typeof e.message === "string" ? e.message : String(e));
      }
      return result === undefined ? undefined : decoder([])(result);
    };
  }

  // ------------------------------------------------------------ GET

  async function doGet(entry, name, issued) {
    if (entry.kind === "function") {
      throw errors.missingMember(`a function has no members (tried '${name}' on ${describe(entry)})`);
    }
    const obj = entry.value;
    const type = table.typeName(obj);
    if (!(name in Object(obj))) throw errors.missingMember(members.missingText(type, name));
    let value;
    if (isClientObject(obj)) {
      value = await readMember(entry, obj, name, `${type}.${name}`);
    } else {
      value = obj[name];
    }
    return encoder(entry, issued, isCellData(obj, name), members.path(`${entry.label || type}.${name}`))(value, obj, name);
  }

  const isCellData = (obj, name) => CELL_PROPERTIES.has(name) && typeof obj.getResizedRange === "function";

  async function readMember(entry, obj, name, label) {
    if (isCellData(obj, name)) {
      transaction.checkRead(label);
      touch([entry]);
      return cells.read(obj, name, syncOf(obj), memoOf(obj), blockWatch());
    }
    let value;
    let fetch = false;
    try {
      value = obj[name];
    } catch (e) {
      if (errors.code(e) !== "PropertyNotLoaded") throw e;
      fetch = true;
    }
    if (!fetch) {
      if (typeof value === "function" || !isData(value) || name === "isNullObject") return value;
      const d = descriptorOf(obj, name);
      if (!d || typeof d.get !== "function") return value;
      fetch = true;
    }
    transaction.checkRead(label);
    touch([entry]);
    if (name === "items") loadItems(obj);
    else if (name !== "isNullObject") obj.load(name);
    await syncOn(contextOf(obj));
    if (name !== "isNullObject") return obj[name];
    // Office.js fills isNullObject in for *OrNullObject results; for any
    // other proxy the sync above found it, or failed.
    try {
      return obj.isNullObject;
    } catch (e) {
      if (errors.code(e) === "PropertyNotLoaded") return false;
      throw e;
    }
  }

  // Loads a collection's items with one identifying property of its members
  // (the reference advises against load() with no argument: every scalar of
  // every member, and a risk to the payload limit).
  function loadItems(collection) {
    const type = table.typeName(collection);
    const Item = type.endsWith("Collection") ? Excel[type.slice(0, -"Collection".length)] : undefined;
    const proto = typeof Item === "function" ? Item.prototype : null;
    const key = proto ? ITEM_KEYS.find((k) => { const d = descriptorOf(proto, k); return d && d.get; }) : undefined;
    if (key) collection.load(key);
    else collection.load();
  }

  // ------------------------------------------------------------ GETITEM

  async function doGetItem(entry, key, issued) {
    if (entry.kind === "function") throw new AddinError("InvalidArgument", `${describe(entry)} does not support item access`);
    const obj = entry.value;
    const type = table.typeName(obj);
    const { index, slice, address } = items.parseKey(key);
    let value;
    if (Array.isArray(obj)) {
      if (slice) value = items.slice(obj, slice);
      else if (index !== null) value = items.at(obj, index, key);
      else throw new AddinError("InvalidArgument", `bad index ${JSON.stringify(key)} for an array: use an integer or a slice`);
    } else if (isClientObject(obj)) {
      if (address && typeof obj.getRange === "function") {
        value = obj.getRange(address);
        roots.note(value, obj, "getRange", [address]);
      } else if (index !== null && index >= 0 && typeof obj.getItemAt === "function") {
        value = obj.getItemAt(index);
      } else if (index !== null && "items" in obj) {
        // A negative position, or a collection without getItemAt: by its items.
        const list = await readMember(entry, obj, "items", `${type}.items`);
        let i = index;
        if (i < 0) i += list.length;
        if (i < 0 || i >= list.length) {
          throw new AddinError("ItemNotFound", `${type}[${key}]: the collection has ${list.length} item(s)`);
        }
        value = list[i];
      } else {
        throw new AddinError("InvalidArgument", `${type} does not support item access with ${JSON.stringify(key)}`);
      }
    } else if (obj !== null && typeof obj === "object" && Object.prototype.hasOwnProperty.call(obj, key)) {
      value = obj[key];
    } else {
      throw new AddinError("InvalidArgument", `${type} has no item ${JSON.stringify(key)}`);
    }
    return encoder(entry, issued, false, members.path(`${entry.label || type}[${key}]`))(value, obj, key);
  }

  // ------------------------------------------------------------ SET

  async function doSet(entry, name, record, callables) {
    const obj = entry.value;
    if (entry.kind === "function" || !isClientObject(obj)) {
      throw new AddinError("InvalidOperation", `members of ${describe(entry)} cannot be assigned`);
    }
    const type = table.typeName(obj);
    const d = descriptorOf(obj, name);
    if (!d) throw new AddinError("InvalidArgument", members.missingText(type, name));
    if (typeof d.value === "function") {
      throw new AddinError("InvalidOperation", `${type}.${name} is a method and cannot be assigned; call it instead`);
    }
    if ((d.get && !d.set) || d.writable === false) {
      throw new AddinError("InvalidOperation", `${type}.${name} is read-only`);
    }
    const isCells = cells.holds(obj, name);
    const refs = [entry];
    const value = decoder(callables, refs)(record, isCells);
    // Dates written as data get a date format where the cell's is General (dates.mjs).
    const dated = isCells && (name === "values" || name === "formulas") && cells.isRange(obj) ? dates.find(record) : null;
    const apply = async () => {
      touch(refs);
      if (isCells) {
        let formats = null;
        if (dated) {
          obj.load("numberFormat");
          await syncOf(obj)();
          formats = dates.formats(dated, obj.numberFormat);
        }
        const bytes = await cells.write(obj, name, value, syncOf(obj), memoOf(obj), blockWatch());
        if (formats) obj.numberFormat = formats;
        return bytes;
      }
      obj[name] = value;
      return estimateBytes(value);
    };
    if (transaction.isOpen) {
      const size = isCells ? cells.estimate(value) : null;
      const held = callables.splice(0);
      transaction.defer({
        label: `${type}.${name} = ...`,
        bytes: size ? size.total : estimateBytes(value),
        run: apply,
        done: (ran) => (ran ? registry.keep(held) : registry.letGo(held)),
      });
      return;
    }
    await apply();
    await syncOn(contextOf(obj));
    // A Python function assigned to a property stays registered.
    registry.keep(callables.splice(0));
  }

  function estimateBytes(value) {
    try {
      return (JSON.stringify(value) || "").length + 64;
    } catch {
      return 64;
    }
  }

  // ------------------------------------------------------------ CALL

  // NAMED arguments of a method in the members table take the places of the
  // parameters they name; elsewhere they go as one trailing options object.
  // cellArg: the position of an argument that is cell data, if any.
  function decodeArgs(entry, list, callables, refs, cellArg) {
    const shown = [];
    const args = decodeArgList(entry, list, callables, refs, shown, cellArg);
    return { args, shown };
  }

  function decodeArgList(entry, list, callables, refs, shown, cellArg) {
    if (list === undefined || list === null) return [];
    if (!Array.isArray(list)) throw new AddinError("InvalidArgument", "the call's args must be a list");
    const decode = decoder(callables, refs);
    const positional = [];
    let named = null;
    for (const a of list) {
      if (a === null || typeof a !== "object") throw new AddinError("InvalidArgument", "malformed argument entry");
      if (a.arg_type === "NAMED") {
        if (named === null) named = new Map();
        named.set(String(a.name), a.value);   // decoded once its place is known
      } else {
        const value = decode(a.value, positional.length === cellArg);
        positional.push(value);
        shown.push([null, value]);
      }
    }
    if (named === null) return positional;
    const holder = entry.thisArg;
    const type = holder !== null && typeof holder === "object" ? table.typeName(holder) : null;
    const params = entry.params || (type ? members.parameters(type, entry.name) : null);
    if (params === null) {
      const options = {};
      for (const [keyword, raw] of named) {
        options[keyword] = decode(raw);
        shown.push([keyword, options[keyword]]);
      }
      positional.push(options);
      return positional;
    }
    const label = type ? `${type}.${entry.name}` : entry.name;
    const args = positional.slice();
    for (const [keyword, raw] of named) {
      const at = params.indexOf(keyword);
      if (at < 0) throw new AddinError("InvalidArgument", members.unknownKeywordText(label, keyword, params));
      if (at < positional.length) {
        throw new AddinError("InvalidArgument", `${label}() got multiple values for parameter '${keyword}'`);
      }
      const value = decode(raw, at === cellArg);
      shown.push([keyword, value]);
      args[at] = value;
    }
    // Parameters left out between those given are undefined: Office.js's "not given".
    return Array.from(args);
  }

  function isImmediate(entry) {
    return entry.immediate === true || entry.thisArg === txFacade || /^get[A-Z]|^get$/.test(entry.name)
      || IMMEDIATE_IN_BATCH.has(entry.name);
  }

  async function doCall(entry, argList, issued, callables, token) {
    if (entry.kind !== "function") {
      throw new AddinError("InvalidArgument", `${describe(entry)} is not a function and cannot be called`);
    }
    const refs = [entry];
    const holder = entry.thisArg;
    const cellArg = holder !== null && typeof holder === "object" ? cells.argumentIndex(table.typeName(holder), entry.name) : undefined;
    const { args, shown } = decodeArgs(entry, argList, callables, refs, cellArg);
    const label = members.callText(entry.label || entry.name || "function", shown, (v) => table.typeName(v));
    // get* methods make proxies and queue nothing; the fixed functions and
    // the transaction object sync for themselves.
    const maker = /^get[A-Z]|^get$/.test(entry.name);
    const ownSyncs = entry.immediate === true || entry.thisArg === txFacade;
    if (transaction.isOpen && !isImmediate(entry)) {
      const held = callables.splice(0);
      transaction.defer({
        label: `${entry.name}()`,
        bytes: estimateBytes(args),
        run: async () => {
          touch(refs);
          const result = await invoke(entry, args, null);
          registry.afterAdd(entry, result, held);
          registry.afterRemove(entry);
          return 64;
        },
        done: () => registry.letGoUnkept(held),
      });
      return values.nullRecord();
    }
    if (!maker && !ownSyncs) touch(refs);
    else queuing();
    let result = await invoke(entry, args, token);
    roots.note(result, entry.thisArg, entry.name, args);
    const fetched = isClientResult(result);
    if (fetched) {
      transaction.checkRead(`${entry.name}()`);
      touch(refs);
      await syncOn(contextOf(entry.thisArg));
      result = result.value;
    }
    const record = encoder(entry, issued, false, label)(result, undefined, undefined);
    if (!transaction.isOpen && !fetched && !maker && !ownSyncs && needsSync(entry, result)) {
      await syncOn(contextOf(entry.thisArg));
    }
    registry.afterAdd(entry, result, callables);
    registry.afterRemove(entry);
    return record;
  }

  // A call on an Office.js object (or on its event handlers) queued commands
  // whose errors it must report; a call that returned a promise did its own
  // waiting, and plain functions reach no workbook.
  function needsSync(entry, result) {
    if (isThenable(result) || entry.name === "toJSON") return false;
    const holder = entry.thisArg;
    if (holder === null || typeof holder !== "object" || holder === Excel) return false;
    return isClientObject(holder) || isEventHandlers(holder) || isEventHandlerResult(holder) || isRequestContext(holder);
  }

  async function invoke(entry, args, token) {
    const result = token ? turns.calling(token, () => entry.value.apply(entry.thisArg, args))
      : entry.value.apply(entry.thisArg, args);
    return isThenable(result) && !isClientObject(result) ? await result : result;
  }

  // ------------------------------------------------------------ requests

  async function run(request, token, callables) {
    if (request === null || typeof request !== "object") {
      throw new AddinError("InvalidRequest", "a request must be an object");
    }
    const { method } = request;
    const name = request.name;
    const issued = [];
    try {
      if (method === "DEL") {
        table.release([request.caller]);
        scheduleUntracks();
        return values.nullRecord();
      }
      // Releases so far travel with this request's sync, ahead of its commands.
      table.queueUntracks();
      const entry = table.get(request.caller);
      if (method === "GET" || method === "GETITEM" || method === "SET") {
        if (typeof name !== "string") throw new AddinError("InvalidRequest", `a ${method} request needs a member name`);
      }
      if (method === "GET") return await doGet(entry, name, issued);
      if (method === "GETITEM") return await doGetItem(entry, name, issued);
      if (method === "SET") {
        await doSet(entry, name, request.value, callables);
        return values.nullRecord();
      }
      if (method === "CALL") return await doCall(entry, request.args, issued, callables, token);
      throw new AddinError("InvalidRequest", `unknown request method ${JSON.stringify(method)} (GET, GETITEM, SET or CALL)`);
    } catch (e) {
      table.release(issued);
      // Office.js reports a bad argument of a get* call where its object is
      // first used: the error names the call that made the object.
      if (method === "GET" && syncErrors.has(e) && e !== null && typeof e === "object") {
        const made = madeByCall(request.caller);
        if (made) e.madeBy = made;
      }
      // A failure before the sync may leave commands queued: a sync of its
      // own sends them, so that no later request reports an error that is
      // not its own. A failed sync left nothing.
      if (token.queued && !syncErrors.has(e) && !transaction.isOpen) await settle();
      throw e;
    }
  }

  function madeByCall(caller) {
    try {
      const label = table.get(caller).label;
      return typeof label === "string" && label.includes("(") ? label : null;
    } catch {
      return null;
    }
  }

  async function settle() {
    for (const ctx of new Set([context, ...table.queuedContexts])) {
      try {
        await syncOn(ctx);
      } catch {
        // Already reported by the failed request, or nothing anyone asked for.
      }
    }
  }

  // Runs a request; one refused for cell-edit mode at its first sync applied
  // nothing, and runs again once the edit is over.
  async function attempts(request, token) {
    const callables = [];
    token.deadline = Date.now() + requestTimeoutMs - Math.min(1000, requestTimeoutMs / 10);
    if (token.cancelled) throw new AddinError(CANCELLED, "stopped before it started; nothing was done");
    try {
      for (;;) {
        token.syncs = 0;
        token.queued = false;
        try {
          return await run(request, token, callables);
        } catch (e) {
          if (errors.code(e) !== CELL_EDIT || token.syncs !== 1 || token.dead) throw e;
          await waitForEdit(token.deadline, requestTimeoutMs);
        }
      }
    } finally {
      registry.letGoUnkept([...new Set(callables)]);
    }
  }

  // Releases wait for a sync that happens anyway; after untrackIdleMs
  // without one they are sent in a sync of their own. A failed one is tried
  // again later: a release is never lost.
  let untrackTimer = null;
  function scheduleUntracks() {
    if (untrackTimer !== null || !table.hasUntracks) return;
    untrackTimer = setTimeout(() => {
      untrackTimer = null;
      turns.run(async () => {
        if (transaction.isOpen || !table.hasUntracks) return;   // after the commit or rollback
        table.queueUntracks();
        for (const ctx of table.untrackContexts) {
          try {
            await syncOn(ctx);
          } catch {
            // Nothing anyone waits for; what did not go is due again.
          }
        }
      }).catch(() => {}).finally(() => scheduleUntracks());
    }, untrackIdleMs);
    if (typeof untrackTimer === "object" && typeof untrackTimer.unref === "function") untrackTimer.unref();
  }

  function execute(request) {
    let requestId = null;
    try {
      requestId = request && typeof request === "object" ? request.requestId ?? null : null;
    } catch {
      requestId = null;
    }
    const token = { dead: false, cancelled: false, requestId };
    const key = typeof requestId === "string" ? requestId : null;
    if (key !== null) tokens.set(key, token);
    return turns.run(() => attempts(request, token), token).finally(() => {
      if (key !== null && tokens.get(key) === token) tokens.delete(key);
    }).then(
      (result) => ({ requestId, ok: true, result }),
      (e) => {
        let message;
        try {
          message = errors.text(e);
        } catch {
          message = "GeneralException: the add-in failed to describe an error";
        }
        const error = { message };
        // A failed read says whether the member is missing (an attribute
        // error in Python) or the read failed for another reason.
        if (request && typeof request === "object" && request.method === "GET") {
          error.missingMember = e instanceof AddinError && e.missingMember === true;
        }
        return { requestId, ok: false, error };
      },
    );
  }

  // The host stopped waiting for a request: it stops between blocks (or
  // before it starts); a sync under way still completes.
  function cancel(requestId) {
    const token = tokens.get(requestId);
    if (token) token.cancelled = true;
  }

  // Nobody waits for any answer any more (the connection closed).
  function cancelAll() {
    for (const token of tokens.values()) token.cancelled = true;
  }

  function release(ids) {
    try {
      table.release(Array.isArray(ids) ? ids : [ids]);
      scheduleUntracks();
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
    const results = registry.clear();
    return turns.run(async () => {
      for (const result of results) {
        try {
          result.remove();
        } catch {
          // Its object is gone: the handler went with it.
        }
      }
      table.queueUntracks();
      for (const ctx of new Set([context, ...table.queuedContexts])) {
        try {
          await syncOn(ctx);
        } catch {
          // Nothing anyone waits for.
        }
      }
    }).catch(() => {}).finally(() => scheduleUntracks());
  }

  // objectCount and trackedCount are for the pane's status line and tests.
  return {
    execute,
    release,
    reset,
    cancel,
    cancelAll,
    get objectCount() { return table.size; },
    get trackedCount() { return table.trackedCount; },
  };
}
