"""The simulated add-in: answers request messages against an in-memory
workbook.

It is written from the message contract alone; value records and
responses come from ``com_like_host.wire``, and nothing of com_like itself
is imported here.

Every error answer's message starts with an Office.js error code
("ItemNotFound: ...").

Object ids: 0 RequestContext, 1 Excel, 2 GetSetting, 3 Union, 4 Intersect,
5 the transaction object. Every object handed out gets a fresh id (the same
sheet read twice is two ids) and the id lives until a DEL names it, so the
table holds only what the Python side still holds.

Batches (the transaction object's ``start``/``commit``/``rollback``), one
per origin (the sending thread, as the host reports it):

* SET, and calls of methods that only change the workbook (``clear``,
  ``delete``), are checked and queued; ``commit`` applies them in order and
  stops at the first that fails, reporting which one; ``rollback`` drops
  them unapplied.
* A GET or item read inside a batch sees the workbook as of the last
  commit: queued writes are not visible yet.
* With ``block_gets`` true, a GET or item read whose result is data (a
  value, array or dictionary) is refused until the batch is committed;
  reads that lead to objects (``workbook``, ``getRange`` ...) still work,
  since writes need them.

Events: a change of cell values on a sheet with ``onChanged`` handlers
calls ``emit(CallPython(callable_id, [args record], invocation_id,
source))`` with the Office.js event arguments and the event source
("WorksheetChanged:<sheet id>");
the host runs the Python function and reports back through
``callback_finished``. Callable ids the workbook lets go of (a removed
handler, a deleted sheet, a function passed in but not kept) are handed
back with ``emit(ReleaseCallables(ids))``.
"""

from __future__ import annotations

import collections
import itertools
import logging
import threading
from collections.abc import Callable, Mapping
from typing import Any

from com_like_host import wire
from com_like_host.member_names import call_text, path_text
from com_like_host.wire import (  # the ids every add-in starts with
    CONTEXT_ID, EXCEL_ID, FIXED_IDS, GETSETTING_ID, INTERSECT_ID, TRANSACTION_ID, UNION_ID,
)

from . import model
from .events import CallPython, FromAddin, ReleaseCallables
from .members import (GENERAL_EXCEPTION, INVALID_ARGUMENT, INVALID_OPERATION, INVALID_REFERENCE,
                      BadObject, Function, JsError, JsObject, PyCallback, method, prop)
from .ranges import intersect, union
from .sheets import ExcelRoot, RequestContext

log = logging.getLogger(__name__)

# How each object was reached, for errors that name the call that made it.
FIXED_LABELS = {CONTEXT_ID: "Context", EXCEL_ID: "Excel", GETSETTING_ID: "GetSetting",
                UNION_ID: "Union", INTERSECT_ID: "Intersect", TRANSACTION_ID: "Transaction"}


class JsArray(JsObject):
    js_type = "Array"

    def __init__(self, items):
        self.items = items

    @prop
    def length(self):
        return len(self.items)

    def get_item(self, key):
        return _index(self.items, key)


class JsDict(JsObject):
    js_type = "Dict"

    def __init__(self, entries):
        self.entries = entries

    def get_member(self, name):
        if name in self.entries:
            return self.entries[name]
        raise JsError(INVALID_ARGUMENT, "the dictionary has no key %r; its keys: %s"
                      % (name, ", ".join(map(str, self.entries))), missing=True)

    def get_item(self, key):
        return self.get_member(key)


def _index(items, key):
    try:
        if key.count(":") == 2:
            parts = [int(p) if p else None for p in key.split(":")]
            return list(items[slice(*parts)])
        return items[int(key)]
    except ValueError:
        raise JsError(INVALID_ARGUMENT, "bad index %r: use an integer or a slice" % key) from None
    except IndexError:
        raise JsError(INVALID_ARGUMENT, "index %s is out of range for an array of length %d"
                      % (key, len(items))) from None


class Transaction(JsObject):
    js_type = "Transaction"

    def __init__(self, session):
        self.session = session

    @method
    def start(self, context, block_gets=False):
        if not isinstance(context, RequestContext):
            raise JsError(INVALID_ARGUMENT, "start(context, block_gets): the first argument "
                          "must be the request context (Context)")
        self.session._start_batch(bool(block_gets))

    @method
    def commit(self):
        self.session._commit_batch()

    @method
    def rollback(self):
        self.session._rollback_batch()


class _Batch:
    def __init__(self, block_gets):
        self.block_gets = block_gets
        self.queue = []   # (label, thunk)


class SimulatedAddin:
    """One add-in: a workbook plus the session state (object table, batches,
    event handlers) that a reconnect replaces."""

    def __init__(self, workbook: model.Workbook | None = None,
                 emit: Callable[[FromAddin], object] | None = None,
                 settings: Mapping[str, Any] | None = None) -> None:
        self.workbook = workbook if workbook is not None else model.Workbook(settings=settings)
        self.workbook.on_changed = self._changed
        self.emit = emit or (lambda event: None)
        self._lock = threading.RLock()
        self._invocations = itertools.count(1)
        self.callback_reports: collections.deque[Any] = collections.deque(maxlen=1000)
        self.requests_by_method: collections.Counter[str] = collections.Counter()
        self.session = 0
        self.new_session()

    # ------------------------------------------------------------ session

    def new_session(self) -> None:
        """Start over as after a reconnect: the workbook stays, every id
        and handler of the old session is gone."""
        with self._lock:
            self.session += 1
            ctx = RequestContext(self.workbook)
            self._objects = {
                CONTEXT_ID: ctx,
                EXCEL_ID: ExcelRoot(),
                GETSETTING_ID: Function(self._get_setting, "GetSetting"),
                UNION_ID: Function(union, "Union"),
                INTERSECT_ID: Function(intersect, "Intersect"),
                TRANSACTION_ID: Transaction(self),
            }
            # Ids keep counting across sessions: a proxy of the old session
            # still sends its DEL, which must not hit a new object.
            self._next_id = max(6, getattr(self, "_next_id", 6))
            self._batches: dict[Any, _Batch] = {}      # by origin
            self._labels = dict(FIXED_LABELS)
            self._result_label = self._result_obj = None
            self._origin = None
            for sheet in self.workbook.sheets:
                sheet.change_handlers.clear()
            self.workbook.released_callbacks.clear()
            self._pending_invocations: dict[int, str] = {}   # invocation -> callable id

    @property
    def object_count(self) -> int:
        with self._lock:
            return len(self._objects)

    def pending_callbacks(self) -> int:
        with self._lock:
            return len(self._pending_invocations)

    # ------------------------------------------------------------ requests

    def handle(self, message: Any, origin: Any = None) -> dict[str, Any]:
        """Answer one request message. Never raises: every failure becomes
        an "ok" false response with a message for the user."""
        rid = message.get("requestId") if isinstance(message, dict) else None
        with self._lock:
            self._origin = origin
            self._fresh_callbacks: list[PyCallback] = []
            self._result_label = self._result_obj = None
            method: Any = None           # whatever the request names
            try:
                if not isinstance(message, dict):
                    raise JsError(INVALID_ARGUMENT, "a request must be a dict, got %s"
                                  % type(message).__name__)
                method = message.get("method")
                self.requests_by_method[method] += 1
                handler = self._METHODS.get(method)
                if handler is None:
                    raise JsError(INVALID_ARGUMENT, "unknown request method %r (use GET, "
                                  "GETITEM, SET, CALL or DEL)" % (method,))
                result = handler(self, message)
                self._result_obj = result
                response = wire.ok(rid, self._encode(result))
            except JsError as e:
                response = self._error(rid, str(e), method, e.missing)
            except Exception as e:  # a fault of the simulation itself
                log.exception("simulated add-in failed on %r", message)
                response = self._error(rid, "%s: internal error in the simulated add-in: "
                                       "%s: %s" % (GENERAL_EXCEPTION, type(e).__name__, e),
                                       method, False)
            self._release_unkept()
            return response

    @staticmethod
    def _error(rid, text, method=None, missing=False):
        # A failed GET says whether the member is missing (an attribute
        # error for Python) or the read failed for another reason.
        return wire.error(rid, text, missing_member=bool(missing) if method == "GET" else None)

    def _lookup(self, oid):
        try:
            key = int(oid)
        except (TypeError, ValueError):
            raise JsError(INVALID_REFERENCE, "bad object id %r in request" % (oid,)) from None
        obj = self._objects.get(key)
        if obj is None:
            raise JsError(INVALID_REFERENCE, "object id %d is unknown to the add-in: it was "
                          "released or belongs to an earlier session" % key)
        return obj

    def _name(self, message):
        name = message.get("name")
        if not isinstance(name, str):
            raise JsError(INVALID_ARGUMENT, "request without a member name")
        return name

    def _batch(self):
        return self._batches.get(self._origin)

    def _check_read(self, value, what):
        batch = self._batch()
        if batch is not None and batch.block_gets and not _is_object(value):
            raise JsError(INVALID_OPERATION, "reading %s is blocked inside a transaction "
                          "started with block_gets=True; read it after the with block (after "
                          "commit)" % what)
        return value

    def _label(self, oid):
        try:
            return self._labels.get(int(oid))
        except (TypeError, ValueError):
            return None

    def _get(self, message):
        obj = self._lookup(message.get("caller"))
        name = self._name(message)
        value = obj.get_member(name)
        self._result_label = path_text("%s.%s" % (self._label(message.get("caller")) or obj.js_type,
                                                  name))
        return self._check_read(value, "%s.%s" % (obj.js_type, name))

    def _getitem(self, message):
        obj = self._lookup(message.get("caller"))
        key = self._name(message)
        self._result_label = path_text(
            "%s[%s]" % (self._label(message.get("caller")) or obj.js_type, key))
        try:
            value = obj.get_item(key)
        except JsError as e:
            kind = getattr(e, "deferred", None)
            if kind is None:
                raise
            value = BadObject(kind, self._result_label, e)
        return self._check_read(value, "%s[%s]" % (obj.js_type, key))

    def _set(self, message):
        obj = self._lookup(message.get("caller"))
        name = self._name(message)
        if isinstance(obj, (JsArray, JsDict)):
            raise JsError(INVALID_ARGUMENT, "%s members cannot be assigned" % obj.js_type)
        assign = obj.member_setter(name)
        value = self._decode(message.get("value"))
        check = getattr(obj, "check_assignment", None)
        if check is not None:
            check(name, value)
        self._run("%s.%s = ..." % (obj.js_type, name), lambda: assign(value))
        return None

    def _call(self, message):
        fn = self._lookup(message.get("caller"))
        if not isinstance(fn, Function):
            raise JsError(INVALID_REFERENCE, "object %s (%s) is not a function"
                          % (message.get("caller"), fn.js_type))
        args, kwargs = [], {}
        for entry in message.get("args") or []:
            if not isinstance(entry, dict):
                raise JsError(INVALID_ARGUMENT, "malformed argument entry %r" % (entry,))
            value = self._decode(entry.get("value"))
            if entry.get("arg_type") == "NAMED":
                kwargs[entry.get("name")] = value
            else:
                args.append(value)
        if fn.mutating and self._batch() is not None:
            fn.bind(args, kwargs)
            self._run(fn.label + "()", lambda: fn.call(args, kwargs))
            return None
        fn.bind(args, kwargs)
        made_by = call_text(self._label(message.get("caller")) or fn.label, args, kwargs)
        self._result_label = made_by
        try:
            return fn.call(args, kwargs)
        except JsError as e:
            # Office.js reports a bad argument of a get* method where the
            # object it described is first used.
            kind = getattr(fn.fn, "_js_deferred", None)
            if kind is None or e.missing:
                raise
            origin = getattr(e, "origin", None)    # made from a bad object: name the first bad call
            if origin is not None:
                return BadObject(kind, origin.what, origin.error)
            return BadObject(kind, made_by, e)

    def _del(self, message):
        try:
            oid = int(message.get("caller"))
        except (TypeError, ValueError):
            return None
        if oid not in FIXED_IDS:
            self._objects.pop(oid, None)
            self._labels.pop(oid, None)
        return None

    _METHODS = {"GET": _get, "GETITEM": _getitem, "SET": _set, "CALL": _call, "DEL": _del}

    def _run(self, label, thunk):
        batch = self._batch()
        if batch is None:
            thunk()
        else:
            batch.queue.append((label, thunk))

    # ------------------------------------------------------------ batches

    def _start_batch(self, block_gets):
        # A start inside an open batch keeps what is queued (nested with blocks).
        batch = self._batches.get(self._origin)
        if batch is None:
            self._batches[self._origin] = _Batch(block_gets)
        else:
            batch.block_gets = block_gets

    def _commit_batch(self):
        batch = self._batches.pop(self._origin, None)
        if batch is None:
            return
        for n, (label, thunk) in enumerate(batch.queue):
            try:
                thunk()
            except JsError as e:
                raise JsError(e.code, "commit failed at queued operation %d of %d (%s): %s; "
                              "the %d before it were applied, the rest were dropped"
                              % (n + 1, len(batch.queue), label, e.text, n)) from None

    def _rollback_batch(self):
        # The queued writes go unapplied; a later commit finds no batch.
        self._batches.pop(self._origin, None)

    # ------------------------------------------------------------ settings

    def _get_setting(self, name):
        """A workbook setting's value; None when there is no such setting."""
        return self.workbook.settings.get(name) if isinstance(name, str) else None

    # ------------------------------------------------------------ events

    def _changed(self, sheet, args):
        # The event source, as the add-in names it: the kind of event and its sheet.
        source = "%s:%s" % (args["type"], args["worksheetId"])
        for handler in list(sheet.change_handlers):
            inv = next(self._invocations)
            self._pending_invocations[inv] = handler.callable_id
            self.emit(CallPython(handler.callable_id, [self._encode(args)], inv, source))

    def callback_finished(self, invocation_id: int, ok: bool, error: str | None = None) -> None:
        """The host's report on one invocation."""
        with self._lock:
            cid = self._pending_invocations.pop(invocation_id, None)
            self.callback_reports.append({"invocation": invocation_id, "callableId": cid,
                                          "ok": bool(ok), "error": error})

    def _release_unkept(self):
        released = [cb.callable_id for cb in self._fresh_callbacks if not cb.retained]
        released += self.workbook.released_callbacks
        self.workbook.released_callbacks = []
        if released:
            self.emit(ReleaseCallables(tuple(released)))

    # ------------------------------------------------------------ values

    def _decode(self, rec):
        try:
            return wire.decode(rec, lambda _type, oid: self._lookup(oid), self._callback)
        except wire.WireError as e:
            raise JsError(INVALID_ARGUMENT, str(e)) from None

    def _callback(self, callable_id):
        cb = PyCallback(callable_id)
        self._fresh_callbacks.append(cb)
        return cb

    def _register(self, obj):
        oid = self._next_id
        self._next_id += 1
        self._objects[oid] = obj
        return oid

    def _encode(self, value):
        try:
            return wire.encode(value, self._reference, self._container)
        except wire.WireError as e:
            raise JsError(GENERAL_EXCEPTION, str(e)) from None

    def _reference(self, value):
        if isinstance(value, PyCallback):
            return "Python_Function", value.callable_id
        if isinstance(value, JsObject):
            oid = self._register(value)
            if self._result_label is not None and value is self._result_obj:
                self._labels[oid] = self._result_label
                self._result_label = None
            return value.js_type, oid
        return None

    def _container(self, value):
        return self._register(JsDict(dict(value)) if isinstance(value, dict)
                              else JsArray(list(value)))

def _is_object(value):
    return isinstance(value, JsObject) and not isinstance(value, (JsArray, JsDict))
