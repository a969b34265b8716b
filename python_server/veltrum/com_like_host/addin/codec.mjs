// Records to JavaScript values and back (values.mjs) with the executor's
// hooks: what is not plain data goes to the object table and travels as a
// reference; a Python function decodes to a JavaScript function that calls
// it through the host.

import { PythonError } from "./errors.mjs";
import * as values from "./values.mjs";
import { eventSource } from "./callables.mjs";

export class Codec {
  constructor({ table, turns, registry, invokeCallable }) {
    Object.assign(this, { table, turns, registry, invokeCallable });
  }

  /** parent, issued: the object table's (objects.mjs). label: how the
   * result was reached (Context.workbook.worksheets.getItem("x")), for
   * errors that name the call that made a bad object. */
  encoder(parent, issued, cellNumbers = false, label = undefined) {
    const { table } = this;
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

  /** callables collects the ids of the Python functions decoded; refs the
   * entries of the objects decoded, whose ranges a request touches before
   * using them. */
  decoder(callables, refs = []) {
    const { table } = this;
    const hooks = {
      lookup(id) {
        const entry = table.get(id);
        refs.push(entry);
        if (entry.kind !== "function") return entry.value;
        if (!entry.bound) entry.bound = entry.value.bind(entry.thisArg);
        return entry.bound;
      },
      callable: (callableId) => {
        callables.push(callableId);
        return this.pythonFunction(callableId);
      },
    };
    return (record, asCells = false) => values.decode(record, hooks, asCells);
  }

  /** A Python callable as a JavaScript function: invokes it through the host
   * and resolves with its decoded result; it rejects with the Python error. */
  pythonFunction(callableId) {
    const codec = this;
    return async function pythonCallable(...args) {
      const records = args.map((a) => codec.encoder(null, null)(a));
      const source = codec.registry.isHandler(callableId) ? eventSource(args[0]) : undefined;
      let result;
      try {
        result = await codec.turns.lend(() => codec.invokeCallable(callableId, records, source));
      } catch (e) {
        throw new PythonError(e && typeof e.message === "string" ? e.message : String(e));
      }
      return result === undefined ? undefined : codec.decoder([])(result);
    };
  }
}
