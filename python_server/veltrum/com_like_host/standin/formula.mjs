// The small formula language: numbers, same-sheet references, + - * /, unary minus, parentheses,
// and SUM / AVERAGE / MIN / MAX / COUNT over ranges, references and expressions.

export const MAX_ROWS = 1048576;
export const MAX_COLS = 16384;

export class XlError {
  constructor(code) { this.code = code; }
  toString() { return this.code; }
}
const DIV0 = new XlError("#DIV/0!");
const NAME = new XlError("#NAME?");
const VALUE = new XlError("#VALUE!");
const NUM = new XlError("#NUM!");
const REF = new XlError("#REF!");
export const ERRORS = { DIV0, NAME, VALUE, NUM, REF };

export function columnIndex(letters) {
  let n = 0;
  for (const ch of letters.toUpperCase()) n = n * 26 + (ch.charCodeAt(0) - 64);
  return n - 1;
}

export function columnName(index) {
  let s = "";
  for (let n = index + 1; n > 0; n = Math.floor((n - 1) / 26)) s = String.fromCharCode(65 + ((n - 1) % 26)) + s;
  return s;
}

const TOKEN = /\s*(?:(\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)|(\$?[A-Za-z]{1,3}\$?\d+)(?![\w(.])|([A-Za-z_][\w.]*)|([-+*/(),:]))/y;

function tokenize(text) {
  const tokens = [];
  TOKEN.lastIndex = 0;
  let pos = 0;
  while (pos < text.length) {
    if (/^\s*$/.test(text.slice(pos))) break;
    TOKEN.lastIndex = pos;
    const m = TOKEN.exec(text);
    if (!m) return null;
    pos = TOKEN.lastIndex;
    if (m[1] !== undefined) tokens.push({ t: "num", v: Number(m[1]) });
    else if (m[2] !== undefined) {
      const ref = parseRef(m[2]);
      if (!ref) return null;
      tokens.push({ t: "ref", ...ref });
    } else if (m[3] !== undefined) tokens.push({ t: "id", v: m[3].toUpperCase() });
    else tokens.push({ t: m[4] });
  }
  return tokens;
}

function parseRef(text) {
  const m = /^\$?([A-Za-z]{1,3})\$?(\d+)$/.exec(text);
  const c = columnIndex(m[1]);
  const r = Number(m[2]) - 1;
  if (c >= MAX_COLS || r < 0 || r >= MAX_ROWS) return null;
  return { r, c };
}

const FUNCTIONS = new Set(["SUM", "AVERAGE", "MIN", "MAX", "COUNT"]);

// Recursive descent; any syntax error makes the whole formula #NAME?.
function parse(tokens) {
  let i = 0;
  const peek = () => tokens[i] || { t: "end" };
  const take = (t) => {
    if (peek().t !== t) throw NAME;
    return tokens[i++];
  };
  function primary() {
    const tok = peek();
    if (tok.t === "num") { i += 1; return { t: "num", v: tok.v }; }
    if (tok.t === "ref") { i += 1; return { t: "ref", r: tok.r, c: tok.c }; }
    if (tok.t === "(") { i += 1; const e = expr(); take(")"); return e; }
    if (tok.t === "id") {
      i += 1;
      if (!FUNCTIONS.has(tok.v)) throw NAME;
      take("(");
      const args = [];
      if (peek().t !== ")") {
        args.push(arg());
        while (peek().t === ",") { i += 1; args.push(arg()); }
      }
      take(")");
      return { t: "fn", name: tok.v, args };
    }
    throw NAME;
  }
  function arg() {
    if (peek().t === "ref" && tokens[i + 1] && tokens[i + 1].t === ":") {
      const a = take("ref"); take(":"); const b = take("ref");
      return { t: "range", r0: Math.min(a.r, b.r), c0: Math.min(a.c, b.c),
        r1: Math.max(a.r, b.r), c1: Math.max(a.c, b.c) };
    }
    return expr();
  }
  function unary() {
    if (peek().t === "-") { i += 1; return { t: "neg", x: unary() }; }
    return primary();
  }
  function term() {
    let a = unary();
    while (peek().t === "*" || peek().t === "/") { const op = tokens[i++].t; a = { t: "bin", op, a, b: unary() }; }
    return a;
  }
  function expr() {
    let a = term();
    while (peek().t === "+" || peek().t === "-") { const op = tokens[i++].t; a = { t: "bin", op, a, b: term() }; }
    return a;
  }
  const tree = expr();
  if (i !== tokens.length) throw NAME;
  return tree;
}

const parsed = new Map();

function compile(formula) {
  let tree = parsed.get(formula);
  if (tree === undefined) {
    const tokens = tokenize(formula.slice(1));
    try { tree = tokens && tokens.length ? parse(tokens) : NAME; } catch (e) { tree = NAME; }
    if (parsed.size > 10000) parsed.clear();
    parsed.set(formula, tree);
  }
  return tree;
}

function arith(v) {
  if (v instanceof XlError) return v;
  if (v === "" || v === undefined) return 0;
  if (typeof v === "boolean") return v ? 1 : 0;
  if (typeof v === "number") return v;
  return VALUE;
}

// cell(r, c) gives a cell's current value: number, string, boolean, "" or an XlError.
function evaluateNode(node, cell) {
  switch (node.t) {
    case "num": return node.v;
    case "ref": return arith(cell(node.r, node.c));
    case "neg": { const x = evaluateNode(node.x, cell); return x instanceof XlError ? x : -x; }
    case "bin": {
      const a = evaluateNode(node.a, cell);
      if (a instanceof XlError) return a;
      const b = evaluateNode(node.b, cell);
      if (b instanceof XlError) return b;
      if (node.op === "+") return a + b;
      if (node.op === "-") return a - b;
      if (node.op === "*") return a * b;
      return b === 0 ? DIV0 : a / b;
    }
    case "fn": return evaluateFunction(node, cell);
    default: return NAME;
  }
}

function evaluateFunction(node, cell) {
  const numbers = [];
  for (const a of node.args) {
    if (a.t === "range" || a.t === "ref") {
      const [r0, c0, r1, c1] = a.t === "ref" ? [a.r, a.c, a.r, a.c] : [a.r0, a.c0, a.r1, a.c1];
      for (let r = r0; r <= r1; r += 1) {
        for (let c = c0; c <= c1; c += 1) {
          const v = cell(r, c);
          if (v instanceof XlError) return v;
          if (typeof v === "number") numbers.push(v);
        }
      }
    } else {
      const v = evaluateNode(a, cell);
      if (v instanceof XlError) return v;
      numbers.push(v);
    }
  }
  switch (node.name) {
    case "SUM": return numbers.reduce((s, x) => s + x, 0);
    case "AVERAGE": return numbers.length ? numbers.reduce((s, x) => s + x, 0) / numbers.length : DIV0;
    case "MIN": return numbers.length ? Math.min(...numbers) : 0;
    case "MAX": return numbers.length ? Math.max(...numbers) : 0;
    default: return numbers.length;
  }
}

// A formula's result. A lone reference gives the referenced value itself, as Excel does ("=A3"
// shows A3's text, TRUE stays TRUE); only an empty cell becomes 0.
export function evaluateFormula(formula, cell) {
  const tree = compile(formula);
  if (tree instanceof XlError) return tree;
  if (tree.t === "ref") {
    const v = cell(tree.r, tree.c);
    return v === "" || v === undefined ? 0 : v;
  }
  const v = evaluateNode(tree, cell);
  if (typeof v === "number" && !Number.isFinite(v)) return NUM;
  return v;
}

// A formula filled into other cells: relative parts of each reference move by (dr, dc).
export function shiftFormula(formula, dr, dc) {
  if (dr === 0 && dc === 0) return formula;
  return formula.replace(/(?<![\w.$])(\$?)([A-Za-z]{1,3})(\$?)(\d+)(?![\w(.])/g, (m, dc$, col, dr$, row) => {
    let c = columnIndex(col);
    let r = Number(row) - 1;
    if (c >= MAX_COLS || r >= MAX_ROWS) return m;
    if (!dc$) c += dc;
    if (!dr$) r += dr;
    if (c < 0 || c >= MAX_COLS || r < 0 || r >= MAX_ROWS) return "#REF!";
    return `${dc$}${columnName(c)}${dr$}${r + 1}`;
  });
}
