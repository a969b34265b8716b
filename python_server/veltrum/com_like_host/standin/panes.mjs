// Frozen panes of a worksheet (WorksheetFreezePanes): how many top rows and left columns stay in
// place. Rows and columns freeze independently.

import { ClientObject, defineScalars, extendScalars, ErrorCodes, fail } from "./core.mjs";
import { Range, Worksheet } from "./excel.mjs";
import { live, parseAddress, makeRect, MAX_ROWS, MAX_COLS } from "./workbook.mjs";

const frozen = (sheet) => sheet.frozen || (sheet.frozen = { rows: 0, cols: 0 });

// count defaults to 1; 0 unfreezes.
function countArg(count, limit) {
  const n = count === undefined || count === null ? 1 : count;
  if (!Number.isInteger(n) || n < 0 || n >= limit) fail(ErrorCodes.invalidArgument);
  return n;
}

function location(sheet) {
  const { rows, cols } = frozen(live(sheet));
  if (!rows && !cols) fail(ErrorCodes.itemNotFound);
  return { sheet, rect: makeRect(0, 0, (rows || MAX_ROWS) - 1, (cols || MAX_COLS) - 1) };
}

export class WorksheetFreezePanes extends ClientObject {
  freezeRows(count) {
    this._queueCommand("WorksheetFreezePanes.freezeRows", (s) => { frozen(live(s)).rows = countArg(count, MAX_ROWS); },
      [count ?? null]);
  }

  freezeColumns(count) {
    this._queueCommand("WorksheetFreezePanes.freezeColumns", (s) => { frozen(live(s)).cols = countArg(count, MAX_COLS); },
      [count ?? null]);
  }

  // Everything above and left of the range's bottom-right corner stays; whole columns freeze
  // columns only, whole rows rows only.
  freezeAt(frozenRange) {
    if (frozenRange instanceof ClientObject) { this.context._checkOwn(frozenRange); frozenRange._checkUsable(); }
    this._queueCommand("WorksheetFreezePanes.freezeAt", (s) => {
      live(s);
      let rect;
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
      const rows = rect.wholeColumns ? 0 : rect.r1 + 1;
      const cols = rect.wholeRows ? 0 : rect.c1 + 1;
      if (!rows && !cols) fail(ErrorCodes.invalidArgument);
      Object.assign(frozen(s), { rows, cols });
    }, [typeof frozenRange === "string" ? frozenRange : null]);
  }

  getLocation() {
    return this._child(Range, "getLocation", (s) => location(s), [], { volatile: true });
  }

  getLocationOrNullObject() {
    return this._child(Range, "getLocationOrNullObject", (s) => location(s), [], { volatile: true, nullable: true });
  }

  unfreeze() {
    this._queueCommand("WorksheetFreezePanes.unfreeze", (s) => { Object.assign(frozen(live(s)), { rows: 0, cols: 0 }); });
  }
}
defineScalars(WorksheetFreezePanes, "WorksheetFreezePanes", {});

extendScalars(Worksheet, {}, {
  freezePanes: (w) => new WorksheetFreezePanes(w.context, w, (s) => s, "freezePanes"),
});
