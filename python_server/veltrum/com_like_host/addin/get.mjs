// GET and GETITEM: reading a member, and item access (what each does:
// executor.mjs, "What each request does").

import { AddinError } from "./errors.mjs";
import * as errors from "./errors.mjs";
import * as cells from "./cells.mjs";
import * as items from "./items.mjs";
import * as members from "./members.mjs";
import * as roots from "./roots.mjs";
import { descriptorOf, isClientObject, isData } from "./kinds.mjs";

// Identifying member properties, tried in this order, for loading a collection's items.
const ITEM_KEYS = ["id", "key", "name", "address", "index"];

const isCellData = (obj, name) => cells.PROPERTIES.has(name) && typeof obj.getResizedRange === "function";

export async function get(parts, entry, name, issued) {
  const { table, codec } = parts;
  if (entry.kind === "function") {
    throw errors.missingMember(`a function has no members (tried '${name}' on ${table.describe(entry)})`);
  }
  const obj = entry.value;
  const type = table.typeName(obj);
  if (!(name in Object(obj))) throw errors.missingMember(members.missingText(type, name));
  let value;
  if (isClientObject(obj)) {
    value = await readMember(parts, entry, obj, name, `${type}.${name}`);
  } else {
    value = obj[name];
  }
  return codec.encoder(entry, issued, isCellData(obj, name), members.path(`${entry.label || type}.${name}`))(value, obj, name);
}

async function readMember({ table, syncs, transaction, memoOf, watch }, entry, obj, name, label) {
  if (isCellData(obj, name)) {
    transaction.checkRead(label);
    syncs.touch([entry]);
    return cells.read(obj, name, syncs.of(obj), memoOf(obj), watch());
  }
  let value;
  let fetch = false;
  try {
    value = obj[name];
  } catch (e) {
    if (errors.code(e) !== "PropertyNotLoaded") throw e;
    fetch = true;
  }
  if (!fetch) {
    if (typeof value === "function" || !isData(value) || name === "isNullObject") return value;
    const d = descriptorOf(obj, name);
    if (!d || typeof d.get !== "function") return value;
    fetch = true;
  }
  transaction.checkRead(label);
  syncs.touch([entry]);
  if (name === "items") loadItems(table, obj);
  else if (name !== "isNullObject") obj.load(name);
  await syncs.on(syncs.contextOf(obj));
  if (name !== "isNullObject") return obj[name];
  // Office.js fills isNullObject in for *OrNullObject results; for any
  // other proxy the sync above found it, or failed.
  try {
    return obj.isNullObject;
  } catch (e) {
    if (errors.code(e) === "PropertyNotLoaded") return false;
    throw e;
  }
}

// Loads a collection's items with one identifying property of its members
// (the reference advises against load() with no argument: every scalar of
// every member, and a risk to the payload limit).
function loadItems(table, collection) {
  const type = table.typeName(collection);
  const Item = type.endsWith("Collection") ? globalThis.Excel[type.slice(0, -"Collection".length)] : undefined;
  const proto = typeof Item === "function" ? Item.prototype : null;
  const key = proto ? ITEM_KEYS.find((k) => { const d = descriptorOf(proto, k); return d && d.get; }) : undefined;
  if (key) collection.load(key);
  else collection.load();
}

export async function getItem(parts, entry, key, issued) {
  const { table, codec } = parts;
  if (entry.kind === "function") {
    throw new AddinError("InvalidArgument", `${table.describe(entry)} does not support item access`);
  }
  const obj = entry.value;
  const type = table.typeName(obj);
  const { index, slice, address } = items.parseKey(key);
  let value;
  if (Array.isArray(obj)) {
    if (slice) value = items.slice(obj, slice);
    else if (index !== null) value = items.at(obj, index, key);
    else throw new AddinError("InvalidArgument", `bad index ${JSON.stringify(key)} for an array: use an integer or a slice`);
  } else if (isClientObject(obj)) {
    if (address && typeof obj.getRange === "function") {
      value = obj.getRange(address);
      roots.note(value, obj, "getRange", [address]);
    } else if (index !== null && index >= 0 && typeof obj.getItemAt === "function") {
      value = obj.getItemAt(index);
    } else if (index !== null && "items" in obj) {
      // A negative position, or a collection without getItemAt: by its items.
      const list = await readMember(parts, entry, obj, "items", `${type}.items`);
      let i = index;
      if (i < 0) i += list.length;
      if (i < 0 || i >= list.length) {
        throw new AddinError("ItemNotFound", `${type}[${key}]: the collection has ${list.length} item(s)`);
      }
      value = list[i];
    } else {
      throw new AddinError("InvalidArgument", `${type} does not support item access with ${JSON.stringify(key)}`);
    }
  } else if (obj !== null && typeof obj === "object" && Object.prototype.hasOwnProperty.call(obj, key)) {
    value = obj[key];
  } else {
    throw new AddinError("InvalidArgument", `${type} has no item ${JSON.stringify(key)}`);
  }
  return codec.encoder(entry, issued, false, members.path(`${entry.label || type}[${key}]`))(value, obj, key);
}
