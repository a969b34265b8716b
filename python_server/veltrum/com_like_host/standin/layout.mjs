// Column widths and row heights in points on RangeFormat, and fitting them to the text.
// Widths are estimated, not measured: a column fits its longest shown text at 7 pixels a
// character plus 10 pixels of margin (0.75 points a pixel). One font size counts and nothing
// wraps, so a fitted row has the standard height. Sizes are spans painted in order, the last over
// a line wins, so a whole-column range costs one entry.

import { extendScalars, ErrorCodes, fail } from "./core.mjs";
import { RangeFormat } from "./excel.mjs";
import { live, cellValue } from "./workbook.mjs";
import { displayText } from "./numfmt.mjs";

export const STANDARD_WIDTH = 48;    // points: 8.43 characters, 64 pixels
export const STANDARD_HEIGHT = 15;   // points: 20 pixels
const MAX_WIDTH = 1342.5;            // points: 255 characters
const MAX_HEIGHT = 409;

const textWidth = (chars) => (7 * chars + 10) * 0.75;

const spans = (sheet, kind) => {
  if (!sheet.sizes) sheet.sizes = { columns: [], rows: [] };
  return sheet.sizes[kind];
};

function paintSpan(list, first, last, size) {
  const kept = list.filter((s) => !(first <= s.first && s.last <= last));
  list.splice(0, list.length, ...kept, { first, last, size });
}

function sizeAt(list, line, dflt) {
  for (let i = list.length - 1; i >= 0; i -= 1) if (list[i].first <= line && line <= list[i].last) return list[i].size;
  return dflt;
}

// The summed size of the columns ("columns") or rows ("rows") first..last of a sheet.
export function extent(sheet, kind, first, last) {
  if (last < first) return 0;
  const list = spans(sheet, kind);
  const dflt = kind === "columns" ? STANDARD_WIDTH : STANDARD_HEIGHT;
  const cuts = new Set([first, last + 1]);
  for (const s of list) for (const x of [s.first, s.last + 1]) if (first < x && x <= last) cuts.add(x);
  const sorted = [...cuts].sort((a, b) => a - b);
  let total = 0;
  for (let i = 0; i + 1 < sorted.length; i += 1) total += (sorted[i + 1] - sorted[i]) * sizeAt(list, sorted[i], dflt);
  return total;
}

// The one size of lines first..last, or null when they differ.
function commonSize(list, first, last, dflt) {
  const cuts = new Set([first]);
  for (const s of list) for (const x of [s.first, s.last + 1]) if (first < x && x <= last) cuts.add(x);
  const sizes = new Set([...cuts].map((x) => sizeAt(list, x, dflt)));
  return sizes.size === 1 ? [...sizes][0] : null;
}

const rectsOf = (e) => e.rects || [e.rect];

function sizeProp(kind, dflt, limit, lo, hi) {
  return {
    read(e) {
      const list = spans(live(e.sheet), kind);
      const sizes = new Set(rectsOf(e).map((r) => commonSize(list, r[lo], r[hi], dflt)));
      return sizes.size === 1 ? [...sizes][0] : null;
    },
    write(e, v) {
      if (typeof v !== "number" || !Number.isFinite(v) || v < 0 || v > limit) fail(ErrorCodes.invalidArgument);
      const list = spans(live(e.sheet), kind);
      for (const r of rectsOf(e)) paintSpan(list, r[lo], r[hi], v);
    },
  };
}

// Columns with shown text fit it; columns without keep their width.
function autofitColumns(sheet, rect) {
  const longest = new Map();
  for (const [r, row] of sheet.rows) {
    if (r < rect.r0 || r > rect.r1) continue;
    const last = Math.min(rect.c1, Math.max(row.v.length, row.f.length) - 1);
    for (let c = rect.c0; c <= last; c += 1) {
      if (row.v[c] === undefined && row.f[c] === undefined) continue;
      const text = displayText(cellValue(sheet, r, c), row.nf[c]);
      if (text !== "" || row.f[c] !== undefined) longest.set(c, Math.max(longest.get(c) || 0, text.length));
    }
  }
  for (const [c, chars] of longest) paintSpan(spans(sheet, "columns"), c, c, Math.min(textWidth(chars), MAX_WIDTH));
}

RangeFormat.prototype.autofitColumns = function autofitColumns_() {
  this._queueCommand("RangeFormat.autofitColumns", (e) => rectsOf(e).forEach((r) => autofitColumns(live(e.sheet), r)));
};

RangeFormat.prototype.autofitRows = function autofitRows() {
  this._queueCommand("RangeFormat.autofitRows",
    (e) => rectsOf(e).forEach((r) => paintSpan(spans(live(e.sheet), "rows"), r.r0, r.r1, STANDARD_HEIGHT)));
};

extendScalars(RangeFormat, {
  columnWidth: sizeProp("columns", STANDARD_WIDTH, MAX_WIDTH, "c0", "c1"),
  rowHeight: sizeProp("rows", STANDARD_HEIGHT, MAX_HEIGHT, "r0", "r1"),
});
