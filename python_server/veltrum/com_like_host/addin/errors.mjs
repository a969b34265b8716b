// Error texts sent back to Python. Every text starts with an Office.js error
// code and ": ", so Python code can tell failures apart the way Office.js
// code does (by code, not by the localized message).

/** A failure found by the add-in itself, with an Office.js error code. */
export class AddinError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "AddinError";
    this.code = code;
  }
}

/** A member that does not exist: Python raises it as an attribute error. */
export function missingMember(message) {
  const e = new AddinError("InvalidArgument", message);
  e.missingMember = true;
  return e;
}

/** The Python error text of a failed callable, passed on unchanged. */
export class PythonError extends Error {
  constructor(message) {
    super(message);
    this.name = "PythonError";
  }
}

/** An OfficeExtension.Error, or anything shaped like one. */
export function isOffice(e) {
  const OfficeExtension = globalThis.OfficeExtension;
  if (OfficeExtension && typeof OfficeExtension.Error === "function" && e instanceof OfficeExtension.Error) return true;
  return e !== null && typeof e === "object" && typeof e.code === "string" && !(e instanceof AddinError)
    && (e.name === "OfficeExtension.Error" || e.name === "RichApi.Error");
}

export function code(e) {
  return e !== null && typeof e === "object" && typeof e.code === "string" ? e.code : undefined;
}

/** The message for an error response; e.madeBy (the call that made the
 * object the failed request used) follows the code. */
export function text(e) {
  if (e instanceof PythonError || (e instanceof Error && e.preformatted === true)) return e.message;
  const made = e !== null && typeof e === "object" && typeof e.madeBy === "string" ? `${e.madeBy}: ` : "";
  if (e instanceof AddinError) return `${e.code}: ${made}${e.message}`;
  if (isOffice(e)) {
    const message = String(e.message || "").trim();
    let text = message.startsWith(e.code) ? message : `${e.code}: ${message}`;
    if (made) text = `${e.code}: ${made}${text.slice(e.code.length).replace(/^:\s*/, "")}`;
    const where = e.debugInfo && e.debugInfo.errorLocation;
    if (where && !text.includes(`(${where})`)) text += ` (${where})`;
    return text;
  }
  if (e instanceof Error) {
    return `GeneralException: ${e.name}: ${e.message}`;
  }
  return `GeneralException: ${String(e)}`;
}
