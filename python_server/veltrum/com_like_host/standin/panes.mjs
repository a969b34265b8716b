// Frozen panes of a worksheet (WorksheetFreezePanes): the rows and columns of the top-left pane,
// each a first line and a count. freezeRows and freezeColumns freeze from the sheet's first row or
// column, each keeping the other; freezeAt freezes the cells of the range it is given.

import { ClientObject, defineScalars, extendScalars, ErrorCodes, fail } from "./core.mjs";
import { Range, Worksheet } from "./excel.mjs";
import { live, parseAddress, makeRect, MAX_ROWS, MAX_COLS } from "./workbook.mjs";

const frozen = (sheet) => sheet.frozen || (sheet.frozen = { top: 0, rows: 0, left: 0, cols: 0 });

// count defaults to 1; 0 unfreezes.
function countArg(count, limit) {
  const n = count === undefined || count === null ? 1 : count;
  if (!Number.isInteger(n) || n < 0 || n >= limit) fail(ErrorCodes.invalidArgument);
  return n;
}

function location(sheet) {
  const { top, rows, left, cols } = frozen(live(sheet));
  if (!rows && !cols) fail(ErrorCodes.itemNotFound);
  if (!rows) return { sheet, rect: makeRect(0, left, MAX_ROWS - 1, left + cols - 1) };
  if (!cols) return { sheet, rect: makeRect(top, 0, top + rows - 1, MAX_COLS - 1) };
  return { sheet, rect: makeRect(top, left, top + rows - 1, left + cols - 1) };
}

export class WorksheetFreezePanes extends ClientObject {
  freezeRows(count) {
    this._queueCommand("WorksheetFreezePanes.freezeRows", (s) => { Object.assign(frozen(live(s)), { top: 0, rows: countArg(count, MAX_ROWS) }); },
      [count ?? null]);
  }

  freezeColumns(count) {
    this._queueCommand("WorksheetFreezePanes.freezeColumns", (s) => { Object.assign(frozen(live(s)), { left: 0, cols: countArg(count, MAX_COLS) }); },
      [count ?? null]);
  }

  // null unfreezes; whole columns freeze columns only, whole rows rows only.
  freezeAt(frozenRange) {
    if (frozenRange instanceof ClientObject) { this.context._checkOwn(frozenRange); frozenRange._checkUsable(); }
    this._queueCommand("WorksheetFreezePanes.freezeAt", (s) => {
      live(s);
      let rect;
      if (frozenRange === null || frozenRange === undefined) {
        Object.assign(frozen(s), { top: 0, rows: 0, left: 0, cols: 0 });
        return;
      }
      if (frozenRange instanceof Range) {
        const e = frozenRange._resolve();
        if (e === null || live(e.sheet) !== s) fail(ErrorCodes.invalidArgument);
        rect = e.rect;
      } else if (typeof frozenRange === "string") {
        const bang = frozenRange.lastIndexOf("!");
        if (bang >= 0 && frozenRange.slice(0, bang).replace(/^'(.*)'$/, "$1").replace(/''/g, "'").toLowerCase() !== s.name.toLowerCase()) {
          fail(ErrorCodes.invalidArgument);
        }
        rect = parseAddress(frozenRange.slice(bang + 1));
      } else fail(ErrorCodes.invalidArgument);
      const rows = rect.wholeColumns ? 0 : rect.r1 - rect.r0 + 1;
      const cols = rect.wholeRows ? 0 : rect.c1 - rect.c0 + 1;
      if (!rows && !cols) fail(ErrorCodes.invalidArgument);
      Object.assign(frozen(s), { top: rows ? rect.r0 : 0, rows, left: cols ? rect.c0 : 0, cols });
    }, [typeof frozenRange === "string" ? frozenRange : null]);
  }

  getLocation() {
    return this._child(Range, "getLocation", (s) => location(s), [], { volatile: true });
  }

  getLocationOrNullObject() {
    return this._child(Range, "getLocationOrNullObject", (s) => location(s), [], { volatile: true, nullable: true });
  }

  unfreeze() {
    this._queueCommand("WorksheetFreezePanes.unfreeze", (s) => {
      Object.assign(frozen(live(s)), { top: 0, rows: 0, left: 0, cols: 0 });
    });
  }
}
defineScalars(WorksheetFreezePanes, "WorksheetFreezePanes", {});

extendScalars(Worksheet, {}, {
  freezePanes: (w) => new WorksheetFreezePanes(w.context, w, (s) => s, "freezePanes"),
});
