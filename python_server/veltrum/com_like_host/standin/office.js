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

  // Like the hosted office.js, take history.pushState/replaceState away from the page.
  if (g.history) {
    g.history.pushState = null;
    g.history.replaceState = null;
  }

  // Task panes run in engines that refuse ws:// from an https: page (mixed content), even to
  // loopback; so does this stand-in, unless loaded as office.js?engine=permissive.
  var permissive = /[?&]engine=permissive\b/.test(base);
  if (!permissive && g.location && g.location.protocol === "https:" && typeof g.WebSocket === "function") {
    var NativeWebSocket = g.WebSocket;
    var StrictWebSocket = function WebSocket(url, protocols) {
      if (new URL(url, g.location.href).protocol === "ws:") {
        throw new DOMException("Failed to construct 'WebSocket': An insecure WebSocket connection may " +
          "not be initiated from a page loaded over HTTPS.", "SecurityError");
      }
      return arguments.length > 1 ? new NativeWebSocket(url, protocols) : new NativeWebSocket(url);
    };
    StrictWebSocket.prototype = NativeWebSocket.prototype;
    ["CONNECTING", "OPEN", "CLOSING", "CLOSED"].forEach(function (k) { StrictWebSocket[k] = NativeWebSocket[k]; });
    g.WebSocket = StrictWebSocket;
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
