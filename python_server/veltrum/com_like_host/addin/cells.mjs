// Cell data too large for one request.
//
// Excel on the web refuses a request or a response over 5 MB
// (Request/ResponsePayloadSizeLimitExceeded) and any read of more than
// 5,000,000 cells (RangeExceedsLimit). A refused request applies nothing, so
// a refused block can be sent again in halves.
// - Writes: the JSON size of the data is measured (on a sample of rows for
//   large arrays); data over the budget below is written in blocks of whole
//   rows, each through range.getCell(row, 0).getResizedRange(rows - 1,
//   cols - 1) and synced on its own.
// - Reads first try the whole range in one sync; when Excel refuses it for
//   its size, the range is read in blocks of rows sized from the data seen so
//   far. A range known to be too large (read or written in blocks before) is
//   read in blocks at once.

import { AddinError } from "./errors.mjs";
import * as errors from "./errors.mjs";
import { utf8Length } from "./frames.mjs";

// The error code of a request stopped between blocks (the host asked, or
// its time ran out); what was written before stays written.
export const CANCELLED = "RequestCancelled";

export const PROPERTIES = new Set([
  "values", "formulas", "formulasLocal", "formulasR1C1", "numberFormat", "numberFormatLocal",
  "text", "valueTypes",
]);

// Bytes of cell JSON per sync: well under 5 MB, leaving room for the rest of
// the request (object paths, escaping) and for estimates from samples.
export const PAYLOAD_BUDGET = 3500000;
const FIRST_BLOCK_CELLS = 100000;
const EXACT_ROWS = 512;     // arrays up to this many rows are measured whole
const SAMPLE_ROWS = 32;
const TOO_LARGE = new Set(["ResponsePayloadSizeLimitExceeded", "RequestPayloadSizeLimitExceeded",
  "RangeExceedsLimit"]);

export function isRange(obj) {
  const Excel = globalThis.Excel;
  if (Excel && typeof Excel.Range === "function" && obj instanceof Excel.Range) return true;
  return obj !== null && typeof obj === "object" && typeof obj.getCell === "function"
    && typeof obj.getResizedRange === "function";
}

/**
 * Whether obj.name is cell data: a range's cell properties, and the values
 * of objects that stand for cells of a range (a table's rows, which have
 * getRange). A chart title's text is not.
 */
export function holds(obj, name) {
  if (!PROPERTIES.has(name) || obj === null || typeof obj !== "object") return false;
  return isRange(obj) || (name === "values" && typeof obj.getRange === "function");
}

// Method arguments that are cell data, by "Type.method": the position of
// the argument, decoded as a range's values are (dates to serial numbers,
// None to an empty cell).
const CELL_ARGUMENTS = new Map([["TableRowCollection.add", 1]]);

export function argumentIndex(typeName, method) {
  return CELL_ARGUMENTS.get(`${typeName}.${method}`);
}

const rowBytes = (row) => utf8Length(JSON.stringify(row)) + 1;

/**
 * JSON size of 2-D cell data: {total, maxRow} in bytes (measured on a sample
 * of rows for large arrays), or null for a single value or 1-D data.
 */
export function estimate(value, exactRows = EXACT_ROWS) {
  if (!Array.isArray(value) || value.length === 0 || !Array.isArray(value[0])) return null;
  const n = value.length;
  const count = n <= exactRows ? n : Math.min(n, SAMPLE_ROWS);
  let sum = 0;
  let maxRow = 0;
  for (let k = 0; k < count; k++) {
    const row = value[Math.floor((k * n) / count)];
    const b = Array.isArray(row) ? rowBytes(row) : 16;
    sum += b;
    maxRow = Math.max(maxRow, b);
  }
  return { total: Math.ceil((sum / count) * n), maxRow };
}

/**
 * Writes cell data (a single value as [[value]]). Small data is assigned and left for the caller's sync;
 * larger data is synced here, in row blocks when over the budget. Returns
 * the bytes the caller's next sync will carry. memo: see read(). watch:
 * {stopped() -> reason or null, step(rows, totalRows, cols)}, asked before
 * and told after each block.
 */
export async function write(range, name, value, sync, memo = {}, watch = undefined) {
  // One value for every cell goes as a 1 x 1 array: the reference asks for
  // two-dimensional arrays, and its own sample fills the four cells E3:E6
  // with numberFormat = [["$0.00"]]. No shape is needed, so no extra sync.
  if (!Array.isArray(value)) value = [[value]];
  const size = estimate(value);
  if (size !== null) remember(memo, value.length * value[0].length, size.total);
  if (size === null || size.total <= PAYLOAD_BUDGET / 4 || !isRange(range)) {
    range[name] = value;
    return size ? size.total : 64;
  }
  // Larger data is synced here, so that a request refused for its size can
  // be sent again in blocks. A size estimated from a sample keeps a margin.
  const margin = value.length > EXACT_ROWS ? 2 : 1;
  if (size.total * margin <= PAYLOAD_BUDGET) {
    range[name] = value;
    try {
      await sync();
      return 0;
    } catch (e) {
      if (!TOO_LARGE.has(errors.code(e))) throw e;
    }
  }
  range.load("rowCount, columnCount");
  await sync();
  const rows = range.rowCount;
  const cols = range.columnCount;
  if (value.length !== rows || value.some((row) => !Array.isArray(row) || row.length !== cols)) {
    throw new AddinError("InvalidArgument",
      "The number of rows or columns in the input array doesn't match the size or dimensions of the range. "
      + `(Range.${name}: the range is ${rows} x ${cols})`);
  }
  const per = Math.max(1, Math.floor(PAYLOAD_BUDGET / (size.maxRow * 1.25)));
  await inBlocks(rows, per, async (r, n) => {
    range.getCell(r, 0).getResizedRange(n - 1, cols - 1)[name] = value.slice(r, r + n);
    await sync();
  }, watched(watch, cols, "written"));
  return 0;
}

function watched(watch, cols, verb) {
  if (!watch) return undefined;
  return {
    check(r, rows) {
      const why = watch.stopped();
      if (why) {
        throw new AddinError(CANCELLED, `${why}: stopped after ${r.toLocaleString("en")} of `
          + `${rows.toLocaleString("en")} rows (${(r * cols).toLocaleString("en")} of `
          + `${(rows * cols).toLocaleString("en")} cells) were ${verb}`);
      }
    },
    done: (r, rows) => watch.step(r, rows, cols),
  };
}

// Walks rows in blocks of at most `per` rows. step(r, n) queues and syncs one
// block and may return the row count of the next block, or null to stop; a
// block refused for its size is tried again in halves. False when stopped.
// watch (see watched) may stop the walk between blocks.
async function inBlocks(rows, per, step, watch = undefined) {
  for (let r = 0; r < rows;) {
    if (watch) watch.check(r, rows);
    const n = Math.min(per, rows - r);
    let next;
    try {
      next = await step(r, n);
    } catch (e) {
      if (TOO_LARGE.has(errors.code(e)) && n > 1) {
        per = Math.max(1, n >> 1);
        continue;
      }
      throw e;
    }
    if (next === null) return false;
    if (next !== undefined) per = next;
    r += n;
    if (watch) watch.done(r, rows);
  }
  return true;
}

// What a range's memo knows: its cell count and the bytes per cell of the
// data last seen there, so that a read of what was just written in blocks
// goes straight to blocks of the right size.
function remember(memo, cells, bytes) {
  memo.cells = cells;
  if (cells > 0) memo.bytesPerCell = bytes / cells;
}

/**
 * Reads cell data. memo (one per range object) remembers what earlier reads
 * and writes learnt: a range known to be too large is read in blocks at once
 * instead of first being refused whole.
 */
export async function read(range, name, sync, memo, watch = undefined) {
  const large = memo.cells * (memo.bytesPerCell || 0) > PAYLOAD_BUDGET;
  if (!large || !isRange(range)) {
    range.load(name);
    try {
      await sync();
      const data = range[name];
      if (Array.isArray(data) && Array.isArray(data[0])) memo.cells = data.length * data[0].length;
      return data;
    } catch (e) {
      if (!TOO_LARGE.has(errors.code(e)) || !isRange(range)) throw e;
    }
  }
  range.load("rowCount, columnCount");
  await sync();
  const rows = range.rowCount;
  const cols = range.columnCount;
  const out = [];
  const first = Math.max(1, Math.floor(memo.bytesPerCell ? PAYLOAD_BUDGET / (memo.bytesPerCell * cols * 1.25)
    : FIRST_BLOCK_CELLS / cols));
  let other;
  const whole = await inBlocks(rows, first, async (r, n) => {
    const part = range.getCell(r, 0).getResizedRange(n - 1, cols - 1);
    part.load(name);
    await sync();
    const data = part[name];
    if (!Array.isArray(data)) {
      other = data;
      return null;
    }
    for (const row of data) out.push(row);
    // Sizing the next block from a sample is safe: a block refused for its
    // size is read again in halves.
    const size = estimate(data, 0);
    const perRow = size ? Math.max(size.total / n, size.maxRow) : 16 * cols;
    memo.bytesPerCell = perRow / cols;
    return Math.max(1, Math.floor(PAYLOAD_BUDGET / (perRow * 1.25)));
  }, watched(watch, cols, "read"));
  if (!whole) return other;
  memo.cells = rows * cols;
  return out;
}
