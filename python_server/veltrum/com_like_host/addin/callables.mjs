// The Python callables a session holds. Those an assignment or an event
// handler took stay registered (kept) until the handler is removed or the
// session ends; the others are let go when their request is over.

import { isEventHandlers } from "./kinds.mjs";

export class Callables {
  constructor(releaseCallable) {
    this.releaseCallable = releaseCallable;
    this.kept = new Set();
    this.handlers = new Set();      // ids added as event handlers
    this.byResult = new Map();      // EventHandlerResult -> callable ids it keeps
  }

  letGo(ids) {
    for (const id of ids) {
      try {
        this.releaseCallable(id);
      } catch {
        // The host's bookkeeping failing must not fail the request.
      }
    }
  }

  letGoUnkept(ids) {
    this.letGo(ids.filter((id) => !this.kept.has(id)));
  }

  keep(ids) {
    for (const id of ids) this.kept.add(id);
  }

  isHandler(id) {
    return this.handlers.has(id);
  }

  /** After a call: Python callables an event handler keeps stay registered until removed. */
  afterAdd(entry, result, ids) {
    if (ids.length === 0 || entry.name !== "add" || !isEventHandlers(entry.thisArg)) return;
    for (const id of ids) {
      this.kept.add(id);
      this.handlers.add(id);
    }
    if (result !== null && typeof result === "object") this.byResult.set(result, ids.slice());
  }

  /** After a call: a handler is removed through the EventHandlerResult its
   * add returned (Python cannot name the same JavaScript function twice:
   * every encoding of a Python function registers it afresh). */
  afterRemove(entry) {
    if (entry.name !== "remove" || !entry.thisArg || !this.byResult.has(entry.thisArg)) return;
    const ids = this.byResult.get(entry.thisArg);
    this.byResult.delete(entry.thisArg);
    for (const id of ids) this.handlers.delete(id);
    this.letGo(ids.filter((id) => this.kept.delete(id)));
  }

  /** Forgets them all (a new session); gives the handlers' results to remove. */
  clear() {
    this.kept.clear();
    this.handlers.clear();
    const results = [...this.byResult.keys()];
    this.byResult.clear();
    return results;
  }
}

/** The event source of a handler's call, from the documented fields of its
 * event arguments: the kind of event and the worksheet it happened on. */
export function eventSource(args) {
  try {
    if (args === null || typeof args !== "object" || typeof args.type !== "string") return "event";
    return typeof args.worksheetId === "string" ? `${args.type}:${args.worksheetId}` : args.type;
  } catch {
    return "event";
  }
}
