// The add-in's object table: object id -> the live object Python refers to.
//
// Ids 0 to 5 are fixed (request context, Excel, GetSetting, Union,
// Intersect, transaction object) and never forgotten. Every other object is
// given a fresh id each time it is handed out, counting up from 6 for the
// life of the page (a second executor keeps counting), so an id from an
// earlier session can never name a new object. An id lives until Python
// releases it.
//
// Ranges handed out are tracked (context.trackedObjects of the context that
// made them) so that they stay usable across syncs; an object derived from a
// range (its format, a bound method, a range made from it; not plain data it
// returned) keeps that range tracked while it lives, since its object path
// goes through the range.
//
// Tracking costs no round trip of its own. A range's trackedObjects.add is
// queued only when a request is about to use the range (touch), ahead of
// that request's own commands, so it travels with the sync that needs the
// range and a bad address is reported by the request that uses it; a range
// never used is never tracked. Untracking of released ranges is queued at
// the start of the next request, ahead of its commands, and travels with the
// next sync that happens anyway (or the executor's idle flush). Each sync
// reports back (settle): when Excel refused the whole batch (cell-edit mode,
// request too large) nothing of it applied, so its adds and removes are due
// again; a release is never lost.

import { AddinError } from "./errors.mjs";

export const FIXED_IDS = 6;
let nextId = FIXED_IDS;

// Failures that apply nothing of the batch.
const WHOLE_BATCH = new Set(["InvalidOperationInCellEditMode", "RequestPayloadSizeLimitExceeded"]);

export class ObjectTable {
  constructor(context) {
    this.context = context;
    this.entries = new Map();
    this.trackCounts = new Map();   // range -> ids keeping it
    this.sent = new Set();          // ranges whose add is queued or applied
    this.pendingUntrack = [];       // released ranges whose remove is not queued yet
    this.queued = new Map();        // context -> {adds, removes} waiting for its next sync
    this.anchorsByObject = new WeakMap();
    this.names = typeNames();
  }

  setFixed(id, entry) {
    this.entries.set(id, { anchors: [], ...entry });
  }

  get(id) {
    const key = typeof id === "number" ? id : Number(id);
    const entry = Number.isInteger(key) ? this.entries.get(key) : undefined;
    if (entry === undefined) {
      throw new AddinError("InvalidReference",
        `object id ${JSON.stringify(id)} is unknown to the add-in: it was released or belongs to an earlier session`);
    }
    return entry;
  }

  /**
   * Issues an id for entry {kind, value, thisArg?, name?}; parent: the entry
   * it came from; issued: a list that collects the ids, so that a request
   * that fails can take back what it issued.
   */
  add(entry, parent, issued) {
    const inherited = parent ? parent.anchors : [];
    const anchors = this.isTrackable(entry.value) && !inherited.includes(entry.value)
      ? [entry.value, ...inherited] : inherited;
    for (const range of anchors) this.hold(range);
    const id = nextId++;
    this.entries.set(id, { ...entry, anchors });
    if (anchors.length && entry.value !== null && typeof entry.value === "object") {
      this.anchorsByObject.set(entry.value, anchors);
    }
    if (issued) issued.push(id);
    return id;
  }

  release(ids) {
    for (const raw of ids || []) {
      const id = typeof raw === "number" ? raw : Number(raw);
      if (!Number.isInteger(id) || id < FIXED_IDS) continue;
      const entry = this.entries.get(id);
      if (entry === undefined) continue;
      this.entries.delete(id);
      for (const range of entry.anchors) this.letGo(range);
    }
  }

  get size() {
    return this.entries.size;
  }

  /** Ranges kept for the ids that hold them (tracked now, or at their first use). */
  get trackedCount() {
    return this.trackCounts.size;
  }

  // Ranges and multi-area ranges: the objects Office.js asks add-ins to track.
  isTrackable(value) {
    if (value === null || typeof value !== "object") return false;
    const Excel = globalThis.Excel;
    const kinds = [Excel && Excel.Range, Excel && Excel.RangeAreas].filter((k) => typeof k === "function");
    if (kinds.length) return kinds.some((k) => value instanceof k);
    return typeof value.getCell === "function" && typeof value.getResizedRange === "function";
  }

  hold(range) {
    const n = this.trackCounts.get(range) || 0;
    this.trackCounts.set(range, n + 1);
    if (n === 0) {
      const i = this.pendingUntrack.indexOf(range);
      if (i >= 0) this.pendingUntrack.splice(i, 1);   // still tracked: nothing to send
    }
  }

  letGo(range) {
    const n = (this.trackCounts.get(range) || 1) - 1;
    if (n > 0) {
      this.trackCounts.set(range, n);
      return;
    }
    this.trackCounts.delete(range);
    if (this.sent.has(range)) this.pendingUntrack.push(range);
  }

  queuedOn(ctx) {
    let q = this.queued.get(ctx);
    if (!q) this.queued.set(ctx, (q = { adds: [], removes: [] }));
    return q;
  }

  /** Queues the tracking of the ranges these entries' paths go through. */
  touch(entries) {
    for (const entry of entries) {
      for (const range of (entry && entry.anchors) || []) this.track(range);
    }
  }

  /** touch() for a live object handed in (by its latest entry's ranges). */
  touchObject(value) {
    const anchors = value !== null && typeof value === "object" ? this.anchorsByObject.get(value) : undefined;
    for (const range of anchors || []) this.track(range);
  }

  track(range) {
    if (this.sent.has(range) || !this.trackCounts.has(range)) return;
    const ctx = this.contextOf(range);
    ctx.trackedObjects.add(range);
    this.sent.add(range);
    this.queuedOn(ctx).adds.push(range);
  }

  /** Queues the untracking of released ranges, to go with the next sync. */
  queueUntracks() {
    const ranges = this.pendingUntrack;
    this.pendingUntrack = [];
    for (const range of ranges) {
      const ctx = this.contextOf(range);
      try {
        ctx.trackedObjects.remove(range);
        this.queuedOn(ctx).removes.push(range);
      } catch {
        // An object Office.js no longer knows is tracked by nobody.
      }
      this.sent.delete(range);
    }
  }

  /** True while a release waits for a sync. */
  get hasUntracks() {
    if (this.pendingUntrack.length) return true;
    for (const q of this.queued.values()) if (q.removes.length) return true;
    return false;
  }

  /** Contexts with untracking queued for their next sync. */
  get untrackContexts() {
    return [...this.queued].filter(([, q]) => q.removes.length).map(([ctx]) => ctx);
  }

  /** Contexts with tracking queued for their next sync. */
  get queuedContexts() {
    return [...this.queued.keys()];
  }

  /**
   * Takes what is queued for ctx's next sync; settle(batch, error) after it.
   */
  takeQueued(ctx) {
    const q = this.queued.get(ctx) || { adds: [], removes: [] };
    this.queued.delete(ctx);
    return q;
  }

  // A batch Excel refused whole applied nothing: its adds are due at the
  // ranges' next use, its removes at the next sync. Any other failure comes
  // after them (they lead the batch, and a remove does not fail).
  settle(batch, error) {
    if (!error || !WHOLE_BATCH.has(error.code)) return;
    for (const range of batch.adds) this.sent.delete(range);
    for (const range of batch.removes) {
      if (this.trackCounts.has(range)) continue;
      this.sent.add(range);
      this.pendingUntrack.push(range);
    }
  }

  // A range belongs to the context that made it (Excel.run makes others).
  contextOf(range) {
    const ctx = range.context;
    return ctx && ctx.trackedObjects && typeof ctx.sync === "function" ? ctx : this.context;
  }

  /** How an entry reads in an error: its type, or the function's name. */
  describe(entry) {
    return entry.kind === "function" ? `${entry.name || "function"}()` : this.typeName(entry.value);
  }

  /** The type name Python sees for a reference to value. */
  typeName(value) {
    if (typeof value === "function") return "Function";
    if (value === globalThis.Excel) return "Excel";
    for (let p = Object.getPrototypeOf(value); p !== null && p !== Object.prototype; p = Object.getPrototypeOf(p)) {
      const name = this.names.get(p);
      if (name !== undefined) return name;
    }
    const ctor = value && value.constructor;
    return (ctor && typeof ctor.name === "string" && ctor.name) || "Object";
  }
}

// Classes exported on the Excel namespace, by prototype. A name equal to the
// class's own name wins over an alias.
function typeNames() {
  const names = new Map();
  const ns = globalThis.Excel;
  if (!ns) return names;
  for (const key of Object.keys(ns)) {
    let value;
    try { value = ns[key]; } catch { continue; }
    if (typeof value !== "function" || !value.prototype) continue;
    if (!names.has(value.prototype) || value.name === key) names.set(value.prototype, key);
  }
  const ctx = ns.RequestContext;
  if (typeof ctx === "function" && ctx.prototype) names.set(ctx.prototype, "RequestContext");
  return names;
}
