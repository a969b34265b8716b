// Dates written to cells get a date format, as typing them into Excel would.
//
// A Python date reaches a cell as its serial number, which Excel shows as a
// plain number (45306.4375) unless the cell's format is a date format. So
// when a write of values or formulas carries Date records, the cells among
// them whose numberFormat is General are given a date format (a date) or a
// date-time format (a datetime), in the same sync as the write; a cell with
// a format of its own keeps it. Reading the formats first costs one sync,
// taken only when the data holds dates.
//
// Office.js behaviour this relies on (as documented): null in a 2-D array
// assigned to numberFormat leaves that cell's format unchanged; numberFormat
// reads "General" for a General cell whatever the locale (numberFormatLocal
// is the localised one).

import { dateSerial } from "./values.mjs";

export const DATE_FORMAT = "yyyy-mm-dd";
export const DATETIME_FORMAT = "yyyy-mm-dd hh:mm:ss";

const TIME_PART = /^\s*\d{4}-\d{2}-\d{2}[T ]\d/;

// "date", "datetime", or null for a record that does not become a serial.
function kindOf(record) {
  if (record === null || typeof record !== "object" || record.type !== "Date") return null;
  if (dateSerial(record.value) === null) return null;
  return TIME_PART.test(String(record.value)) ? "datetime" : "date";
}

/**
 * Where the record of a cell-data write holds dates: null for none,
 * {fill: kind} when one date fills the range (a single value or a 1 x 1
 * array), else {cells: [[row, column, kind], ...]}.
 */
export function find(record) {
  const single = kindOf(record);
  if (single) return { fill: single };
  if (record === null || typeof record !== "object" || record.type !== "Array" || !Array.isArray(record.value)) {
    return null;
  }
  const rows = record.value;
  const cells = [];
  rows.forEach((row, r) => {
    if (row === null || typeof row !== "object" || row.type !== "Array" || !Array.isArray(row.value)) return;
    row.value.forEach((cell, c) => {
      const kind = kindOf(cell);
      if (kind) cells.push([r, c, kind]);
    });
  });
  if (cells.length === 0) return null;
  if (rows.length === 1 && rows[0].value.length === 1) return { fill: cells[0][2] };
  return { cells };
}

const isGeneral = (f) => typeof f === "string" && f.toLowerCase() === "general";
const formatFor = (kind) => (kind === "date" ? DATE_FORMAT : DATETIME_FORMAT);

/**
 * The numberFormat array to assign after the write: a date format for the
 * dates found whose cell is General, null (unchanged) elsewhere; null when
 * no cell needs one. current: the range's numberFormat before the write.
 */
export function formats(found, current) {
  if (!found || !Array.isArray(current) || current.length === 0 || !Array.isArray(current[0])) return null;
  const out = current.map((row) => row.map(() => null));
  let any = false;
  const give = (r, c, kind) => {
    if (r < current.length && c < current[r].length && isGeneral(current[r][c])) {
      out[r][c] = formatFor(kind);
      any = true;
    }
  };
  if (found.fill) current.forEach((row, r) => row.forEach((_, c) => give(r, c, found.fill)));
  else for (const [r, c, kind] of found.cells) give(r, c, kind);
  return any ? out : null;
}
