// The table of Office.js members that both workbooks implement
// (members.json, made from the simulated workbook's declarations), and the
// error texts made from it. com_like_host/member_names.py is the same for
// the simulated workbook: both give the same text for the same table.
//
// Each type maps to {properties: {name: "r" | "rw"}, methods: {name:
// [parameter names, in order]}}. Without the file (an old pane, a failed
// load) the table is empty: no hints, and keywords go as one options object.

const TABLE = await load();

async function load() {
  const url = new URL("./members.json", import.meta.url);
  try {
    if (url.protocol === "file:") {
      const { readFile } = await import("node:fs/promises");
      return JSON.parse(await readFile(url, "utf8"));
    }
    const response = await fetch(url);
    return response.ok ? await response.json() : {};
  } catch {
    return {};
  }
}

const own = (obj, key) => obj !== null && typeof obj === "object" && Object.prototype.hasOwnProperty.call(obj, key);

/** The type's member names, sorted; null for a type not in the table. */
export function names(type) {
  if (!own(TABLE, type)) return null;
  const entry = TABLE[type];
  return [...Object.keys(entry.properties), ...Object.keys(entry.methods)].sort();
}

/** The method's parameter names; null when the table does not know it. */
export function parameters(type, method) {
  if (!own(TABLE, type) || !own(TABLE[type].methods, method)) return null;
  return TABLE[type].methods[method];
}

/** Edit distance (insertions, deletions, substitutions) of two texts. */
export function distance(a, b) {
  const row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i++) {
    let prev = row[0];
    row[0] = i;
    for (let j = 1; j <= b.length; j++) {
      const here = row[j];
      row[j] = Math.min(row[j] + 1, row[j - 1] + 1, prev + (a[i - 1] === b[j - 1] ? 0 : 1));
      prev = here;
    }
  }
  return row[b.length];
}

/** The name closest to `name` ignoring case, within a third of its length
 * (at least one edit); the first in `candidates`' order on a tie. */
export function nearest(name, candidates) {
  let best = null;
  let bestD = Math.max(1, Math.floor(name.length / 3)) + 1;
  for (const candidate of candidates) {
    const d = distance(name.toLowerCase(), candidate.toLowerCase());
    if (d < bestD) {
      best = candidate;
      bestD = d;
    }
  }
  return best;
}

export function missingText(type, name) {
  let text = `${type} has no member '${name}'.`;
  const known = names(type);
  if (!known || known.length === 0) return text;
  const close = nearest(name, known);
  if (close !== null) text += ` Did you mean '${close}'?`;
  return `${text} Members of ${type}: ${known.join(", ")}`;
}

export function unknownKeywordText(label, keyword, params) {
  let text = `${label}() has no parameter '${keyword}'.`;
  const close = nearest(keyword, params);
  if (close !== null) text += ` Did you mean '${close}'?`;
  return `${text} Its parameters: ${params.join(", ") || "none"}`;
}

const LABEL_LIMIT = 200;
const LITERAL_LIMIT = 40;   // a long text argument is shown by its start

/** A path of calls, cut to its last LABEL_LIMIT characters (a loop of
 * getOffsetRange calls makes long ones). */
export function path(text) {
  return text.length <= LABEL_LIMIT ? text : `...${text.slice(-(LABEL_LIMIT - 3))}`;
}

/** How a call reads in an error: label("text", 1, name=2), as the simulated
 * workbook writes it. shown: [keyword or null, value] in the order given. */
export function callText(label, shown, typeName) {
  const parts = shown.map(([keyword, value]) => {
    const text = literal(value, typeName);
    return keyword === null ? text : `${keyword}=${text}`;
  });
  return path(`${label}(${parts.join(", ")})`);
}

function literal(value, typeName) {
  if (typeof value === "boolean") return value ? "true" : "false";
  if (value === null || value === undefined) return "null";
  if (typeof value === "number") return String(value);
  if (typeof value === "string") {
    const text = value.length > LITERAL_LIMIT ? `${value.slice(0, LITERAL_LIMIT - 3)}...` : value;
    return `"${text.replace(/\\/g, "\\\\").replace(/"/g, '\\"')}"`;
  }
  try {
    return typeName(value);
  } catch {
    return "Object";
  }
}
