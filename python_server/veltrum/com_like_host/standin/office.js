// Offline stand-in for the hosted office.js. Loaded as a classic script it defines `Office` at
// once; Office.onReady() resolves when `Excel` and `OfficeExtension` are in place. Under node
// (as a CommonJS file) it does the same, for the node tests.
(function standinOffice(g) {
  "use strict";
  if (g.Office && g.Office._standin) return;
  var base;
  if (typeof document !== "undefined" && document.currentScript && document.currentScript.src) {
    base = document.currentScript.src;
  } else if (typeof __filename !== "undefined") {
    base = require("url").pathToFileURL(__filename).href;
  } else {
    base = g.location ? g.location.href : "";
  }

  var info = null;
  var Office = {
    _standin: true,
    HostType: { Excel: "Excel", Word: "Word", PowerPoint: "PowerPoint", Outlook: "Outlook", OneNote: "OneNote", Project: "Project", Access: "Access" },
    PlatformType: { PC: "PC", OfficeOnline: "OfficeOnline", Mac: "Mac", iOS: "iOS", Android: "Android", Universal: "Universal" },
    AsyncResultStatus: { Succeeded: "succeeded", Failed: "failed" },
    initialize: undefined,
    context: undefined,
    onReady: function onReady(callback) {
      return ready.then(function (result) {
        if (typeof callback === "function") callback(result);
        return result;
      });
    },
  };
  g.Office = Office;

  var ready = import(new URL("namespaces.mjs", base).href).then(function (m) {
    m.install(g);
    info = { host: Office.HostType.Excel, platform: Office.PlatformType.OfficeOnline };
    if (typeof Office.initialize === "function") Office.initialize("taskpane");
    return info;
  });
  ready.catch(function (e) { if (g.console) g.console.error("office.js stand-in failed to load", e); });
})(typeof globalThis !== "undefined" ? globalThis : this);
