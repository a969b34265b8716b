// A CALL's arguments. PLACED arguments go in order; NAMED arguments of a
// method in the members table take the places of the parameters they name;
// elsewhere they go as one trailing options object (the shape of Office.js
// option arguments).

import { AddinError } from "./errors.mjs";
import * as members from "./members.mjs";

/** cellArg: the position of an argument that is cell data, if any.
 * Gives {args, shown: [keyword or null, value] in the order given}. */
export function decodeArgs({ codec, table }, entry, list, callables, refs, cellArg) {
  const shown = [];
  const args = decodeList(codec, table, entry, list, callables, refs, shown, cellArg);
  return { args, shown };
}

function decodeList(codec, table, entry, list, callables, refs, shown, cellArg) {
  if (list === undefined || list === null) return [];
  if (!Array.isArray(list)) throw new AddinError("InvalidArgument", "the call's args must be a list");
  const decode = codec.decoder(callables, refs);
  const positional = [];
  let named = null;
  for (const a of list) {
    if (a === null || typeof a !== "object") throw new AddinError("InvalidArgument", "malformed argument entry");
    if (a.arg_type === "NAMED") {
      if (named === null) named = new Map();
      named.set(String(a.name), a.value);   // decoded once its place is known
    } else {
      const value = decode(a.value, positional.length === cellArg);
      positional.push(value);
      shown.push([null, value]);
    }
  }
  if (named === null) return positional;
  const holder = entry.thisArg;
  const type = holder !== null && typeof holder === "object" ? table.typeName(holder) : null;
  const params = entry.params || (type ? members.parameters(type, entry.name) : null);
  if (params === null) {
    const options = {};
    for (const [keyword, raw] of named) {
      options[keyword] = decode(raw);
      shown.push([keyword, options[keyword]]);
    }
    positional.push(options);
    return positional;
  }
  const label = type ? `${type}.${entry.name}` : entry.name;
  const args = positional.slice();
  for (const [keyword, raw] of named) {
    const at = params.indexOf(keyword);
    if (at < 0) throw new AddinError("InvalidArgument", members.unknownKeywordText(label, keyword, params));
    if (at < positional.length) {
      throw new AddinError("InvalidArgument", `${label}() got multiple values for parameter '${keyword}'`);
    }
    const value = decode(raw, at === cellArg);
    shown.push([keyword, value]);
    args[at] = value;
  }
  // Parameters left out between those given are undefined: Office.js's "not given".
  return Array.from(args);
}
