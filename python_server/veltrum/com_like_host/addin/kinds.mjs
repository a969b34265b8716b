// What kind of Office.js value a value is, and where its members are
// defined. The namespaces are looked up when asked: the page installs them
// before any request.

import { isPlainObject } from "./values.mjs";

/** A proxy: an OfficeExtension.ClientObject, or shaped like one. */
export function isClientObject(v) {
  const { OfficeExtension } = globalThis;
  return v !== null && typeof v === "object"
    && (OfficeExtension && typeof OfficeExtension.ClientObject === "function" ? v instanceof OfficeExtension.ClientObject
      : typeof v.load === "function" && "context" in v);
}

/** What a method that returns a primitive gives: its value comes with the next sync. */
export function isClientResult(v) {
  const { OfficeExtension } = globalThis;
  return v !== null && typeof v === "object"
    && (OfficeExtension && typeof OfficeExtension.ClientResult === "function" ? v instanceof OfficeExtension.ClientResult
      : v.constructor && v.constructor.name === "ClientResult");
}

export function isEventHandlers(v) {
  const { OfficeExtension } = globalThis;
  return v !== null && typeof v === "object"
    && ((OfficeExtension && typeof OfficeExtension.EventHandlers === "function" && v instanceof OfficeExtension.EventHandlers)
      || (v.constructor && v.constructor.name === "EventHandlers"));
}

/** An object (not null); what EventHandlers.add returned. */
export function isEventHandlerResult(v) {
  const { OfficeExtension } = globalThis;
  return OfficeExtension && typeof OfficeExtension.EventHandlerResult === "function"
    ? v instanceof OfficeExtension.EventHandlerResult
    : v.constructor && v.constructor.name === "EventHandlerResult";
}

export function isRequestContext(v) {
  const { OfficeExtension } = globalThis;
  return Boolean(OfficeExtension) && typeof OfficeExtension.ClientRequestContext === "function"
    && v instanceof OfficeExtension.ClientRequestContext;
}

export const isThenable = (v) => v !== null && (typeof v === "object" || typeof v === "function")
  && typeof v.then === "function";

/** Plain data a getter can hand back stale: primitives, arrays, plain objects. */
export function isData(v) {
  return v === null || v === undefined || (typeof v !== "object" && typeof v !== "function")
    || Array.isArray(v) || isPlainObject(v);
}

/** The property descriptor of `name` on obj or its prototypes. */
export function descriptorOf(obj, name) {
  for (let p = obj; p !== null; p = Object.getPrototypeOf(p)) {
    const d = Object.getOwnPropertyDescriptor(p, name);
    if (d) return d;
  }
  return undefined;
}
