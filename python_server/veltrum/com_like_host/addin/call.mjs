// CALL: calling a "Function" reference with its arguments (args.mjs);
// inside an open transaction, calls that change the workbook wait for the
// commit (what it does: executor.mjs, "What each request does").

import { AddinError } from "./errors.mjs";
import * as values from "./values.mjs";
import * as cells from "./cells.mjs";
import * as members from "./members.mjs";
import * as roots from "./roots.mjs";
import { decodeArgs } from "./args.mjs";
import { estimateBytes } from "./set.mjs";
import {
  isClientObject, isClientResult, isEventHandlerResult, isEventHandlers, isRequestContext, isThenable,
} from "./kinds.mjs";

const IMMEDIATE_IN_BATCH = new Set(["load", "track", "untrack", "toJSON"]);
const MAKER = /^get[A-Z]|^get$/;

export async function call(parts, entry, argList, issued, callables, token) {
  const { table, syncs, transaction, registry, codec, txFacade } = parts;
  if (entry.kind !== "function") {
    throw new AddinError("InvalidArgument", `${table.describe(entry)} is not a function and cannot be called`);
  }
  const refs = [entry];
  const holder = entry.thisArg;
  const cellArg = holder !== null && typeof holder === "object" ? cells.argumentIndex(table.typeName(holder), entry.name) : undefined;
  const { args, shown } = decodeArgs(parts, entry, argList, callables, refs, cellArg);
  const label = members.callText(entry.label || entry.name || "function", shown, (v) => table.typeName(v));
  // get* methods make proxies and queue nothing; the fixed functions and
  // the transaction object sync for themselves.
  const maker = MAKER.test(entry.name);
  const ownSyncs = entry.immediate === true || entry.thisArg === txFacade;
  if (transaction.isOpen && !(ownSyncs || maker || IMMEDIATE_IN_BATCH.has(entry.name))) {
    const held = callables.splice(0);
    transaction.defer({
      label: `${entry.name}()`,
      bytes: estimateBytes(args),
      run: async () => {
        syncs.touch(refs);
        const result = await invoke(parts, entry, args, null);
        registry.afterAdd(entry, result, held);
        registry.afterRemove(entry);
        return 64;
      },
      done: () => registry.letGoUnkept(held),
    });
    return values.nullRecord();
  }
  if (!maker && !ownSyncs) syncs.touch(refs);
  else syncs.queuing();
  let result = await invoke(parts, entry, args, token);
  roots.note(result, entry.thisArg, entry.name, args);
  const fetched = isClientResult(result);
  if (fetched) {
    transaction.checkRead(`${entry.name}()`);
    syncs.touch(refs);
    await syncs.on(syncs.contextOf(entry.thisArg));
    result = result.value;
  }
  const record = codec.encoder(entry, issued, false, label)(result, undefined, undefined);
  if (!transaction.isOpen && !fetched && !maker && !ownSyncs && needsSync(entry, result)) {
    await syncs.on(syncs.contextOf(entry.thisArg));
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
  if (holder === null || typeof holder !== "object" || holder === globalThis.Excel) return false;
  return isClientObject(holder) || isEventHandlers(holder) || isEventHandlerResult(holder) || isRequestContext(holder);
}

async function invoke({ turns }, entry, args, token) {
  const result = token ? turns.calling(token, () => entry.value.apply(entry.thisArg, args))
    : entry.value.apply(entry.thisArg, args);
  return isThenable(result) && !isClientObject(result) ? await result : result;
}
