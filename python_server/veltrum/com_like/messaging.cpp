// The Messaging class: send handler, waiting requests, context reset and the
// registry of Python callables.
#include "messaging.h"

#include "function.h"
#include "proxies.h"
#include "subsystems.h"

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

// How long send_request_sync waits for an answer unless told otherwise, and
// how long a release sent at interpreter exit waits.
constexpr double kDefaultTimeout = 30.0;
constexpr double kNoWaitAtExit = 0.0;

// ------------------------------------------------------------------ helpers

// The exception of this thread's last answered failure, by identity only (it
// is never dereferenced): set just before send_request_sync raises it, so the
// proxy operation that called it can tell an error answer from the others.
thread_local PyObject* t_answered_failure = nullptr;

// self.<attr>[key] = value, with the exact-dict case done directly.
int mapping_set(PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
    return PyObject_SetItem(mapping, key, value);
}

// mapping.pop(key, None) as a new reference (None when absent).
Ref mapping_pop(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v) {
            if (PyErr_Occurred()) return Ref();
            return Ref::borrow(Py_None);
        }
        Ref keep = Ref::borrow(v);
        if (PyDict_DelItem(mapping, key) < 0) return Ref();
        return keep;
    }
    return call_method(mapping, N.pop, key, Py_None);
}

// The entries of an exact dict, moved out of it while one of our locks is
// held, without running any Python code: the references go to raw memory (no
// allocation that could start a collection), and clearing the dict frees
// nothing since they are still held here. They are released when this goes
// out of scope, which must be after the lock is released: the last reference
// to a callable may keep a proxy alive, whose release sends a request.
class TakenEntries {
public:
    TakenEntries() = default;
    TakenEntries(const TakenEntries&) = delete;
    TakenEntries& operator=(const TakenEntries&) = delete;
    ~TakenEntries() {
        for (Py_ssize_t i = 0; i < 2 * size_; ++i) Py_DECREF(refs_[i]);
        PyMem_Free(refs_);
    }
    // Empties `dict`; -1 (no error set, the dict unchanged) when out of memory.
    int take_all(PyObject* dict) {
        const Py_ssize_t n = PyDict_GET_SIZE(dict);
        if (n == 0) return 0;
        refs_ = static_cast<PyObject**>(PyMem_Malloc(2 * n * sizeof(PyObject*)));
        if (!refs_) return -1;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (size_ < n && PyDict_Next(dict, &pos, &k, &v)) {
            Py_INCREF(k);
            Py_INCREF(v);
            refs_[2 * size_] = k;
            refs_[2 * size_ + 1] = v;
            ++size_;
        }
        PyDict_Clear(dict);
        return 0;
    }
    Py_ssize_t size() const { return size_; }
    PyObject* value(Py_ssize_t i) const { return refs_[2 * i + 1]; }

private:
    PyObject** refs_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Makes `context` (stolen) the __context__ of the error in flight.
void chain_context(PyObject* context) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && context && value != context) {
        PyException_SetContext(value, context);
    } else {
        Py_XDECREF(context);
    }
    if (value && tb) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
}

// Removes req_id from self.waiters under self._waiters_lock. Returns 0 with
// any error in flight kept as it was, or -1 when the wait for the lock was
// interrupted by an error outside the Exception family (the KeyboardInterrupt
// of a signal handler): that error is then set, with the one in flight as its
// context. The lock is only ever held for a few dict operations, so after an
// interruption it is waited for once more and the waiter still removed.
int drop_waiter(PyObject* self, PyObject* req_id) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *itype = nullptr, *ivalue = nullptr, *itb = nullptr;
    Ref popped;  // released after the lock, see TakenEntries
    for (int attempt = 0; attempt < 2; ++attempt) {
        LockGuard guard;
        if (guard.acquire(self, N._waiters_lock) < 0) {
            if (itype || PyErr_ExceptionMatches(PyExc_Exception)) {
                PyErr_Clear();
                break;
            }
            PyErr_Fetch(&itype, &ivalue, &itb);
            continue;
        }
        Ref waiters = getattr(self, N.waiters);
        if (!waiters || !(popped = mapping_pop(waiters.get(), req_id))) PyErr_Clear();
        if (guard.release_now() < 0) PyErr_Clear();
        break;
    }
    if (!itype) {
        PyErr_Restore(type, value, tb);
        return 0;
    }
    if (type) {
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && tb) PyException_SetTraceback(value, tb);
        Py_DECREF(type);
        Py_XDECREF(tb);
    }
    PyErr_Restore(itype, ivalue, itb);
    if (value) chain_context(value);
    return -1;
}

Ref concurrent_futures_attr(PyObject* name) {
    Ref conc = get_global(N.g_concurrent);
    if (!conc) return conc;
    Ref futures = getattr(conc.get(), N.futures);
    if (!futures) return futures;
    return getattr(futures.get(), name);
}

Ref new_guid() {
    Ref uuid_mod = get_global(N.g_uuid);
    if (!uuid_mod) return uuid_mod;
    Ref u = call_method(uuid_mod.get(), N.uuid4);
    if (!u) return u;
    return getattr(u.get(), N.hex);
}

// concurrent.futures.Future keeps its state in plain instance attributes and
// its done() and result() only read them under the future's own condition.
// For an exact Future (the kind send_request_sync makes) the same reads are
// done here directly; anything else goes through its methods.
PyTypeObject* g_future_type = nullptr;
PyObject* g_state = nullptr;
PyObject* g_result_attr = nullptr;
PyObject* g_exception_attr = nullptr;
PyObject* g_finished = nullptr;
PyObject* g_cancelled = nullptr;
PyObject* g_cancelled_notified = nullptr;

void learn_future_type(PyObject* fut) {
    if (g_future_type) return;
    Ref cls = concurrent_futures_attr(N.Future);
    if (!cls || reinterpret_cast<PyObject*>(Py_TYPE(fut)) != cls.get() ||
        !(g_state = PyUnicode_InternFromString("_state")) ||
        !(g_result_attr = PyUnicode_InternFromString("_result")) ||
        !(g_exception_attr = PyUnicode_InternFromString("_exception")) ||
        !(g_finished = PyUnicode_InternFromString("FINISHED")) ||
        !(g_cancelled = PyUnicode_InternFromString("CANCELLED")) ||
        !(g_cancelled_notified = PyUnicode_InternFromString("CANCELLED_AND_NOTIFIED"))) {
        PyErr_Clear();
        return;
    }
    g_future_type = Py_TYPE(fut);
    Py_INCREF(g_future_type);
}

// The future's state text when it is an exact Future with a str state, else
// an empty Ref (no error set).
Ref plain_state(PyObject* fut) {
    if (Py_TYPE(fut) != g_future_type) return Ref();
    Ref st = getattr(fut, g_state);
    if (!st || !PyUnicode_CheckExact(st.get())) {
        PyErr_Clear();
        return Ref();
    }
    return st;
}

// fut.done() as 1/0, or -1 with an error set.
int future_done(PyObject* fut) {
    if (Ref st = plain_state(fut)) {
        PyObject* t = st.get();
        return str_equal(t, g_finished) || str_equal(t, g_cancelled) || str_equal(t, g_cancelled_notified);
    }
    Ref done = call_method(fut, N.done);
    return done ? PyObject_IsTrue(done.get()) : -1;
}

// fut.result(timeout), answered directly for a future that already holds a
// plain result (the answer came from inside the send handler).
Ref future_result(PyObject* fut, PyObject* timeout) {
    if (Ref st = plain_state(fut)) {
        if (str_equal(st.get(), g_finished)) {
            Ref exc = getattr(fut, g_exception_attr);
            if (exc && exc.get() == Py_None) {
                Ref res = getattr(fut, g_result_attr);
                if (res) return res;
            }
            PyErr_Clear();
        }
    }
    return call_method(fut, N.result, timeout);
}

// ------------------------------------------------------------------ methods

PyObject* init_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref waiters = Ref::steal(PyDict_New());
    if (!waiters || PyObject_SetAttr(self, N.waiters, waiters.get()) < 0) return nullptr;
    Ref threading = get_global(N.g_threading);
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
    threading = get_global(N.g_threading);
    if (!threading) return nullptr;
    lock_factory = getattr(threading.get(), N.Lock);
    if (!lock_factory) return nullptr;
    Ref lock2 = call0(lock_factory.get());
    if (!lock2 || PyObject_SetAttr(self, N._callable_lock, lock2.get()) < 0) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one || PyObject_SetAttr(self, N._next_callable_id, one.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_send_handler_impl(const FuncSpec&, Bound& a) {
    if (PyObject_SetAttr(a.v[0], N._send_handler, a.v[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_request_sync_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* req = a.v[1];
    PyObject* timeout = a.v[2];  // a float after binding
    t_answered_failure = nullptr;

    {
        Ref handler = getattr(self, N._send_handler);
        if (!handler) return nullptr;
        int truth = PyObject_IsTrue(handler.get());
        if (truth < 0) return nullptr;
        if (!truth) return raise(PyExc_RuntimeError, "No send handler registered");
    }
    Ref req_id = new_guid();
    if (!req_id) return nullptr;
    Ref message = Ref::steal(PyDict_Copy(req));
    if (!message || PyDict_SetItem(message.get(), N.requestId, req_id.get()) < 0 ||
        PyDict_SetItem(message.get(), N.kind, N.request) < 0)
        return nullptr;
    Ref future_cls = concurrent_futures_attr(N.Future);
    if (!future_cls) return nullptr;
    Ref fut = call0(future_cls.get());
    if (!fut) return nullptr;
    learn_future_type(fut.get());
    {
        LockGuard guard;
        if (guard.acquire(self, N._waiters_lock) < 0) return nullptr;
        Ref waiters = getattr(self, N.waiters);
        if (!waiters || mapping_set(waiters.get(), req_id.get(), fut.get()) < 0) return nullptr;
        if (guard.release_now() < 0) return nullptr;
    }

    Ref response;
    bool answered = false;  // the future failed, not the handler
    {
        Ref handler = getattr(self, N._send_handler);
        if (handler) {
            Ref ignored = call1(handler.get(), message.get());
            if (ignored) {
                response = future_result(fut.get(), timeout);
                answered = !response;
            }
        }
    }
    if (response) return response.release();

    // Failure: which case applies depends on the exception's class.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref futures_timeout = concurrent_futures_attr(N.TimeoutError);
    if (!futures_timeout) {
        // Cannot classify: drop the waiter and report the look-up failure.
        drop_waiter(self, req_id.get());
        return nullptr;
    }
    if (PyErr_GivenExceptionMatches(t.get(), futures_timeout.get())) {
        if (drop_waiter(self, req_id.get()) < 0) {
            chain_context(v.release());
            return nullptr;
        }
        Ref exc = Ref::steal(
            PyObject_CallOneArg(PyExc_TimeoutError,
                                Ref::steal(PyUnicode_FromString("Timed out waiting for Office.js response")).get()));
        if (!exc) return nullptr;
        // Raised while the futures time-out is handled: it is the context.
        PyException_SetContext(exc.get(), v.release());
        PyErr_Restore(Ref::borrow(PyExc_TimeoutError).release(), exc.release(), nullptr);
        return nullptr;
    }
    if (PyErr_GivenExceptionMatches(t.get(), PyExc_Exception) && drop_waiter(self, req_id.get()) < 0) {
        chain_context(v.release());
        return nullptr;
    }
    // Only on_message fails a future with a RuntimeError: the add-in's answer.
    // Set last, after any Python code this call ran (a release sent from a
    // finaliser on the way may have recorded a failure of its own).
    const bool from_answer = answered && PyErr_GivenExceptionMatches(t.get(), PyExc_RuntimeError);
    t_answered_failure = from_answer ? v.get() : nullptr;
    PyErr_Restore(t.release(), v.release(), trace.release());
    return nullptr;
}

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

PyObject* on_message_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* message = a.v[1];
    Ref rid = dict_get(message, N.requestId);
    if (!rid) return nullptr;
    int truth = PyObject_IsTrue(rid.get());
    if (truth < 0) return nullptr;
    if (!truth) Py_RETURN_NONE;
    if (!PyUnicode_CheckExact(rid.get())) {
        rid = stored_request_id(self, rid.get());
        if (!rid) return nullptr;
        if (rid.get() == Py_None) Py_RETURN_NONE;
    }

    Ref fut;
    {
        LockGuard guard;
        if (guard.acquire(self, N._waiters_lock) < 0) return nullptr;
        Ref waiters = getattr(self, N.waiters);
        if (!waiters) return nullptr;
        fut = mapping_pop(waiters.get(), rid.get());
        if (!fut) return nullptr;
        if (guard.release_now() < 0) return nullptr;
    }
    if (fut.get() == Py_None) Py_RETURN_NONE;
    truth = future_done(fut.get());
    if (truth < 0) return nullptr;
    if (truth) Py_RETURN_NONE;

    Ref ok = dict_get(message, N.ok);
    if (!ok) return nullptr;
    truth = PyObject_IsTrue(ok.get());
    Ref r;
    if (truth > 0) {
        r = call_method(fut.get(), N.set_result, message);
    } else {
        Ref text = truth < 0 ? Ref() : failure_text(message);
        Ref exc = text ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get())) : Ref();
        if (!exc) {
            // The waiter is already taken: fail the waiting call too, so it
            // does not sit out its time-out, with an exception of its own,
            // since this one is raised here, on another thread.
            ErrorStash keep;
            Ref own = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, N.Remote_error));
            Ref ignored = own ? call_method(fut.get(), N.set_exception, own.get()) : Ref();
            if (!ignored) PyErr_Clear();
            return nullptr;
        }
        r = call_method(fut.get(), N.set_exception, exc.get());
    }
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// Takes every future out of self.waiters into `taken` (an exact dict) or
// `listed` (any other table, through its own values() and clear()).
int take_waiters(PyObject* self, TakenEntries& taken, Ref& listed) {
    LockGuard guard;
    if (guard.acquire(self, N._waiters_lock) < 0) return -1;
    Ref waiters = getattr(self, N.waiters);
    if (!waiters) return -1;
    if (PyDict_CheckExact(waiters.get())) {
        if (taken.take_all(waiters.get()) < 0) {
            if (guard.release_now() < 0) return -1;
            PyErr_NoMemory();
            return -1;
        }
    } else {
        Ref vals = call_method(waiters.get(), N.values);
        if (!vals) return -1;
        listed = Ref::steal(PySequence_List(vals.get()));
        if (!listed || !call_method(waiters.get(), N.clear)) return -1;
    }
    return guard.release_now();
}

// fut.cancel() unless it is done; -1 with an error set.
int cancel_pending(PyObject* fut) {
    int done = future_done(fut);
    if (done < 0) return -1;
    return done || call_method(fut, N.cancel) ? 0 : -1;
}

PyObject* reset_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    {
        // The futures are cancelled after the lock is released: cancel() runs
        // their done-callbacks, and any Python code may set off a collection
        // that releases a proxy, whose release sends a request.
        TakenEntries taken;
        Ref listed;
        if (take_waiters(self, taken, listed) < 0) return nullptr;
        // Every future is cancelled even after one fails, as none of them is
        // in the table any more; the first failure is reported.
        const Py_ssize_t n = listed ? PyList_GET_SIZE(listed.get()) : taken.size();
        bool failed = false;
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* f = listed ? PyList_GET_ITEM(listed.get(), i) : taken.value(i);
            if (cancel_pending(f) < 0) {
                if (!failed) PyErr_Fetch(&type, &value, &tb);
                PyErr_Clear();
                failed = true;
            }
        }
        if (failed) {
            PyErr_Restore(type, value, tb);
            return nullptr;
        }
    }
    Ref guid = new_guid();
    if (!guid || PyObject_SetAttr(self, N._guid, guid.get()) < 0) return nullptr;
    {
        TakenEntries dropped;  // released after the lock, see TakenEntries
        LockGuard guard;
        if (guard.acquire(self, N._callable_lock) < 0) return nullptr;
        Ref registry = getattr(self, N._callable_registry);
        if (!registry) return nullptr;
        if (PyDict_CheckExact(registry.get())) {
            if (dropped.take_all(registry.get()) < 0) {
                if (guard.release_now() < 0) return nullptr;
                return PyErr_NoMemory();
            }
        } else if (!call_method(registry.get(), N.clear)) {
            return nullptr;
        }
        Ref one = Ref::steal(PyLong_FromLong(1));
        if (!one || PyObject_SetAttr(self, N._next_callable_id, one.get()) < 0) return nullptr;
        if (guard.release_now() < 0) return nullptr;
    }
    // Re-stamp the fixed roots; they exist in the add-in from its start, so a
    // reconnect must leave every one of them usable.
    for (const FixedRoot& r : kFixedRoots) {
        Ref root = get_global(N.*r.global);
        Ref current = root ? getattr(self, N._guid) : Ref();
        if (!current || PyObject_SetAttr(root.get(), N._msg_guid, current.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
    }
    Py_RETURN_NONE;
}

PyObject* register_callable_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* obj = a.v[1];
    if (!PyCallable_Check(obj)) {
        Ref tname = getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), N.dunder_name);
        if (!tname) return nullptr;
        PyErr_Format(PyExc_TypeError, "Object must be callable, got %S", tname.get());
        return nullptr;
    }
    Ref replaced;  // an entry under the same id (the counter was rewound): released after the lock
    LockGuard guard;
    if (guard.acquire(self, N._callable_lock) < 0) return nullptr;
    Ref guid = getattr(self, N._guid);
    if (!guid) return nullptr;
    Ref prefix = Ref::steal(PySequence_GetSlice(guid.get(), 0, 8));
    if (!prefix) return nullptr;
    Ref counter = getattr(self, N._next_callable_id);
    if (!counter) return nullptr;
    Ref id = Ref::steal(PyUnicode_FromFormat("pyfunc_%S_%S", prefix.get(), counter.get()));
    if (!id) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = one ? Ref::steal(PyNumber_Add(counter.get(), one.get())) : Ref();
    if (!next || PyObject_SetAttr(self, N._next_callable_id, next.get()) < 0) return nullptr;
    Ref registry = getattr(self, N._callable_registry);
    if (!registry) return nullptr;
    if (PyDict_CheckExact(registry.get())) {
        replaced = Ref::borrow(PyDict_GetItemWithError(registry.get(), id.get()));
        if (!replaced && PyErr_Occurred()) return nullptr;
    }
    if (mapping_set(registry.get(), id.get(), obj) < 0) return nullptr;
    if (guard.release_now() < 0) return nullptr;
    return id.release();
}

PyObject* get_callable_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    LockGuard guard;
    if (guard.acquire(self, N._callable_lock) < 0) return nullptr;
    Ref registry = getattr(self, N._callable_registry);
    if (!registry) return nullptr;
    Ref found = PyDict_CheckExact(registry.get()) ? dict_get(registry.get(), a.v[1])
                                                  : call_method(registry.get(), N.get, a.v[1]);
    if (!found) return nullptr;
    if (guard.release_now() < 0) return nullptr;
    return found.release();
}

PyObject* unregister_callable_impl(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref popped;  // released after the lock, see TakenEntries
    LockGuard guard;
    if (guard.acquire(self, N._callable_lock) < 0) return nullptr;
    Ref registry = getattr(self, N._callable_registry);
    if (!registry || !(popped = mapping_pop(registry.get(), a.v[1]))) return nullptr;
    if (guard.release_now() < 0) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ specs

const Param kSelf[] = {{"self"}};
const Param kSetHandler[] = {{"self"}, {"handler"}};
const Param kOnMessage[] = {{"self"}, {"message", Check::Dict, Default::Required, "Dict[str, Any]"}};
const Param kSend[] = {{"self"},
                       {"req", Check::Dict, Default::Required, "Dict[str, Any]"},
                       {"timeout", Check::Double, Default::Float, "float", kDefaultTimeout}};
const Param kRegister[] = {{"self"}, {"callable_obj", Check::Any, Default::Required, "Any"}};
const Param kCallableId[] = {{"self"}, {"callable_id", Check::Str, Default::Required, "str"}};

FuncSpec sInit{"__init__", "Messaging", "Messaging.__init__(self)", init_impl, kSelf, 1};
FuncSpec sSetHandler{"set_send_handler", "Messaging",
                     "Messaging.set_send_handler(self, handler)\n\n"
                     "Register a callback used to send messages to the add-in.\n\n"
                     "The handler should be a callable that takes a dict (the message payload)\n"
                     "and sends it appropriately (e.g., via WebSocket through the Business Layer).",
                     set_send_handler_impl, kSetHandler, 2};
FuncSpec sOnMessage{"on_message", "Messaging",
                    "Messaging.on_message(self, dict message: Dict[str, Any])\n\n"
                    "Handle an incoming response message from the add-in.\n\n"
                    "This method is called by the kernel when it receives an excel_response\n"
                    "message. It resolves the pending future for the corresponding request.\n\n"
                    "Threading Note: This method is typically called from the listener thread.\n"
                    "The _waiters_lock ensures thread-safe access to the waiters dict.",
                    on_message_impl, kOnMessage, 2};
FuncSpec sSend{"send_request_sync", "Messaging",
               "Messaging.send_request_sync(self, dict req: Dict[str, Any], double timeout: float = 30.0)\n\n"
               "Send a request and wait synchronously for the response.\n\n"
               "This creates a thread-safe Future, calls the send handler, and blocks\n"
               "until the response is received (or timeout).\n\n"
               "Threading Note: This method can be called from worker threads. It blocks\n"
               "the calling thread using concurrent.futures.Future.result(), but releases\n"
               "the GIL so the listener thread can continue processing messages.",
               send_request_sync_impl, kSend, 3};
FuncSpec sReset{"reset", "Messaging",
                "Messaging.reset(self)\n\n"
                "Reset the messaging state (e.g., when the connection is closed).\n\n"
                "Cancels all pending futures and generates a new GUID.\n\n"
                "Threading Note: This method should be called from the listener thread\n"
                "during disconnect/reconnect. The locks ensure thread-safe cleanup.",
                reset_impl, kSelf, 1};
FuncSpec sRegister{"register_callable", "Messaging",
                   "Messaging.register_callable(self, callable_obj: Any) -> str\n\n"
                   "Register a Python callable and return its ID.\n\n"
                   "Args:\n    callable_obj: The callable to register (function, lambda, method, etc.)\n\n"
                   "Returns:\n    String ID that can be used to invoke the callable from Excel.\n    \n"
                   "Raises:\n    TypeError: If callable_obj is not callable\n    \n"
                   "Threading Note: This method is thread-safe due to _callable_lock.\n"
                   "Can be called from any thread (worker or listener).",
                   register_callable_impl, kRegister, 2, false, false, "str"};
FuncSpec sGetCallable{"get_callable", "Messaging",
                      "Messaging.get_callable(self, str callable_id: str) -> Any\n\n"
                      "Retrieve a registered callable by its ID.\n\n"
                      "Args:\n    callable_id: The ID returned by register_callable.\n\n"
                      "Returns:\n    The callable object, or None if not found.\n    \n"
                      "Threading Note: This method is thread-safe due to _callable_lock.\n"
                      "Can be called from any thread (worker or listener).",
                      get_callable_impl, kCallableId, 2, false, false, "Any"};
FuncSpec sUnregister{"unregister_callable", "Messaging",
                     "Messaging.unregister_callable(self, str callable_id: str)\n\n"
                     "Remove a callable from the registry.\n\n"
                     "Args:\n    callable_id: The ID of the callable to remove.\n    \n"
                     "Threading Note: This method is thread-safe due to _callable_lock.\n"
                     "Can be called from any thread (worker or listener).",
                     unregister_callable_impl, kCallableId, 2};

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
        {"__init__", &sInit},
        {"set_send_handler", &sSetHandler},
        {"on_message", &sOnMessage},
        {"send_request_sync", &sSend},
        {"reset", &sReset},
        {"register_callable", &sRegister},
        {"get_callable", &sGetCallable},
        {"unregister_callable", &sUnregister},
    };
    Ref cls = Ref::steal(build_class("Messaging", reinterpret_cast<PyObject*>(&PyBaseObject_Type), kClassDoc,
                                     members, int(sizeof(members) / sizeof(members[0]))));
    if (!cls) return -1;
    return PyDict_SetItem(ns, N.g_Messaging, cls.get());
}

int body_messaging_instance(PyObject* ns) {
    Ref cls = get_global(N.g_Messaging);
    if (!cls) return -1;
    Ref inst = call0(cls.get());
    if (!inst) return -1;
    return PyDict_SetItem(ns, N.g_messaging, inst.get());
}

}  // namespace com_like
