// Display text of a cell value under a number format (what Range.text reads): General, fixed
// decimals, thousands separators, percent, literal text, and date/time codes on serial numbers.

import { XlError } from "./formula.mjs";

function general(n) {
  if (n === 0) return "0";
  const a = Math.abs(n);
  if (Number.isInteger(n) && a < 1e11) return String(n);
  if (a >= 1e11 || a < 1e-9) {
    const [m, e] = n.toExponential(5).split("e");
    const mant = m.replace(/\.?0+$/, "");
    const exp = Number(e);
    return `${mant}E${exp < 0 ? "-" : "+"}${String(Math.abs(exp)).padStart(2, "0")}`;
  }
  return String(Number(n.toPrecision(10)));
}

// Serial day -> calendar parts in the 1900 system (60 is the fictitious 1900-02-29).
export function serialParts(serial) {
  let day = Math.floor(serial);
  let secs = Math.round((serial - day) * 86400);
  if (secs >= 86400) { day += 1; secs -= 86400; }
  let y; let mo; let d;
  if (day === 60) { y = 1900; mo = 2; d = 29; } else if (day === 0) { y = 1900; mo = 1; d = 0; } else {
    const ms = Date.UTC(1899, 11, day < 60 ? 31 : 30) + day * 86400000;
    const dt = new Date(ms);
    y = dt.getUTCFullYear(); mo = dt.getUTCMonth() + 1; d = dt.getUTCDate();
  }
  const weekday = (((day - 1) % 7) + 7) % 7; // 0 = Sunday, counting the fictitious day as Excel does
  return { y, mo, d, weekday, h: Math.floor(secs / 3600), mi: Math.floor(secs / 60) % 60, s: secs % 60 };
}

const MONTHS = ["January", "February", "March", "April", "May", "June", "July", "August",
  "September", "October", "November", "December"];
const DAYS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"];

function isDateFormat(fmt) {
  return /[ydhs]/i.test(fmt.replace(/"[^"]*"|\\./g, "")) || /\bm{1,5}\b/i.test(fmt) && /[:\/-]/.test(fmt);
}

function formatDate(serial, fmt) {
  if (serial < 0 || serial >= 2958466) return "#".repeat(11);
  const p = serialParts(serial);
  const ampm = /AM\/PM/i.test(fmt);
  const tokens = fmt.match(/"[^"]*"|\\.|AM\/PM|y+|m+|d+|h+|s+|./gi) || [];
  let out = "";
  tokens.forEach((tok, i) => {
    const lower = tok.toLowerCase();
    const prev = tokens.slice(0, i).reverse().find((t) => /^[hsdy]/i.test(t) || /^m/i.test(t));
    const next = tokens.slice(i + 1).find((t) => /^[hsdy]/i.test(t) || /^m/i.test(t));
    if (tok.startsWith('"')) out += tok.slice(1, -1);
    else if (tok.startsWith("\\")) out += tok.slice(1);
    else if (/^am\/pm$/i.test(tok)) out += p.h < 12 ? "AM" : "PM";
    else if (lower[0] === "y") out += lower.length <= 2 ? String(p.y % 100).padStart(2, "0") : String(p.y);
    else if (lower[0] === "d") {
      out += [String(p.d), String(p.d).padStart(2, "0"), DAYS[p.weekday].slice(0, 3), DAYS[p.weekday]][Math.min(lower.length, 4) - 1];
    } else if (lower[0] === "h") {
      const h = ampm ? ((p.h + 11) % 12) + 1 : p.h;
      out += lower.length > 1 ? String(h).padStart(2, "0") : String(h);
    } else if (lower[0] === "s") out += lower.length > 1 ? String(p.s).padStart(2, "0") : String(p.s);
    else if (lower[0] === "m") {
      const minutes = (prev && /^h/i.test(prev)) || (next && /^s/i.test(next));
      if (minutes && lower.length <= 2) out += lower.length > 1 ? String(p.mi).padStart(2, "0") : String(p.mi);
      else {
        out += [String(p.mo), String(p.mo).padStart(2, "0"), MONTHS[p.mo - 1].slice(0, 3),
          MONTHS[p.mo - 1], MONTHS[p.mo - 1][0]][Math.min(lower.length, 5) - 1];
      }
    } else out += tok;
  });
  return out;
}

function formatNumber(n, fmt) {
  const sections = fmt.split(";");
  let section = sections[0];
  let value = n;
  if (n < 0 && sections.length > 1) { section = sections[1]; value = -n; }
  if (n === 0 && sections.length > 2) section = sections[2];
  const literal = (s) => s.replace(/"([^"]*)"|\\(.)|_.|\*./g, (m, q, e) => q ?? e ?? "");
  const m = /[#0?][#0?,]*(\.[#0?]*)?/.exec(section.replace(/"[^"]*"/g, (q) => " ".repeat(q.length)));
  if (!m) return literal(section);
  const before = literal(section.slice(0, m.index));
  const after = literal(section.slice(m.index + m[0].length));
  const percent = (before + after).includes("%");
  if (percent) value *= 100;
  const decimals = m[1] ? m[1].length - 1 : 0;
  const grouped = m[0].split(".")[0].includes(",");
  const minInt = (m[0].split(".")[0].match(/0/g) || []).length;
  let text = Math.abs(value).toFixed(decimals);
  let [int, frac] = text.split(".");
  if (int === "0" && minInt === 0) int = "";
  if (grouped) int = int.replace(/\B(?=(\d{3})+(?!\d))/g, ",");
  text = frac !== undefined ? `${int}.${frac}` : int;
  const sign = value < 0 && sections.length === 1 && Number(text.replace(/[^\d]/g, "")) !== 0 ? "-" : "";
  return sign + before + text + after;
}

// Text shown for a value under a format; the width of the column never matters here.
export function displayText(value, fmt) {
  if (value instanceof XlError) return value.code;
  if (value === "" || value === undefined) return "";
  if (typeof value === "boolean") return value ? "TRUE" : "FALSE";
  if (typeof value === "string") {
    const sections = (fmt || "General").split(";");
    return sections.length > 3 ? sections[3].replace(/"([^"]*)"/g, "$1").replace("@", value) : value;
  }
  if (!fmt || /^general$/i.test(fmt) || fmt === "@") return general(value);
  if (isDateFormat(fmt)) return formatDate(value, fmt);
  return formatNumber(value, fmt);
}
