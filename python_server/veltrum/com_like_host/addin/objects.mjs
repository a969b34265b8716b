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
// goes through the range. Untracking is queued and sent by the executor in a
// sync of its own, so a failure there can never be reported as the error of
// an unrelated request.

import { AddinError } from "./errors.mjs";

export const FIXED_IDS = 6;
let objectsNextId = FIXED_IDS;

export class ObjectTable {
  constructor(context) {
    this.context = context;
    this.entries = new Map();
    this.trackCounts = new Map();
    this.pendingUntrack = [];
    this.trackContexts = new Set();   // contexts whose trackedObjects.add waits for a sync
    this.names = objectsTypeNames();
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
    const anchors = this.objectsIsTrackable(entry.value) && !inherited.includes(entry.value)
      ? [entry.value, ...inherited] : inherited;
    for (const range of anchors) this.objectsHold(range);
    const id = objectsNextId++;
    this.entries.set(id, { ...entry, anchors });
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
      for (const range of entry.anchors) this.objectsLetGo(range);
    }
  }

  get size() {
    return this.entries.size;
  }

  // Ranges and multi-area ranges: the objects Office.js asks add-ins to track.
  objectsIsTrackable(value) {
    if (value === null || typeof value !== "object" || typeof value.track !== "function") return false;
    const X = globalThis.Excel;
    const kinds = [X && X.Range, X && X.RangeAreas].filter((k) => typeof k === "function");
    return kinds.length === 0 || kinds.some((k) => value instanceof k);
  }

  objectsHold(range) {
    const n = this.trackCounts.get(range) || 0;
    this.trackCounts.set(range, n + 1);
    if (n === 0) {
      const i = this.pendingUntrack.indexOf(range);
      if (i >= 0) {
        this.pendingUntrack.splice(i, 1);   // still tracked: nothing to send
      } else {
        const ctx = this.objectsContextOf(range);
        ctx.trackedObjects.add(range);
        this.trackContexts.add(ctx);
      }
    }
  }

  objectsLetGo(range) {
    const n = (this.trackCounts.get(range) || 1) - 1;
    if (n > 0) {
      this.trackCounts.set(range, n);
      return;
    }
    this.trackCounts.delete(range);
    this.pendingUntrack.push(range);
  }

  /** Queues the untracking of released ranges; gives the contexts to sync. */
  queueUntracks() {
    const ranges = this.pendingUntrack;
    this.pendingUntrack = [];
    const contexts = new Set();
    for (const range of ranges) {
      const ctx = this.objectsContextOf(range);
      try {
        ctx.trackedObjects.remove(range);
        contexts.add(ctx);
      } catch {
        // An object Office.js no longer knows cannot be untracked; nothing is lost.
      }
    }
    return contexts;
  }

  /** Takes the contexts with tracking waiting for a sync. */
  takeTrackContexts() {
    const contexts = this.trackContexts;
    this.trackContexts = new Set();
    return contexts;
  }

  // A range belongs to the context that made it (Excel.run makes others).
  objectsContextOf(range) {
    const ctx = range.context;
    return ctx && ctx.trackedObjects && typeof ctx.sync === "function" ? ctx : this.context;
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
function objectsTypeNames() {
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
