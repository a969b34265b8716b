// The Messaging class: send handler, waiting requests and context reset (the
// registry of Python callables is in callable_registry.cpp).
#include "messaging/messaging.h"

#include "functions/function_params.h"
#include "messaging/futures.h"
#include "messaging/callable_registry.h"
#include "base/fixed_roots.h"
#include "base/subsystems.h"

namespace com_like {
namespace {

constexpr const char kClassDoc[] =
    "\n    Handles messaging for the Python-Excel bridge.\n\n    This class does NOT start a WebSocket server. Instead, it uses a\n"
    "    send handler callback pattern that allows the kernel to forward\n    messages through the Business Layer.\n"
    "    \n    Threading Model:\n    ----------------\n"
    "    This class is designed to be thread-safe for use in multi-threaded environments:\n"
    "    - waiters dict: Protected by _waiters_lock (threading.Lock)\n"
    "    - callable_registry: Protected by _callable_lock (threading.Lock)\n"
    "    - send_request_sync(): Can be called from worker threads, blocks using concurrent.futures.Future\n"
    "    - on_message(): Can be called from listener thread to resolve pending futures\n    ";

// How long a release sent at interpreter exit waits (send_request_sync's own
// default is in its parameter table below).
constexpr double kNoWaitAtExit = 0.0;

constexpr const char kNoSendHandler[] = "No send handler registered";

// ------------------------------------------------------------------ helpers

// The exception of this thread's last answered failure, by identity only (it
// is never dereferenced): set just before send_request_sync raises it, so the
// proxy operation that called it can tell an error answer from the others.
thread_local PyObject* t_answered_failure = nullptr;

// Makes `context` the __context__ of the error in flight.
void chain_context(Ref context) {
    Caught current = Caught::fetch();
    current.normalize();
    if (current.value() && context && current.value() != context.get()) {
        PyException_SetContext(current.value(), context.release());
    }
    current.restore();
}

// One try at removing req_id from self.waiters under self._waiters_lock.
// True when the lock was taken: whatever failed after that is dropped, so
// that the caller's error stays the one reported. False when the wait for the
// lock failed, with that error set.
bool try_drop_waiter(PyObject* self, PyObject* req_id) {
    Ref popped;  // released after the lock, see TakenEntries
    bool locked = false;
    const int rc = with_lock(self, N._waiters_lock, [&] {
        locked = true;
        Ref waiters = getattr(self, N.waiters);
        if (!waiters || !(popped = mapping_pop(waiters.get(), req_id))) PyErr_Clear();
        return 0;
    });
    if (rc < 0 && !locked) return false;
    PyErr_Clear();  // a failed release
    return true;
}

// Removes req_id from self.waiters under self._waiters_lock. Returns 0 with
// any error in flight kept as it was, or -1 when the wait for the lock was
// interrupted by an error outside the Exception family (the KeyboardInterrupt
// of a signal handler): that error is then set, with the one in flight as its
// context. The lock is only ever held for a few dict operations, so after an
// interruption it is waited for once more and the waiter still removed.
int drop_waiter(PyObject* self, PyObject* req_id) {
    Caught in_flight = Caught::fetch();
    if (try_drop_waiter(self, req_id) || PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        in_flight.restore();
        return 0;
    }
    Caught interruption = Caught::fetch();
    if (!try_drop_waiter(self, req_id)) PyErr_Clear();
    in_flight.normalize();  // with no error set
    interruption.restore();
    if (Ref context = in_flight.take_value()) chain_context(std::move(context));
    return -1;
}

Ref new_guid() {
    Ref uuid_mod = get_global(N.mod_uuid);
    if (!uuid_mod) return uuid_mod;
    Ref u = call_method(uuid_mod.get(), N.uuid4);
    if (!u) return u;
    return getattr(u.get(), N.hex);
}

// ------------------------------------------------------------------ methods

New messaging_init(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref waiters = Ref::steal(PyDict_New());
    if (!waiters || PyObject_SetAttr(self, N.waiters, waiters.get()) < 0) return nullptr;
    Ref threading = get_global(N.mod_threading);
    if (!threading) return nullptr;
    Ref lock_factory = getattr(threading.get(), N.Lock);
    if (!lock_factory) return nullptr;
    Ref lock1 = call0(lock_factory.get());
    if (!lock1 || PyObject_SetAttr(self, N._waiters_lock, lock1.get()) < 0) return nullptr;
    Ref guid = new_guid();
    if (!guid || PyObject_SetAttr(self, N._guid, guid.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, N._send_handler, Py_None) < 0 || PyObject_SetAttr(self, N.loop, Py_None) < 0 ||
        PyObject_SetAttr(self, N.loop_thread, Py_None) < 0)
        return nullptr;
    Ref registry = Ref::steal(PyDict_New());
    if (!registry || PyObject_SetAttr(self, N._callable_registry, registry.get()) < 0) return nullptr;
    // threading.Lock is looked up again, as a second statement would.
    threading = get_global(N.mod_threading);
    if (!threading) return nullptr;
    lock_factory = getattr(threading.get(), N.Lock);
    if (!lock_factory) return nullptr;
    Ref lock2 = call0(lock_factory.get());
    if (!lock2 || PyObject_SetAttr(self, N._callable_lock, lock2.get()) < 0) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one || PyObject_SetAttr(self, N._next_callable_id, one.get()) < 0) return nullptr;
    return none();
}

New messaging_set_send_handler(const FuncSpec&, Bound& a) {
    if (PyObject_SetAttr(a.v[0], N._send_handler, a.v[1]) < 0) return nullptr;
    return none();
}

// ------------------------------------------------------------------ send_request_sync, step by step

// RuntimeError unless a truthy send handler is registered; 0 or -1.
int require_handler(PyObject* self) {
    Ref handler = getattr(self, N._send_handler);
    if (!handler) return -1;
    int truth = PyObject_IsTrue(handler.get());
    if (truth <= 0) {
        if (truth == 0) PyErr_SetString(PyExc_RuntimeError, kNoSendHandler);
        return -1;
    }
    return 0;
}

// A copy of `req` stamped with a new request id (stored in `req_id`) and the kind.
Ref stamp_request(PyObject* req, Ref& req_id) {
    req_id = new_guid();
    if (!req_id) return Ref();
    Ref message = Ref::steal(PyDict_Copy(req));
    if (!message || PyDict_SetItem(message.get(), N.requestId, req_id.get()) < 0 ||
        PyDict_SetItem(message.get(), N.kind, N.request) < 0)
        return Ref();
    return message;
}

// Parks the waiter: a new Future, stored under req_id in self.waiters.
Ref park_waiter(PyObject* self, PyObject* req_id) {
    Ref future_cls = concurrent_futures_attr(N.Future);
    if (!future_cls) return future_cls;
    Ref fut = call0(future_cls.get());
    if (!fut) return fut;
    int rc = with_lock(self, N._waiters_lock, [&] {
        Ref waiters = getattr(self, N.waiters);
        return waiters ? mapping_set(waiters.get(), req_id, fut.get()) : -1;
    });
    if (rc < 0) return Ref();
    return fut;
}

// Hands the message to the send handler and waits for the answer. `answered`
// becomes true when the future failed (an error answer, a time-out, a
// cancellation), as opposed to the handler.
Ref wait_for_answer(PyObject* self, PyObject* message, PyObject* fut, PyObject* timeout, bool& answered) {
    Ref handler = getattr(self, N._send_handler);
    if (!handler) return handler;
    Ref ignored = call1(handler.get(), message);
    if (!ignored) return ignored;
    Ref response = future_result(fut, timeout);
    answered = !response;
    return response;
}

// The futures time-out `cause` becomes TimeoutError, with the cause as its
// context, as raising it while handling the first would.
void raise_timeout(PyObject* self, PyObject* req_id, Ref cause) {
    if (drop_waiter(self, req_id) < 0) {
        chain_context(std::move(cause));
        return;
    }
    Ref exc = call1(PyExc_TimeoutError, N.Timed_out_waiting);
    if (!exc) return;
    PyException_SetContext(exc.get(), cause.release());
    PyErr_Restore(Ref::borrow(PyExc_TimeoutError).release(), exc.release(), nullptr);
}

// Fails the request: with its failure set, drops its waiter and raises what
// the caller sees, recording an error answer for the proxy operations.
// Returns nullptr.
std::nullptr_t fail_request(PyObject* self, PyObject* req_id, bool answered) {
    Caught failure = Caught::fetch();
    failure.normalize();
    Ref futures_timeout = concurrent_futures_attr(N.TimeoutError);
    if (!futures_timeout) {
        // Cannot classify: drop the waiter and report the look-up failure.
        drop_waiter(self, req_id);
        return nullptr;
    }
    // Since 3.11 the futures time-out is the built-in TimeoutError itself. A
    // handler's own subclass of it, which 3.10 passes on unchanged, passes on
    // unchanged here too: the host's time-outs say how far a transfer got.
    const bool handler_subclass = !answered && futures_timeout.get() == PyExc_TimeoutError &&
                                  failure.type() != PyExc_TimeoutError;
    if (!handler_subclass && failure.matches(futures_timeout.get())) {
        raise_timeout(self, req_id, failure.take_value());
        return nullptr;
    }
    if (failure.matches(PyExc_Exception) && drop_waiter(self, req_id) < 0) {
        chain_context(failure.take_value());
        return nullptr;
    }
    // Only on_message fails a future with a RuntimeError: the add-in's answer.
    // Set last, after any Python code this call ran (a release sent from a
    // finaliser on the way may have recorded a failure of its own).
    const bool from_answer = answered && failure.matches(PyExc_RuntimeError);
    t_answered_failure = from_answer ? failure.value() : nullptr;
    failure.restore();
    return nullptr;
}

New messaging_send_request_sync(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    t_answered_failure = nullptr;
    if (require_handler(self) < 0) return nullptr;
    Ref req_id;
    Ref message = stamp_request(a.v[1], req_id);
    if (!message) return nullptr;
    Ref fut = park_waiter(self, req_id.get());
    if (!fut) return nullptr;
    bool answered = false;
    Ref response = wait_for_answer(self, message.get(), fut.get(), a.v[2] /* a float after binding */, answered);
    if (response) return response.transfer();
    return fail_request(self, req_id.get(), answered);
}

// ------------------------------------------------------------------ on_message, step by step

// The message of a failed response, or nullptr with an error set.
Ref failure_text(PyObject* message) {
    Ref err = dict_get(message, N.error);
    if (!err) return err;
    if (err.get() == Py_None && !PyDict_Contains(message, N.error)) {
        return Ref::borrow(N.Remote_error);
    }
    if (PyDict_CheckExact(err.get())) {
        PyObject* m = PyDict_GetItemWithError(err.get(), N.message);
        if (m) return Ref::borrow(m);
        return PyErr_Occurred() ? Ref() : Ref::borrow(N.Remote_error);
    }
    Ref get = getattr(err.get(), N.get);
    if (!get) {
        // An error value without get(): the add-in did answer, so fail the
        // waiting call now rather than letting it run into the time-out.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        if (PyUnicode_CheckExact(err.get())) return err;
        // A str subclass gives its text as a plain str.
        if (PyUnicode_Check(err.get())) return Ref::steal(PyUnicode_FromObject(err.get()));
        return Ref::borrow(N.Remote_error);
    }
    return call2(get.get(), N.message, N.Remote_error);
}

// The id as stored in self.waiters (an exact dict) that equals `rid`, None
// when there is none, or `rid` itself for any other table. A request id that
// is not an exact str runs its own __hash__ and __eq__ in a look-up, so that
// look-up is done here, on a snapshot of the ids, with no lock held. An id
// missing from the snapshot cannot be added meanwhile: it is only made known
// to the add-in after it is stored.
Ref stored_request_id(PyObject* self, PyObject* rid) {
    Ref waiters = getattr(self, N.waiters);
    if (!waiters) return waiters;
    if (!PyDict_CheckExact(waiters.get())) return Ref::borrow(rid);
    const Py_hash_t hash = PyObject_Hash(rid);
    if (hash == -1) return Ref();
    Ref ids = Ref::steal(PyDict_Keys(waiters.get()));
    if (!ids) return ids;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        PyObject* id = PyList_GET_ITEM(ids.get(), i);
        const Py_hash_t h = PyObject_Hash(id);
        if (h == -1) return Ref();
        if (h != hash) continue;
        int eq = id == rid ? 1 : PyObject_RichCompareBool(id, rid, Py_EQ);
        if (eq < 0) return Ref();
        if (eq) return Ref::borrow(id);
    }
    return Ref::borrow(Py_None);
}

// The request id of `message` as self.waiters holds it, or None when there is
// nothing to answer (no id, or an id no waiter has).
Ref answered_request_id(PyObject* self, PyObject* message) {
    Ref rid = dict_get(message, N.requestId);
    if (!rid) return rid;
    int truth = PyObject_IsTrue(rid.get());
    if (truth < 0) return Ref();
    if (!truth) return Ref::borrow(Py_None);
    if (PyUnicode_CheckExact(rid.get())) return rid;
    return stored_request_id(self, rid.get());
}

// Takes the waiter: the future stored under `rid`, out of self.waiters (None
// when there is none).
Ref take_waiter(PyObject* self, PyObject* rid) {
    Ref fut;  // released after the lock, see TakenEntries
    int rc = with_lock(self, N._waiters_lock, [&] {
        Ref waiters = getattr(self, N.waiters);
        if (!waiters) return -1;
        fut = mapping_pop(waiters.get(), rid);
        return fut ? 0 : -1;
    });
    if (rc < 0) return Ref();
    return fut;
}

// An error answer whose "error" dict has "missingMember": false says that
// the failed read was not of a missing member (a bad argument of the call
// that made the object, say): the exception carries the mark for the proxy
// operations. 0, or -1 with an error set.
int mark_not_missing(PyObject* exc, PyObject* message) {
    PyObject* err = PyDict_CheckExact(message) ? PyDict_GetItemWithError(message, N.error) : nullptr;
    if (!err || !PyDict_CheckExact(err)) return PyErr_Occurred() ? -1 : 0;
    PyObject* flag = PyDict_GetItemWithError(err, N.missingMember);
    if (flag != Py_False) return PyErr_Occurred() ? -1 : 0;
    return PyObject_SetAttr(exc, N._missingMember, Py_False);
}

// Fails the future with the add-in's message. When that cannot be read the
// waiting call still fails, so that it does not sit out its time-out, with an
// exception of its own, since this one is raised here, on another thread.
// `readable` is false when an error is already set.
int fail_future(PyObject* fut, PyObject* message, bool readable) {
    Ref text = readable ? failure_text(message) : Ref();
    Ref exc = text ? call1(PyExc_RuntimeError, text.get()) : Ref();
    if (exc && mark_not_missing(exc.get(), message) < 0) exc = Ref();
    if (!exc) {
        ErrorStash keep;
        Ref own = call1(PyExc_RuntimeError, N.Remote_error);
        Ref ignored = own ? call_method(fut, N.set_exception, own.get()) : Ref();
        if (!ignored) PyErr_Clear();
        return -1;
    }
    return call_method(fut, N.set_exception, exc.get()) ? 0 : -1;
}

// Settles a pending future with the answer `message`.
int settle_future(PyObject* fut, PyObject* message) {
    Ref ok = dict_get(message, N.ok);
    if (!ok) return -1;
    int truth = PyObject_IsTrue(ok.get());
    if (truth > 0) return call_method(fut, N.set_result, message) ? 0 : -1;
    return fail_future(fut, message, truth == 0);
}

New messaging_on_message(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* message = a.v[1];
    Ref rid = answered_request_id(self, message);
    if (!rid) return nullptr;
    if (rid.get() == Py_None) return none();
    Ref fut = take_waiter(self, rid.get());
    if (!fut) return nullptr;
    if (fut.get() == Py_None) return none();
    int done = future_done(fut.get());
    if (done < 0) return nullptr;
    if (!done && settle_future(fut.get(), message) < 0) return nullptr;
    return none();
}

// ------------------------------------------------------------------ reset, step by step

// Takes every future out of self.waiters into `taken` (an exact dict) or
// `listed` (any other table, through its own values() and clear()).
int take_waiters(PyObject* self, TakenEntries& taken, Ref& listed) {
    bool out_of_memory = false;
    int rc = with_lock(self, N._waiters_lock, [&] {
        Ref waiters = getattr(self, N.waiters);
        if (!waiters) return -1;
        if (PyDict_CheckExact(waiters.get())) {
            out_of_memory = taken.take_all(waiters.get()) < 0;
            return 0;
        }
        Ref vals = call_method(waiters.get(), N.values);
        if (!vals) return -1;
        listed = Ref::steal(PySequence_List(vals.get()));
        return listed && call_method(waiters.get(), N.clear) ? 0 : -1;
    });
    // The error is made once the lock is released: making it may collect.
    if (rc == 0 && out_of_memory) PyErr_NoMemory();
    return rc < 0 || out_of_memory ? -1 : 0;
}

// fut.cancel() unless it is done; -1 with an error set.
int cancel_pending(PyObject* fut) {
    int done = future_done(fut);
    if (done < 0) return -1;
    return done || call_method(fut, N.cancel) ? 0 : -1;
}

// Cancels the waiters. The futures are cancelled after the lock is released:
// cancel() runs their done-callbacks, and any Python code may set off a
// collection that releases a proxy, whose release sends a request. Every
// future is cancelled even after one fails, as none of them is in the table
// any more; the first failure is reported.
int cancel_waiters(PyObject* self) {
    TakenEntries taken;
    Ref listed;
    if (take_waiters(self, taken, listed) < 0) return -1;
    const Py_ssize_t n = listed ? PyList_GET_SIZE(listed.get()) : taken.size();
    bool failed = false;
    Caught first;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* f = listed ? PyList_GET_ITEM(listed.get(), i) : taken.value(i).get();
        if (cancel_pending(f) < 0) {
            if (!failed) first = Caught::fetch();
            PyErr_Clear();
            failed = true;
        }
    }
    if (!failed) return 0;
    first.restore();
    return -1;
}

// Clears the registry of callables and rewinds its counter.
int clear_registry(PyObject* self) {
    TakenEntries dropped;  // released after the lock, see TakenEntries
    bool out_of_memory = false;
    int rc = with_lock(self, N._callable_lock, [&] {
        Ref registry = getattr(self, N._callable_registry);
        if (!registry) return -1;
        if (PyDict_CheckExact(registry.get())) {
            out_of_memory = dropped.take_all(registry.get()) < 0;
            if (out_of_memory) return 0;
        } else if (!call_method(registry.get(), N.clear)) {
            return -1;
        }
        Ref one = Ref::steal(PyLong_FromLong(1));
        return one ? PyObject_SetAttr(self, N._next_callable_id, one.get()) : -1;
    });
    if (rc == 0 && out_of_memory) PyErr_NoMemory();
    return rc < 0 || out_of_memory ? -1 : 0;
}

// Re-stamps the fixed roots; they exist in the add-in from its start, so a
// reconnect must leave every one of them usable.
int restamp_roots(PyObject* self) {
    for (const FixedRoot& r : kFixedRoots) {
        Ref root = get_global(N.*r.global);
        Ref current = root ? getattr(self, N._guid) : Ref();
        if (!current || PyObject_SetAttr(root.get(), N._msg_guid, current.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            PyErr_Clear();
        }
    }
    return 0;
}

New messaging_reset(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    if (cancel_waiters(self) < 0) return nullptr;
    Ref guid = new_guid();
    if (!guid || PyObject_SetAttr(self, N._guid, guid.get()) < 0) return nullptr;
    if (clear_registry(self) < 0 || restamp_roots(self) < 0) return nullptr;
    return none();
}

// ------------------------------------------------------------------ specs

constexpr Param kSetHandler[] = {{"self"}, {"handler"}};
constexpr Param kOnMessage[] = {{"self"}, {"message", Check::Dict, kRequired, "Dict[str, Any]"}};
constexpr Param kSend[] = {{"self"},
                           {"req", Check::Dict, kRequired, "Dict[str, Any]"},
                           {"timeout", Check::Double, defaults_to(30.0), "float"}};

constexpr FuncSpec messaging_init_spec{Fn::messaging_init, "__init__", "Messaging", "", messaging_init, kSelfParams};
constexpr FuncSpec messaging_set_send_handler_spec{Fn::messaging_set_send_handler, "set_send_handler", "Messaging",
    "Register a callback used to send messages to the add-in.\n\n"
    "The handler should be a callable that takes a dict (the message payload)\n"
    "and sends it appropriately (e.g., via WebSocket through the Business Layer).",
    messaging_set_send_handler, kSetHandler};
constexpr FuncSpec messaging_on_message_spec{Fn::messaging_on_message, "on_message", "Messaging",
    "Handle an incoming response message from the add-in.\n\n"
    "This method is called by the kernel when it receives an excel_response\n"
    "message. It resolves the pending future for the corresponding request.\n\n"
    "Threading Note: This method is typically called from the listener thread.\n"
    "The _waiters_lock ensures thread-safe access to the waiters dict.",
    messaging_on_message, kOnMessage};
constexpr FuncSpec messaging_send_request_sync_spec{Fn::messaging_send_request_sync, "send_request_sync", "Messaging",
    "Send a request and wait synchronously for the response.\n\n"
    "This creates a thread-safe Future, calls the send handler, and blocks\n"
    "until the response is received (or timeout).\n\n"
    "Threading Note: This method can be called from worker threads. It blocks\n"
    "the calling thread using concurrent.futures.Future.result(), but releases\n"
    "the GIL so the listener thread can continue processing messages.",
    messaging_send_request_sync, kSend};
constexpr FuncSpec messaging_reset_spec{Fn::messaging_reset, "reset", "Messaging",
    "Reset the messaging state (e.g., when the connection is closed).\n\n"
    "Cancels all pending futures and generates a new GUID.\n\n"
    "Threading Note: This method should be called from the listener thread\n"
    "during disconnect/reconnect. The locks ensure thread-safe cleanup.",
    messaging_reset, kSelfParams};

}  // namespace

Ref messaging_send(PyObject* msg, PyObject* body, bool at_exit) {
    PyObject* argv[3] = {msg, body, nullptr};
    if (at_exit) {
        // Only an answer given inside the handler can come: the handler still
        // hears of the request, but nobody sits out the time-out for it.
        Ref zero = Ref::steal(PyFloat_FromDouble(kNoWaitAtExit));
        if (!zero) return zero;
        argv[2] = zero.get();
        return Ref::steal(PyObject_VectorcallMethod(N.send_request_sync, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return Ref::steal(PyObject_VectorcallMethod(N.send_request_sync, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool messaging_take_answered_failure(PyObject* exc) {
    bool answered = exc && exc == t_answered_failure;
    t_answered_failure = nullptr;
    return answered;
}

int body_messaging_class(PyObject* ns) {
    const Member members[] = {
        {&messaging_init_spec},
        {&messaging_set_send_handler_spec},
        {&messaging_on_message_spec},
        {&messaging_send_request_sync_spec},
        {&messaging_reset_spec},
        {&messaging_register_callable_spec},
        {&messaging_get_callable_spec},
        {&messaging_unregister_callable_spec},
    };
    // The class is named as the module global it is bound to.
    const char* name = PyUnicode_AsUTF8(N.mod_Messaging);
    Ref cls = name ? Ref::steal(build_class(name, reinterpret_cast<PyObject*>(&PyBaseObject_Type), kClassDoc, members))
                   : Ref();
    if (!cls) return -1;
    return PyDict_SetItem(ns, N.mod_Messaging, cls.get());
}

int body_messaging_instance(PyObject* ns) {
    Ref cls = get_global(N.mod_Messaging);
    if (!cls) return -1;
    Ref inst = call0(cls.get());
    if (!inst) return -1;
    return PyDict_SetItem(ns, N.mod_messaging, inst.get());
}

}  // namespace com_like
