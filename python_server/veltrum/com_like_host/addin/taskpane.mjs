// The task pane: connects to the host that served this page (URL and token
// from the page's own URL), hands each request to the executor and sends
// back its response, carries calls of Python callables both ways, and
// reconnects with back-off when the connection drops.

import { createExecutor } from "./executor.mjs";
import * as frames from "./frames.mjs";

const BACKOFF_FIRST_MS = 250;
const BACKOFF_MAX_MS = 10000;
// The host closes a connection with this code when a newer one replaces it:
// that pane stays down, or two open panes would take turns forever.
const CLOSE_REPLACED = 4000;

const state = { socket: null, served: 0, backoff: BACKOFF_FIRST_MS, info: null, sessions: 0 };
const pendingCalls = new Map(); // callId -> {resolve, reject}
let nextCallId = 1;
let releasedCallables = [];

function show(id, text, data) {
  const el = document.getElementById(id);
  if (!el) return;
  el.textContent = String(text);
  if (data !== undefined) el.dataset.state = data;
}

function showError(text) {
  show("error", `${new Date().toLocaleTimeString()}: ${text}`);
}

// The token comes in the page URL's fragment (never sent to a server, so
// a proxy in front of the host neither logs it nor takes it for its own
// ?token=) or in its query, as the manifest gives it.
function paneToken() {
  return new URLSearchParams(location.hash.slice(1)).get("token")
    || new URLSearchParams(location.search).get("token") || "";
}

// Relative to the page: right also behind a proxy under a path prefix.
function socketUrl() {
  const url = new URL("ws", location.href);
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  url.search = `?token=${encodeURIComponent(paneToken())}`;
  url.hash = "";
  return url.href;
}

function send(text) {
  const ws = state.socket;
  if (ws === null || ws.readyState !== WebSocket.OPEN) return false;
  ws.send(text);
  return true;
}

// Called by the executor when Excel calls a Python function.
function invokeCallable(callableId, args, source) {
  return new Promise((resolve, reject) => {
    const callId = nextCallId++;
    pendingCalls.set(callId, { resolve, reject });
    if (!send(frames.encodeCallback(callId, callableId, args, source))) {
      pendingCalls.delete(callId);
      reject(new Error("not connected to the Python host"));
    }
  });
}

// Releases are gathered for one turn of the event loop and sent together.
function releaseCallable(callableId) {
  releasedCallables.push(callableId);
  if (releasedCallables.length === 1) {
    setTimeout(() => {
      const ids = releasedCallables;
      releasedCallables = [];
      send(frames.encodeReleaseCallables(ids));
    }, 0);
  }
}

function failPendingCalls(reason) {
  for (const { reject } of pendingCalls.values()) reject(new Error(reason));
  pendingCalls.clear();
}

// A response too large for the host's frames is answered as a failure.
function responseFrames(response) {
  try {
    return frames.encodeResponseFrames(response);
  } catch (e) {
    if (!(e instanceof frames.FrameError)) throw e;
    showError(e.message);
    return frames.encodeResponseFrames({
      requestId: response.requestId, ok: false,
      error: { message: `the answer cannot be sent: ${e.message}; read a smaller range` },
    });
  }
}

function onFrame(executor, text) {
  let frame;
  try {
    frame = frames.decode(text);
  } catch (e) {
    showError(`bad frame from the host: ${e.message}`);
    return;
  }
  if (frame.kind === "request") {
    if (frame.release.length) executor.release(frame.release);
    executor.execute(frame.request).then((response) => {
      state.served++;
      show("served", state.served);
      if (response && response.ok === false && response.error) showError(response.error.message);
      for (const text of responseFrames(response)) send(text);
    });
  } else if (frame.kind === "release") {
    executor.release(frame.ids);
  } else if (frame.kind === "cancel") {
    executor.cancel(frame.requestId);
  } else if (frame.kind === "echo") {
    // The host measures the bare socket with these: parse and send back.
    for (const text of frames.encodeEchoFrames(frame)) send(text);
  } else if (frame.kind === "callback_result") {
    const call = pendingCalls.get(frame.callId);
    if (call === undefined) return;
    pendingCalls.delete(frame.callId);
    if (frame.ok) call.resolve(frame.result);
    else call.reject(new Error((frame.error && frame.error.message) || "Python error"));
  }
}

function connect(executor) {
  show("state", "connecting", "connecting");
  let ws;
  try {
    ws = new WebSocket(socketUrl());
  } catch (e) {
    showError(e.message);
    scheduleReconnect(executor);
    return;
  }
  state.socket = ws;
  ws.onopen = () => {
    state.backoff = BACKOFF_FIRST_MS;
    // The host resets messaging with every new connection: nothing the
    // old Python session held may stay alive here.
    if (state.sessions++ > 0) executor.reset();
    ws.send(frames.encodeHello({
      host: state.info && state.info.host, platform: state.info && state.info.platform,
      page: location.pathname,
    }));
    show("state", "connected", "connected");
    show("host", location.host);
  };
  ws.onmessage = (ev) => onFrame(executor, ev.data);
  ws.onerror = () => showError("connection error");
  ws.onclose = (ev) => {
    if (state.socket === ws) state.socket = null;
    failPendingCalls("the connection to the Python host closed");
    // Nobody waits for their answers: long transfers stop between blocks.
    executor.cancelAll();
    if (ev.code === CLOSE_REPLACED) {
      show("state", "replaced by another pane (reload this one to take over)", "disconnected");
      return;
    }
    show("state", `disconnected (${ev.code}${ev.reason ? " " + ev.reason : ""})`, "disconnected");
    scheduleReconnect(executor);
  };
}

function scheduleReconnect(executor) {
  const delay = state.backoff * (0.75 + Math.random() * 0.5);
  state.backoff = Math.min(state.backoff * 2, BACKOFF_MAX_MS);
  setTimeout(() => connect(executor), delay);
}

async function main() {
  frames.setPacking(new URLSearchParams(location.search).get("compact") !== "0");
  try {
    state.info = await Office.onReady();
    const executor = createExecutor({
      invokeCallable, releaseCallable,
      onProgress: (requestId, counts) => send(frames.encodeProgress(requestId, counts)),
    });
    connect(executor);
  } catch (e) {
    show("state", "failed", "failed");
    showError(e && e.message ? e.message : String(e));
  }
}

main();
