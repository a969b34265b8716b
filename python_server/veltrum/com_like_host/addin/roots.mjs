// The fixed functions GetSetting (id 2), Union (id 3) and Intersect (id 4).
//
// GetSetting(name): name is text; gives the value of the workbook setting
//   (context.workbook.settings, this add-in's settings in this workbook), or
//   None when there is no such setting. One sync.
// Union(r1, r2, ...): one or more Range or RangeAreas objects on one
//   worksheet; gives a RangeAreas holding all their areas, made with
//   worksheet.getRanges("A1:B2, D4"), so its address joins the areas'
//   addresses with ", ". Ranges on different sheets are refused. When every
//   argument was made by getRange/getRanges(address) of one worksheet
//   object, the add-in knows their addresses and Union costs no sync (a bad
//   address is then reported where the result is used); otherwise their
//   addresses are loaded first (one sync).
// Intersect(r1, r2, ...): two or more Range or RangeAreas objects; gives
//   their common part through getIntersectionOrNullObject, or None when they
//   do not overlap (or lie on different sheets). One sync.
// Results made after a sync come from context.workbook.worksheets.getItem(
// sheet), so they do not depend on the argument objects staying alive.

import { AddinError } from "./errors.mjs";

// range -> {sheet, address}: how a range was made, when that is known.
const sources = new WeakMap();

/** Remembers the origin of a range made by worksheet.getRange/getRanges(address). */
export function note(result, holder, name, args) {
  const Excel = globalThis.Excel;
  if (result === null || typeof result !== "object" || holder === null || typeof holder !== "object") return;
  if (!(Excel && typeof Excel.Worksheet === "function" && holder instanceof Excel.Worksheet)) return;
  if ((name !== "getRange" && name !== "getRanges") || args.length !== 1 || typeof args[0] !== "string") return;
  // Addresses naming a sheet, or several areas in one getRange, are left to Excel.
  if (args[0].includes("!") || (name === "getRange" && args[0].includes(","))) return;
  sources.set(result, { sheet: holder, address: args[0] });
}

export function make({ context, sync, checkRead, prepare }) {
  async function GetSetting(name, ...rest) {
    if (typeof name !== "string" || rest.length > 0) {
      throw new AddinError("InvalidArgument", "GetSetting(name) takes one argument, the setting's name as text");
    }
    checkRead(`GetSetting(${JSON.stringify(name)})`);
    const item = context.workbook.settings.getItemOrNullObject(name);
    item.load("value");
    await sync();
    return item.isNullObject ? null : item.value;
  }

  const sheetNamed = (written) => context.workbook.worksheets.getItem(unquote(written));

  async function Union(...ranges) {
    checkRanges("Union", ranges, 1);
    const origins = ranges.map((r) => sources.get(r));
    if (origins.every((o) => o && o.sheet === origins[0].sheet)) {
      const address = origins.map((o) => o.address).join(", ");
      const result = origins[0].sheet.getRanges(address);
      sources.set(result, { sheet: origins[0].sheet, address });
      return result;
    }
    prepare(ranges);
    for (const r of ranges) r.load("address");
    await sync();
    let sheet = null;
    const areas = [];
    for (const r of ranges) {
      for (const area of splitAddress(r.address)) {
        if (sheet === null) sheet = area.sheet;
        if (unquote(area.sheet).toLowerCase() !== unquote(sheet).toLowerCase()) {
          throw new AddinError("InvalidArgument",
            `Union: all ranges must be on one worksheet (got ${sheet} and ${area.sheet})`);
        }
        areas.push(area.ref);
      }
    }
    return sheetNamed(sheet).getRanges(areas.join(", "));
  }

  async function Intersect(...ranges) {
    checkRanges("Intersect", ranges, 2);
    // One chain, one sync: the links live through the sync that uses them,
    // and the answer is a fresh range of the same address.
    prepare(ranges);
    let common = ranges[0];
    for (const r of ranges.slice(1)) common = common.getIntersectionOrNullObject(r);
    common.load("address");
    await sync();
    if (common.isNullObject) return null;
    const [area] = splitAddress(common.address);
    return sheetNamed(area.sheet).getRange(area.ref);
  }

  return { GetSetting, Union, Intersect };
}

function checkRanges(what, ranges, least) {
  if (ranges.length < least) {
    throw new AddinError("InvalidArgument",
      `${what} needs at least ${least === 1 ? "one range" : `${least} ranges`}, got ${ranges.length}`);
  }
  for (const r of ranges) {
    const ok = r !== null && typeof r === "object" && typeof r.load === "function"
      && typeof r.getIntersectionOrNullObject === "function";
    if (!ok) {
      const kind = r === null ? "None" : (r && r.constructor && r.constructor.name) || typeof r;
      throw new AddinError("InvalidArgument", `${what} expects Range objects, got ${kind}`);
    }
  }
}

/** "Sheet1!A1:B2, 'My, Sheet'!C3" -> [{sheet, ref}], sheet names kept as written. */
export function splitAddress(address) {
  const out = [];
  const text = String(address);
  let i = 0;
  while (i < text.length) {
    while (text[i] === " " || text[i] === ",") i++;
    if (i >= text.length) break;
    let sheet = "";
    if (text[i] === "'") {
      let j = i + 1;
      while (j < text.length && !(text[j] === "'" && text[j + 1] !== "'")) j += text[j] === "'" ? 2 : 1;
      sheet = text.slice(i, j + 1);
      i = j + 1;
    }
    const end = text.indexOf(",", i);
    const piece = text.slice(i, end < 0 ? text.length : end).trim();
    i = end < 0 ? text.length : end;
    const bang = piece.lastIndexOf("!");
    if (bang >= 0) {
      sheet += piece.slice(0, bang);
      out.push({ sheet, ref: piece.slice(bang + 1) });
    } else {
      out.push({ sheet, ref: piece });
    }
  }
  return out;
}

/** 'My ''quoted'' sheet' -> My 'quoted' sheet; unquoted names unchanged. */
export function unquote(name) {
  return name.startsWith("'") && name.endsWith("'") && name.length >= 2
    ? name.slice(1, -1).replace(/''/g, "'") : name;
}
