// Cell-edit mode: while the user edits a cell, Excel fails every batch of a
// bare RequestContext with InvalidOperationInCellEditMode, applying nothing.
// A request whose first sync fails so waits for the edit to end and runs
// again from the start, within its time limit: where ExcelApi 1.20 is
// supported it waits on an Excel.run({delayForCellEdit: true}) of its own
// that only loads a property, elsewhere it tries again every quarter second.
// Out of time, it fails with InvalidOperationInCellEditMode, having applied
// nothing.

import { AddinError } from "./errors.mjs";

export const CELL_EDIT = "InvalidOperationInCellEditMode";
const POLL_MS = 250;

function delaySupported() {
  try {
    const req = globalThis.Office && Office.context && Office.context.requirements;
    return Boolean(req && req.isSetSupported("ExcelApi", "1.20") && typeof globalThis.Excel.run === "function");
  } catch {
    return false;
  }
}

/** Resolves when the user has left cell-edit mode (or may have: the caller
 * tries again); throws InvalidOperationInCellEditMode at the deadline.
 * timeoutMs: the request time limit, for the message. */
export async function waitForEdit(deadline, timeoutMs) {
  const left = (deadline || Date.now()) - Date.now();
  const outOfTime = () => new AddinError(CELL_EDIT,
    "Excel is in cell-edit mode: the user is editing a cell, and the request waited "
    + `${Math.round(timeoutMs / 1000)} s for the edit to end; nothing was applied. `
    + "Finish the edit (Enter, Tab or Esc) and try again");
  if (left <= 0) throw outOfTime();
  let timer;
  const late = new Promise((resolve) => { timer = setTimeout(resolve, Math.max(0, left), "late"); });
  const wait = delaySupported()
    // A batch of its own: it carries nothing that could be applied late.
    ? globalThis.Excel.run({ delayForCellEdit: true }, async (ctx) => {
      ctx.workbook.application.load("calculationMode");
      await ctx.sync();
    }).catch(() => undefined)
    : new Promise((resolve) => setTimeout(resolve, Math.min(POLL_MS, left)));
  try {
    if (await Promise.race([wait, late]) === "late") throw outOfTime();
  } finally {
    clearTimeout(timer);
  }
}
