// One request from start to end: the handler for its method, what a
// failure leaves behind, and a new attempt after a cell-edit refusal.

import { AddinError } from "./errors.mjs";
import * as errors from "./errors.mjs";
import * as values from "./values.mjs";
import { CANCELLED } from "./cells.mjs";
import { CELL_EDIT, waitForEdit } from "./cell_edit.mjs";
import { get, getItem } from "./get.mjs";
import { set } from "./set.mjs";
import { call } from "./call.mjs";

// method -> handler(parts, entry, request, {issued, callables, token}); GET,
// GETITEM and SET name a member (request.name).
const HANDLERS = new Map([
  ["GET", (parts, entry, request, { issued }) => get(parts, entry, request.name, issued)],
  ["GETITEM", (parts, entry, request, { issued }) => getItem(parts, entry, request.name, issued)],
  ["SET", async (parts, entry, request, { callables }) => {
    await set(parts, entry, request.name, request.value, callables);
    return values.nullRecord();
  }],
  ["CALL", (parts, entry, request, { issued, callables, token }) => call(parts, entry, request.args, issued, callables, token)],
]);

/** Runs a request; one refused for cell-edit mode at its first sync
 * applied nothing, and runs again once the edit is over. */
export async function attempts(parts, request, token, timeoutMs) {
  const callables = [];
  token.deadline = Date.now() + timeoutMs - Math.min(1000, timeoutMs / 10);
  if (token.cancelled) throw new AddinError(CANCELLED, "stopped before it started; nothing was done");
  try {
    for (;;) {
      token.syncs = 0;
      token.queued = false;
      try {
        return await run(parts, request, token, callables);
      } catch (e) {
        if (errors.code(e) !== CELL_EDIT || token.syncs !== 1 || token.dead) throw e;
        await waitForEdit(token.deadline, timeoutMs);
      }
    }
  } finally {
    parts.registry.letGoUnkept([...new Set(callables)]);
  }
}

async function run(parts, request, token, callables) {
  const { table, syncs, transaction, releases } = parts;
  if (request === null || typeof request !== "object") {
    throw new AddinError("InvalidRequest", "a request must be an object");
  }
  const { method } = request;
  const issued = [];
  try {
    if (method === "DEL") {
      table.release([request.caller]);
      releases.schedule();
      return values.nullRecord();
    }
    // Releases so far travel with this request's sync, ahead of its commands.
    table.queueUntracks();
    const entry = table.get(request.caller);
    const handler = HANDLERS.get(method);
    if (!handler) {
      throw new AddinError("InvalidRequest", `unknown request method ${JSON.stringify(method)} (GET, GETITEM, SET or CALL)`);
    }
    if (method !== "CALL" && typeof request.name !== "string") {
      throw new AddinError("InvalidRequest", `a ${method} request needs a member name`);
    }
    return await handler(parts, entry, request, { issued, callables, token });
  } catch (e) {
    table.release(issued);
    // Office.js reports a bad argument of a get* call where its object is
    // first used: the error names the call that made the object.
    if (method === "GET" && syncs.fromSync(e) && e !== null && typeof e === "object") {
      const made = madeByCall(table, request.caller);
      if (made) e.madeBy = made;
    }
    // A failure before the sync may leave commands queued: a sync of its
    // own sends them, so that no later request reports an error that is
    // not its own. A failed sync left nothing.
    if (token.queued && !syncs.fromSync(e) && !transaction.isOpen) await syncs.flush();
    throw e;
  }
}

function madeByCall(table, caller) {
  try {
    const label = table.get(caller).label;
    return typeof label === "string" && label.includes("(") ? label : null;
  } catch {
    return null;
  }
}
