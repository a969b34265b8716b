// Cell data too large for one request.
//
// Excel on the web refuses a request or a response over 5 MB
// (Request/ResponsePayloadSizeLimitExceeded) and any read of more than
// 5,000,000 cells (RangeExceedsLimit). Writes of cell data whose JSON text is
// larger than the budget below are split into blocks of whole rows, each
// written through range.getCell(row, 0).getResizedRange(rows - 1, cols - 1)
// and synced on its own. Reads first try the whole range in one sync; when
// Excel refuses it for its size, the range is read in blocks of rows whose
// size adapts to the data seen so far (halved and retried when a block is
// still refused). A range known to be too large (read or written in blocks
// before) is read in blocks at once.

import { AddinError, errorsCode } from "./errors.mjs";

export const CELL_PROPERTIES = new Set([
  "values", "formulas", "formulasLocal", "formulasR1C1", "numberFormat", "numberFormatLocal",
  "text", "valueTypes",
]);

// Bytes of cell JSON per sync: well under 5 MB, leaving room for the rest of
// the request (object paths, escaping).
export const PAYLOAD_BUDGET = 3500000;
const FIRST_BLOCK_CELLS = 100000;
const TOO_LARGE = new Set(["ResponsePayloadSizeLimitExceeded", "RequestPayloadSizeLimitExceeded",
  "RangeExceedsLimit"]);

export function cellsIsRange(obj) {
  const X = globalThis.Excel;
  if (X && typeof X.Range === "function" && obj instanceof X.Range) return true;
  return obj !== null && typeof obj === "object" && typeof obj.getCell === "function"
    && typeof obj.getResizedRange === "function";
}

/** UTF-8 size of a string (what the payload cap counts). */
export function cellsUtf8Length(text) {
  if (!/[^\x00-\x7f]/.test(text)) return text.length;
  return new TextEncoder().encode(text).length;
}

/** Bytes of each row of a 2-D array, or null for anything else (a single value, 1-D data). */
export function cellsRowSizes(value) {
  if (!Array.isArray(value) || value.length === 0 || !value.every(Array.isArray)) return null;
  return value.map((row) => cellsUtf8Length(JSON.stringify(row)) + 1);
}

/**
 * Writes cell data. Small data is assigned and left for the caller's sync;
 * data over the budget is written in row blocks, each synced here. Returns
 * the bytes the caller's next sync will carry.
 */
export async function cellsWrite(range, name, value, sync, memo = {}) {
  const sizes = cellsRowSizes(value);
  const total = sizes ? sizes.reduce((a, b) => a + b, 0) : 0;
  if (sizes !== null) cellsRemember(memo, value.length * value[0].length, total);
  if (sizes === null || total <= PAYLOAD_BUDGET || !cellsIsRange(range)) {
    range[name] = value;
    return sizes ? total : 64;
  }
  range.load("rowCount, columnCount");
  await sync();
  const rows = range.rowCount;
  const cols = range.columnCount;
  if (value.length !== rows || value.some((row) => row.length !== cols)) {
    throw new AddinError("InvalidArgument",
      "The number of rows or columns in the input array doesn't match the size or dimensions of the range. "
      + `(Range.${name}: the range is ${rows} x ${cols})`);
  }
  let start = 0;
  let bytes = 0;
  for (let r = 0; r <= rows; r++) {
    if (r === rows || (r > start && bytes + sizes[r] > PAYLOAD_BUDGET)) {
      range.getCell(start, 0).getResizedRange(r - start - 1, cols - 1)[name] = value.slice(start, r);
      await sync();
      start = r;
      bytes = 0;
    }
    if (r < rows) bytes += sizes[r];
  }
  return 0;
}

// What a range's memo knows: its cell count and the bytes per cell of the
// data last seen there, so that a read of what was just written in blocks
// goes straight to blocks of the right size.
function cellsRemember(memo, cells, bytes) {
  memo.cells = cells;
  if (cells > 0) memo.bytesPerCell = bytes / cells;
}

/**
 * Reads cell data. memo (one per range object) remembers what earlier reads
 * and writes learnt: a range known to be too large is read in blocks at once
 * instead of first being refused whole.
 */
export async function cellsRead(range, name, sync, memo) {
  const large = memo.cells * (memo.bytesPerCell || 0) > PAYLOAD_BUDGET;
  if (!large || !cellsIsRange(range)) {
    range.load(name);
    try {
      await sync();
      const data = range[name];
      if (Array.isArray(data) && Array.isArray(data[0])) memo.cells = data.length * data[0].length;
      return data;
    } catch (e) {
      if (!TOO_LARGE.has(errorsCode(e)) || !cellsIsRange(range)) throw e;
    }
  }
  range.load("rowCount, columnCount");
  await sync();
  const rows = range.rowCount;
  const cols = range.columnCount;
  const out = [];
  let per = Math.max(1, Math.floor(memo.bytesPerCell ? PAYLOAD_BUDGET / (memo.bytesPerCell * cols) : FIRST_BLOCK_CELLS / cols));
  for (let r = 0; r < rows;) {
    const n = Math.min(per, rows - r);
    const part = range.getCell(r, 0).getResizedRange(n - 1, cols - 1);
    part.load(name);
    try {
      await sync();
    } catch (e) {
      if (TOO_LARGE.has(errorsCode(e)) && n > 1) {
        per = Math.max(1, n >> 1);
        continue;
      }
      throw e;
    }
    const data = part[name];
    if (!Array.isArray(data)) return data;
    for (const row of data) out.push(row);
    const perRow = cellsUtf8Length(JSON.stringify(data)) / n;
    per = Math.max(1, Math.floor(PAYLOAD_BUDGET / Math.max(perRow, 1)));
    memo.bytesPerCell = perRow / cols;
    r += n;
  }
  memo.cells = rows * cols;
  return out;
}
