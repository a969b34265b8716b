// The transaction object (object id 5): start(context, block_gets),
// commit(), rollback().
//
// One batch is open at a time for the whole add-in (requests carry no
// thread of origin, so a batch is shared by everything Python sends while
// it is open). While a batch is open:
// - writes (SET) and calls of methods that change the workbook are kept as
//   operations and run only at commit, in the order made; so a read without
//   block_gets sees the workbook as it was before the batch;
// - calls of methods named get* (getRange, getItem, getCell ...) still run at
//   once, since they only make the objects the writes need;
// - with block_gets, a read that would fetch data from the workbook is
//   refused with InvalidOperation;
// - commit runs the operations and applies them with one sync (more only
//   when their cell data would exceed the payload cap); an error is reported
//   by commit, and operations queued before the failing one stay applied,
//   as Office.js does within a sync. A context.trace marker after each
//   operation tells how many ran: Office.js hands back, with the error, the
//   markers executed before it;
// - a commit Excel refuses because the user is editing a cell applied
//   nothing: it waits for the edit to end (within the request's time limit)
//   and runs the operations again;
// - rollback drops the operations unapplied.

import { AddinError } from "./errors.mjs";
import * as errors from "./errors.mjs";
import { PAYLOAD_BUDGET } from "./cells.mjs";

/** A commit that failed: the text keeps the failure's own code first. */
export class CommitError extends Error {
  constructor(cause, applied, total) {
    super(`${errors.text(cause)} [commit: ${applied} of ${total} queued operation(s) had been run `
      + "when the batch failed; commands before the failing one stay applied, the rest were dropped]");
    this.name = "CommitError";
    this.cause = cause;
    this.preformatted = true;
  }
}

const TRACE_PREFIX = "com_like op ";
const CELL_EDIT = "InvalidOperationInCellEditMode";

/** How many operations the markers in a failed batch's error show as run. */
export function tracedCount(error) {
  let most = 0;
  const messages = error && Array.isArray(error.traceMessages) ? error.traceMessages : [];
  for (const m of messages) {
    if (typeof m === "string" && m.startsWith(TRACE_PREFIX)) most = Math.max(most, Number(m.slice(TRACE_PREFIX.length)) || 0);
  }
  return most;
}

export class Transaction {
  /** runtime: {context, sync(), syncCount(), waitForCellEdit(), afterCommit()} */
  constructor(runtime) {
    this.runtime = runtime;
    this.isOpen = false;
    this.blockGets = false;
    this.ops = [];
  }

  start(context, blockGets) {
    if (context !== this.runtime.context) {
      throw new AddinError("InvalidArgument",
        "start(context, block_gets): the first argument must be the request context (Context)");
    }
    if (blockGets !== null && typeof blockGets === "object" && "block_gets" in blockGets) {
      blockGets = blockGets.block_gets;
    }
    // A start inside an open batch keeps what is queued (nested with blocks).
    if (!this.isOpen) this.ops = [];
    this.isOpen = true;
    this.blockGets = Boolean(blockGets);
  }

  async commit() {
    if (!this.isOpen) return;
    const ops = this.ops;
    this.ops = [];
    this.isOpen = false;
    this.blockGets = false;
    let ran = 0;
    try {
      for (;;) {
        const outcome = await this.run(ops);
        ran = outcome.ran;
        if (!outcome.error) break;
        const e = outcome.error;
        if (errors.code(e) === CELL_EDIT && outcome.untouched) {
          await this.runtime.waitForCellEdit();
          continue;
        }
        throw new CommitError(e, ran, ops.length);
      }
    } finally {
      ops.forEach((op, i) => op.done(i < ran));
      this.runtime.afterCommit();
    }
  }

  // Runs the operations; {ran, error, untouched: nothing reached Excel}.
  async run(ops) {
    const { context, sync, syncCount } = this.runtime;
    let confirmed = 0;   // operations carried by syncs that succeeded
    let queued = 0;      // operations queued since then
    const flush = async () => {
      await sync();
      confirmed += queued;
      queued = 0;
    };
    const first = syncCount();
    let pending = 0;
    try {
      for (let i = 0; i < ops.length; i++) {
        const op = ops[i];
        // Large cell data syncs itself (and may be resent in blocks), so
        // what is queued before it goes out first.
        if (pending > 0 && (pending + op.bytes > PAYLOAD_BUDGET || op.bytes > PAYLOAD_BUDGET / 4)) {
          await flush();
          pending = 0;
        }
        const before = syncCount();
        let bytes;
        try {
          bytes = await op.run();
        } catch (e) {
          // Failed before reaching Excel: what was queued before it still goes.
          if (syncCount() === before) {
            try { await flush(); } catch { /* reported below as not run */ }
          }
          return { ran: confirmed, error: e, untouched: false };
        }
        if (syncCount() !== before && bytes === 0) {
          confirmed = i + 1;   // it synced its own data, and all before it
          queued = 0;
        } else {
          queued++;
          pending += bytes;
        }
        context.trace(TRACE_PREFIX + (i + 1));
      }
      await flush();
      return { ran: ops.length, error: null, untouched: false };
    } catch (e) {
      return { ran: Math.max(confirmed, tracedCount(e)), error: e, untouched: syncCount() === first };
    }
  }

  rollback() {
    const ops = this.ops;
    this.ops = [];
    this.isOpen = false;
    this.blockGets = false;
    for (const op of ops) op.done(false);
    this.runtime.afterCommit();
  }

  /** op: {label, bytes, run() -> Promise<bytes queued>, done(ran)} */
  defer(op) {
    this.ops.push(op);
  }

  /** Refuses a read that needs the workbook while a block_gets batch is open. */
  checkRead(what) {
    if (this.isOpen && this.blockGets) {
      throw new AddinError("InvalidOperation",
        `reading ${what} is blocked inside a transaction started with block_gets=True; `
        + "read it after the commit (after the with block)");
    }
  }
}
