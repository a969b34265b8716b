// OfficeExtension: errors, client objects, request contexts, deferred execution, load, tracking.
// Everything a proxy does is queued on its context and applied only when context.sync() runs.

import { model } from "./workbook.mjs";
import { ErrorCodes, OfficeExtensionError, config, fail } from "./errors.mjs";

export { ErrorCodes, OfficeExtensionError, config, fail } from "./errors.mjs";

function notLoaded(name) {
  return new OfficeExtensionError(ErrorCodes.propertyNotLoaded,
    `The property '${name}' is not available. Before reading the property's value, call the load ` +
    `method on the containing object and call "context.sync()" on the associated request context.`);
}

function invalidPath(path) {
  return new OfficeExtensionError(ErrorCodes.invalidObjectPath,
    `The object path '${path}' isn't working for what you're trying to do. If you're using the ` +
    `object across multiple "context.sync" calls and outside the sequential execution of a ".run" ` +
    `batch, please use the "context.trackedObjects.add()" and "context.trackedObjects.remove()" ` +
    `methods to manage the object's lifetime.`);
}

// JSON size of a payload; undefined (no data) counts nothing.
function payloadSize(data) {
  if (data === undefined) return 0;
  const text = JSON.stringify(data);
  return text === undefined ? 0 : text.length;
}

// The "host" handles one request at a time, in arrival order, whatever context sent it.
let hostChain = Promise.resolve();

export class ClientResult {
  constructor(context) { this._context = context; this._set = false; this._value = undefined; }
  get value() {
    if (!this._set) throw notLoaded("value");
    return this._value;
  }
  toJSON() { return this._set ? this._value : undefined; }
}

// Tracking is a command like any other: add() keeps the object's path from being dropped after
// the request that uses it, and the host checks that path when the sync carries the command.
// remove() releases the host's handle at the next sync; releasing never fails.
export class TrackedObjects {
  constructor(context) { this._context = context; }
  add(objects) {
    for (const obj of [].concat(objects)) {
      this._context._checkOwn(obj);
      obj._checkUsable();
      obj._tracked = true;
      this._context._enqueue({ kind: "track", obj, location: "TrackedObjects.add", data: undefined,
        apply() {
          obj._resolve();
          if (!obj._held) model.stats.tracked += 1;
          obj._held = true;
        } });
    }
  }
  remove(objects) {
    for (const obj of [].concat(objects)) {
      this._context._checkOwn(obj);
      obj._tracked = false;
      this._context._volatileUsed.add(obj);
      this._context._enqueue({ kind: "untrack", obj: null, location: "TrackedObjects.remove", data: undefined,
        apply() {
          if (obj._held) model.stats.tracked -= 1;
          obj._held = false;
        } });
    }
  }
}

export class ClientRequestContext {
  constructor() {
    this._queue = [];
    this._runDepth = 0;
    this._delayDepth = 0;   // runs in progress that asked for delayForCellEdit
    this._volatileUsed = new Set();
    this.trackedObjects = new TrackedObjects(this);
    this.debugInfo = {};
  }

  load(obj, option) { this._checkOwn(obj); obj.load(option); return obj; }

  trace(message) { this._queue.push({ kind: "trace", message: String(message), location: "" }); }

  _checkOwn(obj) {
    if (obj && obj.context !== this) {
      throw new OfficeExtensionError(ErrorCodes.invalidRequestContext);
    }
  }

  _enqueue(action) { this._queue.push(action); }

  // Every sync is a round trip, empty or not. While a cell is being edited, a batch waits only
  // when a run that asked for delayForCellEdit is in progress on this context; a waiting batch
  // does not hold up the others.
  sync(passThroughValue) {
    const actions = this._queue;
    this._queue = [];
    const delayed = this._delayDepth > 0;
    const send = () => {
      const run = hostChain.then(() => new Promise((resolve, reject) => {
        const go = () => {
          try { this._execute(actions); resolve(passThroughValue); } catch (e) { reject(e); }
        };
        setTimeout(() => (model.cellEditMode && delayed ? model.editEnded.then(go) : go()), 0);
      }));
      hostChain = run.catch(() => {});
      return run;
    };
    return model.cellEditMode && delayed ? model.editEnded.then(send) : send();
  }

  _execute(actions) {
    model.stats.syncs += 1;
    if (actions.length === 0) model.stats.emptySyncs += 1;
    else if (actions.every((a) => a.kind === "track" || a.kind === "untrack")) model.stats.trackingOnlySyncs += 1;
    const limits = model.limits;
    let request = 0;
    for (const a of actions) request += payloadSize(a.data);
    model.stats.lastRequestBytes = request;
    const traces = [];   // the trace messages executed before a failure
    const results = [];
    let response = 0;
    let failure = null;
    let failedAt = -1;
    if (model.cellEditMode) {
      failure = new OfficeExtensionError(ErrorCodes.invalidOperationInCellEditMode);
    } else if (request > limits.payloadBytes) {
      failure = new OfficeExtensionError(ErrorCodes.requestPayloadSizeLimitExceeded);
    } else {
      model.beginRequest();
      for (let i = 0; i < actions.length && !failure; i += 1) {
        const a = actions[i];
        if (a.kind === "trace") { traces.push(a.message); continue; }
        try {
          const out = a.apply();
          if (a.respond) {
            response += payloadSize(out);
            results.push([a, out]);
          }
        } catch (e) {
          failure = e instanceof OfficeExtensionError ? e : new OfficeExtensionError(
            ErrorCodes.generalException, undefined, { innerMessage: String(e && e.message) });
          failedAt = i;
        }
      }
      model.endRequest();
      model.stats.lastResponseBytes = response;
      if (!failure && response > limits.payloadBytes) {
        failure = new OfficeExtensionError(ErrorCodes.responsePayloadSizeLimitExceeded);
      }
    }
    this._afterRequest(actions);
    if (failure) {
      const a = failedAt >= 0 ? actions[failedAt] : null;
      failure.debugInfo.errorLocation = failure._location || (a ? a.location : "");
      failure.debugInfo.statement = a ? a.statement || a.location : "";
      failure.debugInfo.surroundingStatements = actions.map((x) => x.statement || x.location || "");
      if (config.extendedErrorLogging) failure.debugInfo.fullStatements = failure.debugInfo.surroundingStatements;
      failure.traceMessages = traces;
      throw failure;
    }
    for (const [a, out] of results) a.respond(out);
  }

  // After each request: an object path is a description that the next request evaluates again
  // (a worksheet got by name is looked up by name each time), except for tracked objects, which
  // keep meaning what they meant when their tracking reached the host, and objects handed out by
  // a load (collection items), which carry their identity. Objects whose path cannot be
  // replayed die with the request that used them, unless tracked or kept alive by an Excel.run
  // batch still in progress.
  _afterRequest(actions) {
    const used = new Set();
    for (const a of actions) for (let o = a.obj; o; o = o._parent) used.add(o);
    for (const o of used) o._afterUse();
    if (this._runDepth === 0) this._releaseVolatile();
  }

  _releaseVolatile() {
    for (const obj of this._volatileUsed) if (obj._volatile && !obj._tracked) obj._stale = true;
    this._volatileUsed.clear();
  }
}

// Load options in every documented form, as a tree: {all, scalars:Set, navs:{name: tree}, top, skip}.
const emptyTree = () => ({ all: false, scalars: new Set(), navs: {}, top: undefined, skip: undefined });

export function loadTree(option) {
  const tree = emptyTree();
  const addPath = (t, path) => {
    const parts = path.split("/").map((s) => s.trim()).filter(Boolean);
    let node = t;
    for (let i = 0; i < parts.length; i += 1) {
      const p = parts[i];
      if (i === parts.length - 1) node.scalars.add(p);
      else node = node.navs[p] || (node.navs[p] = emptyTree());
    }
  };
  const addList = (t, text) => String(text).split(",").forEach((p) => { if (p.trim()) addPath(t, p); });
  const addTyped = (t, obj) => {
    for (const [k, v] of Object.entries(obj)) {
      if (k === "$all") { if (v) t.all = true; } else if (v && typeof v === "object") {
        addTyped(t.navs[k] || (t.navs[k] = emptyTree()), v);
      } else if (v) t.scalars.add(k);
    }
  };
  if (option === undefined || option === null) tree.all = true;
  else if (typeof option === "string") addList(tree, option);
  else if (Array.isArray(option)) option.forEach((p) => addList(tree, p));
  else if (typeof option === "object") {
    const { select, expand, top, skip, ...rest } = option;
    if (select !== undefined) addList(tree, select);
    if (expand !== undefined) {
      String(expand).split(",").map((s) => s.trim()).filter(Boolean).forEach((p) => {
        addPath(tree, p + "/$all");
      });
    }
    tree.top = top; tree.skip = skip;
    addTyped(tree, rest);
    if (select === undefined && expand === undefined && Object.keys(rest).length === 0) tree.all = true;
  }
  const fixAll = (t) => {
    if (t.scalars.delete("$all")) t.all = true;
    Object.values(t.navs).forEach(fixAll);
  };
  fixAll(tree);
  return tree;
}

export class ClientObject {
  // parent: the object this one was reached from; resolve(parentEntity) finds the workbook entity
  // at sync time; path names the step for errors; volatile: dies after the request that used it.
  constructor(context, parent, resolve, path, { volatile = false, nullable = false, entity } = {}) {
    this._context = context;
    this._parent = parent;
    this._resolver = resolve;
    this._path = path;
    this._volatile = volatile;
    this._nullable = nullable;
    this._stale = false;
    this._tracked = false;    // as the client sees it: set by trackedObjects.add at once
    this._held = false;       // as the host sees it: set when the add reaches it
    this._pinned = entity !== undefined;
    this._bound = this._pinned;
    this._entity = entity;
    this._loaded = new Map();
    this._navCache = new Map();
    this._nullKnown = false;
    this._isNull = false;
  }

  get context() { return this._context; }

  get isNullObject() {
    if (!this._nullKnown) throw notLoaded("isNullObject");
    return this._isNull;
  }

  // Resolved once per request (see _afterRequest); a null-object variant resolves to null
  // instead of failing.
  _resolve() {
    if (this._bound) return this._entity;
    const parent = this._parent ? this._parent._resolve() : model;
    let entity;
    if (parent === null) entity = null;
    else {
      try { entity = this._resolver(parent); } catch (e) {
        if (this._nullable && e instanceof OfficeExtensionError) entity = null;
        else {
          if (e instanceof OfficeExtensionError && !e._location) e._location = this._location;
          throw e;
        }
      }
    }
    this._entity = entity;
    this._bound = true;
    return entity;
  }

  _afterUse() {
    if (this._bound) {
      this._nullKnown = true;
      this._isNull = this._entity === null;
    }
    if (this._volatile) this._context._volatileUsed.add(this);
    if (!this._pinned && !(this._tracked && this._held)) {
      this._bound = false;
      this._entity = undefined;
    }
  }

  _checkUsable() {
    for (let o = this; o; o = o._parent) {
      if (o._stale && !o._tracked) throw invalidPath(o._path);
    }
  }

  _typeName() { return this.constructor._typeName || this.constructor.name; }

  _nav(name, make) {
    let child = this._navCache.get(name);
    if (!child) { child = make(); this._navCache.set(name, child); }
    return child;
  }

  _getLoaded(name) {
    if (!this._loaded.has(name)) throw notLoaded(name);
    return this._loaded.get(name);
  }

  // Queue a command on this object. run(entity) applies it; data is its request payload.
  _queueCommand(location, run, data, respond) {
    this._checkUsable();
    const obj = this;
    this._context._enqueue({
      kind: "command", obj, location, data,
      apply() {
        const entity = obj._resolve();
        if (entity === null) return undefined; // a null object ignores commands
        return run(entity);
      },
      respond,
    });
  }

  _setProperty(name, value) {
    const spec = this.constructor._scalars[name];
    this._queueCommand(`${this._typeName()}.${name}`, (e) => spec.write(e, value, this), value);
  }

  // A method returning a primitive: the value arrives in a ClientResult at the next sync.
  _callForResult(name, run, args) {
    const result = new ClientResult(this._context);
    this._queueCommand(`${this._typeName()}.${name}`, run, args, (out) => {
      result._value = out; result._set = true;
    });
    return result;
  }

  // A method returning a proxy: nothing is sent until the proxy is used, except for the
  // *OrNullObject forms, whose existence check travels with the next sync.
  _child(Type, name, resolve, args, opts = {}) {
    this._checkUsable();
    const child = new Type(this._context, this, resolve, `${name}()`, opts);
    child._location = `${this._typeName()}.${name}`;
    if (opts.nullable) {
      this._context._enqueue({ kind: "probe", obj: child, location: `${this._typeName()}.${name}`,
        data: args, apply() { child._resolve(); } });
    }
    return child;
  }

  load(option) {
    this._checkUsable();
    const tree = loadTree(option);
    const obj = this;
    this._context._enqueue({
      kind: "load", obj, location: `${this._typeName()}.load`, data: undefined,
      apply() {
        const entity = obj._resolve();
        return entity === null ? null : obj._read(entity, tree);
      },
      respond(out) { if (out !== null) obj._applyLoad(out); },
    });
    return this;
  }

  // Read the requested scalars (and navigation subtrees) from the workbook as plain data.
  _read(entity, tree) {
    const scalars = this.constructor._scalars;
    const out = {};
    const names = tree.all ? Object.keys(scalars).filter((n) => !scalars[n].skipInAll) : [];
    for (const n of tree.scalars) {
      if (!(n in scalars) && !(n in this.constructor._navs)) {
        fail(ErrorCodes.invalidArgument, `The property '${n}' does not exist on ${this._typeName()}.`);
      }
      if (n in scalars && !names.includes(n)) names.push(n);
    }
    for (const n of names) out[n] = scalars[n].read(entity, this);
    for (const [n, sub] of Object.entries(tree.navs)) {
      const child = this[n];
      if (!(child instanceof ClientObject)) {
        fail(ErrorCodes.invalidArgument, `The property '${n}' is not a navigation property.`);
      }
      const childEntity = child._resolve();
      out[n] = childEntity === null ? null : child._read(childEntity, sub);
    }
    return out;
  }

  _applyLoad(data) {
    for (const [k, v] of Object.entries(data)) {
      if (k in this.constructor._navs) {
        const child = this[k];
        child._nullKnown = true;
        child._isNull = v === null;
        if (v !== null) child._applyLoad(v);
      } else this._loaded.set(k, v);
    }
  }

  set(properties) {
    for (const [k, v] of Object.entries(properties)) {
      if (k in this.constructor._navs && v && typeof v === "object") this[k].set(v);
      else if (this.constructor._scalars[k] && this.constructor._scalars[k].write) this[k] = v;
      else throw new OfficeExtensionError(ErrorCodes.invalidArgument, `Cannot set the read-only property '${k}'.`);
    }
  }

  toJSON() {
    const out = {};
    for (const [k, v] of this._loaded) out[k] = copyShallow(v);
    for (const [k, child] of this._navCache) {
      const j = child.toJSON();
      if (j && (Array.isArray(j.items) ? child._itemsLoaded : Object.keys(j).length)) out[k] = j;
    }
    return out;
  }

  track() { this._context.trackedObjects.add(this); return this; }
  untrack() { this._context.trackedObjects.remove(this); return this; }
}

function copyShallow(v) {
  return Array.isArray(v) ? v.map((r) => (Array.isArray(r) ? r.slice() : r)) : v;
}

// Define scalar properties on a proxy class: getters throw until loaded, setters queue a command.
export function defineScalars(Type, typeName, scalars, navs = {}) {
  Type._typeName = typeName;
  Type._scalars = {};
  Type._navs = {};
  extendScalars(Type, scalars, navs);
}

// More scalars and navigation properties on a class defined elsewhere (a module of one concern
// adds its members to Worksheet, Workbook or RangeFormat).
export function extendScalars(Type, scalars, navs = {}) {
  Object.assign(Type._scalars, scalars);
  Object.assign(Type._navs, navs);
  for (const [name, spec] of Object.entries(scalars)) {
    const desc = { configurable: true, get() { return this._getLoaded(name); } };
    if (spec.write) desc.set = function set(v) { this._setProperty(name, v); };
    Object.defineProperty(Type.prototype, name, desc);
  }
  for (const [name, make] of Object.entries(navs)) {
    Object.defineProperty(Type.prototype, name, {
      configurable: true,
      get() { return this._nav(name, () => make(this)); },
    });
  }
}

// Collections: `items` is a loaded scalar; loading a member property loads it on every item.
export class ClientCollection extends ClientObject {
  constructor(...args) { super(...args); this._items = undefined; this._itemsLoaded = false; }

  get items() {
    if (!this._itemsLoaded) throw notLoaded("items");
    return this._items;
  }

  // The collection's own scalars (count) load on the collection, the rest on every item;
  // load("items") alone loads every item whole.
  _read(entity, tree) {
    const own = this.constructor._scalars;
    if (tree.scalars.has("items")) {
      const scalars = new Set(tree.scalars);
      scalars.delete("items");
      tree = { ...tree, scalars, all: tree.all || [...scalars].every((n) => n in own) };
    }
    const mine = [...tree.scalars].filter((n) => n in own);
    if (!mine.length) return this._readItems(entity, tree);
    const out = {};
    for (const n of mine) out[n] = own[n].read(entity, this);
    const rest = new Set([...tree.scalars].filter((n) => !(n in own)));
    if (!rest.size && !tree.all && !Object.keys(tree.navs).length) return { own: out };
    const rows = this._readItems(entity, { ...tree, scalars: rest });
    rows.own = out;
    return rows;
  }

  _readItems(entity, tree) {
    const Item = this.constructor._itemType;
    let list = this._list(entity);
    const skip = tree.skip || 0;
    list = list.slice(skip, tree.top === undefined ? undefined : skip + tree.top);
    const itemTree = tree.navs.items || tree;
    const fake = new Item(this._context, null, null, "item", { entity: null });
    const rows = list.map((e) => fake._read(e, itemTree));
    rows.entities = list; // not part of the JSON payload
    return rows;
  }

  _applyLoad(rows) {
    if (rows.own) for (const [k, v] of Object.entries(rows.own)) this._loaded.set(k, v);
    if (!Array.isArray(rows)) return;
    const Item = this.constructor._itemType;
    this._items = rows.map((data, i) => {
      const entity = rows.entities[i];
      const item = new Item(this._context, this, () => entity, "items", { entity });
      item._nullKnown = true;
      item._applyLoad(data);
      return item;
    });
    this._itemsLoaded = true;
  }

  toJSON() { return { items: this._itemsLoaded ? this._items.map((i) => i.toJSON()) : [] }; }
}

// EventHandlers: add/remove are queued like any command and take effect at sync.
export class EventHandlerResult {
  constructor(context, handlers, handler) {
    this._context = context; this._handlers = handlers; this._handler = handler;
  }
  get context() { return this._context; }
  remove() {
    const { _handlers: h, _handler: fn } = this;
    h._owner._queueCommand(`${h._owner._typeName()}.${h._eventName}.remove`,
      (entity) => { model.removeHandler(entity, h._eventName, fn); });
  }
}

export class EventHandlers {
  constructor(owner, eventName) { this._owner = owner; this._eventName = eventName; }
  add(handler) {
    if (typeof handler !== "function") {
      throw new OfficeExtensionError(ErrorCodes.invalidArgument, "The handler must be a function.");
    }
    const owner = this._owner;
    owner._queueCommand(`${owner._typeName()}.${this._eventName}.add`,
      (entity) => { model.addHandler(entity, this._eventName, handler); });
    return new EventHandlerResult(owner.context, this, handler);
  }
  remove(handler) {
    const owner = this._owner;
    owner._queueCommand(`${owner._typeName()}.${this._eventName}.remove`,
      (entity) => { model.removeHandler(entity, this._eventName, handler); });
  }
}
