// Sync accounting. Every sync goes through here: it carries the tracking
// queued for its context, tells the object table how it went, counts
// towards the request in its turn, and marks the errors that came from a
// sync (its queue is gone: nothing of it is left to send).

import { isClientObject, isRequestContext } from "./kinds.mjs";

export class Syncs {
  constructor(context, table, turns) {
    this.context = context;
    this.table = table;
    this.turns = turns;
    this.count = 0;
    this.errors = new WeakSet();
  }

  async on(ctx) {
    const token = this.turns.holder;
    if (token) {
      token.syncs = (token.syncs || 0) + 1;
      token.queued = false;
    }
    const batch = this.table.takeQueued(ctx);
    try {
      await ctx.sync();
    } catch (e) {
      this.table.settle(batch, e);
      if (e !== null && typeof e === "object") this.errors.add(e);
      throw e;
    }
    this.count++;
  }

  fromSync(e) {
    return this.errors.has(e);
  }

  /** The context an object's commands go to: ours, or one that Excel.run made. */
  contextOf(obj) {
    if (obj !== null && typeof obj === "object" && obj !== this.context) {
      if (isRequestContext(obj)) return obj;
      if (isClientObject(obj) && obj.context && typeof obj.context.sync === "function") return obj.context;
    }
    return this.context;
  }

  /** A sync of the context obj's commands go to. */
  of(obj) {
    return () => this.on(this.contextOf(obj));
  }

  /** The request in its turn may have left commands queued. */
  queuing() {
    if (this.turns.holder) this.turns.holder.queued = true;
  }

  /** Queues the tracking of the entries' ranges, to go with the next sync. */
  touch(entries) {
    this.queuing();
    this.table.touch(entries);
  }

  /** Sends whatever is queued, on every context; its errors were reported
   * already, or are nothing anyone asked for. */
  async flush() {
    for (const ctx of new Set([this.context, ...this.table.queuedContexts])) {
      try {
        await this.on(ctx);
      } catch {
        // Nobody waits for it.
      }
    }
  }
}
