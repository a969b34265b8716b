// SET: assigning a property; inside an open transaction the write waits
// for the commit (what it does: executor.mjs, "What each request does").

import { AddinError } from "./errors.mjs";
import * as cells from "./cells.mjs";
import * as dates from "./dates.mjs";
import * as members from "./members.mjs";
import { descriptorOf, isClientObject } from "./kinds.mjs";

export async function set({ table, syncs, transaction, registry, codec, memoOf, watch }, entry, name, record, callables) {
  const obj = entry.value;
  if (entry.kind === "function" || !isClientObject(obj)) {
    throw new AddinError("InvalidOperation", `members of ${table.describe(entry)} cannot be assigned`);
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
  const value = codec.decoder(callables, refs)(record, isCells);
  // Dates written as data get a date format where the cell's is General (dates.mjs).
  const dated = isCells && (name === "values" || name === "formulas") && cells.isRange(obj) ? dates.find(record) : null;
  const apply = async () => {
    syncs.touch(refs);
    if (isCells) {
      let formats = null;
      if (dated) {
        obj.load("numberFormat");
        await syncs.of(obj)();
        formats = dates.formats(dated, obj.numberFormat);
      }
      const bytes = await cells.write(obj, name, value, syncs.of(obj), memoOf(obj), watch());
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
  await syncs.on(syncs.contextOf(obj));
  // A Python function assigned to a property stays registered.
  registry.keep(callables.splice(0));
}

/** The size a queued operation adds to a transaction's batch. */
export function estimateBytes(value) {
  try {
    return (JSON.stringify(value) || "").length + 64;
  } catch {
    return 64;
  }
}
