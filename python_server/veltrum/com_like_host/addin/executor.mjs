// The add-in's request executor: answers com_like's GET, GETITEM, SET and
// CALL requests against Office.js, one at a time, on one long-lived
// RequestContext (new Excel.RequestContext()). This module puts the parts
// together and keeps the tokens of the requests under way (cancel):
// - requests.mjs: one request from start to end, dispatched by method to
//   get.mjs (GET, GETITEM), set.mjs (SET) and call.mjs (CALL; its arguments
//   through args.mjs);
// - codec.mjs: records to values and back, through the object table (objects.mjs);
// - syncs.mjs: every sync, and what it carries; releases.mjs: the release queue;
// - callables.mjs: the Python callables held; cell_edit.mjs: waiting out cell-edit mode;
// - turns.mjs: requests take turns; batch.mjs: transactions; roots.mjs: the
//   fixed functions; cells.mjs: cell data in blocks; progress.mjs: its reports.
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

import * as errors from "./errors.mjs";
import { AddinError } from "./errors.mjs";
import { ObjectTable } from "./objects.mjs";
import { Transaction } from "./batch.mjs";
import * as roots from "./roots.mjs";
import { Turns } from "./turns.mjs";
import { waitForEdit } from "./cell_edit.mjs";
import { Callables } from "./callables.mjs";
import { Syncs } from "./syncs.mjs";
import { ReleaseQueue } from "./releases.mjs";
import { blockWatch } from "./progress.mjs";
import { Codec } from "./codec.mjs";
import { attempts } from "./requests.mjs";

const DEFAULT_TIMEOUT_MS = 29000;
const UNTRACK_IDLE_MS = 1000;       // releases wait this long for a sync to ride on

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
  const syncs = new Syncs(context, table, turns);
  const registry = new Callables(releaseCallable);
  const tokens = new Map();           // requestId -> token, queued or running
  const sync = () => syncs.on(context);

  const transaction = new Transaction({
    context, sync, syncCount: () => syncs.count, afterCommit: () => releases.schedule(),
    waitForCellEdit: () => waitForEdit(turns.holder && turns.holder.deadline, requestTimeoutMs),
  });
  const releases = new ReleaseQueue({
    table, turns, syncs, batchOpen: () => transaction.isOpen, idleMs: untrackIdleMs,
  });
  const fixed = roots.make({
    context, sync, checkRead: (what) => transaction.checkRead(what),
    prepare: (objects) => { syncs.queuing(); objects.forEach((o) => table.touchObject(o)); },
  });
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

  // What the request handlers work with (requests.mjs).
  const rangeMemo = new WeakMap();
  const parts = {
    context, table, turns, syncs, registry, transaction, txFacade, releases,
    codec: new Codec({ table, turns, registry, invokeCallable }),
    memoOf(range) {
      let memo = rangeMemo.get(range);
      if (!memo) rangeMemo.set(range, (memo = {}));
      return memo;
    },
    watch: () => blockWatch(turns.holder, onProgress),
  };

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
    return turns.run(() => attempts(parts, request, token, requestTimeoutMs), token).finally(() => {
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
      releases.schedule();
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
      await syncs.flush();
    }).catch(() => {}).finally(() => releases.schedule());
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
