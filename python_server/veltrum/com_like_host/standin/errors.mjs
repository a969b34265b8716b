// Office.js error codes, their English messages and OfficeExtension.Error.

export const ErrorCodes = Object.freeze({
  accessDenied: "AccessDenied", generalException: "GeneralException",
  invalidArgument: "InvalidArgument", invalidObjectPath: "InvalidObjectPath",
  invalidOperation: "InvalidOperation", invalidReference: "InvalidReference",
  invalidOperationInCellEditMode: "InvalidOperationInCellEditMode",
  invalidRequest: "InvalidRequest", invalidRequestContext: "InvalidRequestContext",
  invalidSelection: "InvalidSelection",
  itemAlreadyExists: "ItemAlreadyExists", itemNotFound: "ItemNotFound",
  notImplemented: "NotImplemented", propertyNotLoaded: "PropertyNotLoaded",
  rangeExceedsLimit: "RangeExceedsLimit",
  requestPayloadSizeLimitExceeded: "RequestPayloadSizeLimitExceeded",
  responsePayloadSizeLimitExceeded: "ResponsePayloadSizeLimitExceeded",
});

const MESSAGES = {
  AccessDenied: "You cannot perform the requested operation.",
  GeneralException: "There was an internal error while processing the request.",
  InvalidArgument: "The argument is invalid or missing or has an incorrect format.",
  InvalidOperation: "The operation attempted is invalid on the object.",
  InvalidOperationInCellEditMode: "The operation is not available while Excel is in Edit cell mode. Please exit the edit mode by using ENTER or TAB keys, or by clicking another cell, and try again.",
  InvalidReference: "This reference is not valid for the current operation.",
  InvalidSelection: "The current selection is invalid for this operation.",
  InvalidRequest: "Cannot process the request.",
  InvalidRequestContext: "Cannot use the object across different request contexts.",
  ItemAlreadyExists: "The resource being created already exists.",
  ItemNotFound: "The requested resource doesn't exist.",
  NotImplemented: "The requested feature isn't implemented.",
  RangeExceedsLimit: "The cell count in the range has exceeded the maximum supported number.",
  RequestPayloadSizeLimitExceeded: "The request payload size has exceeded the limit.",
  ResponsePayloadSizeLimitExceeded: "The response payload size has exceeded the limit.",
};

export const config = { extendedErrorLogging: false };

export class OfficeExtensionError extends Error {
  constructor(code, message, debugInfo = {}) {
    super(message || MESSAGES[code] || code);
    this.name = "RichApi.Error";
    this.code = code;
    this.debugInfo = { code, message: this.message, ...debugInfo };
    this.traceMessages = [];
    this.innerError = null;
    this.httpStatusCode = code === ErrorCodes.generalException ? 500 : 400;
  }
}

// Raised by the workbook while applying a command; sync turns it into an OfficeExtensionError.
export function fail(code, message) {
  throw new OfficeExtensionError(code, message);
}
