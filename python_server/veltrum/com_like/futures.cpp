// Reads of concurrent.futures.Future without its methods where that is safe.
#include "futures.h"

namespace com_like {

Ref concurrent_futures_attr(PyObject* name) {
    Ref conc = get_global(N.g_concurrent);
    if (!conc) return conc;
    Ref futures = getattr(conc.get(), N.futures);
    if (!futures) return futures;
    return getattr(futures.get(), name);
}


// concurrent.futures.Future keeps its state in plain instance attributes and
// its done() and result() only read them under the future's own condition.
// For an exact Future (the kind send_request_sync makes) the same reads are
// done here directly; anything else goes through its methods.
namespace {

PyTypeObject* g_future_type = nullptr;
PyObject* g_state = nullptr;
PyObject* g_result_attr = nullptr;
PyObject* g_exception_attr = nullptr;
PyObject* g_finished = nullptr;
PyObject* g_cancelled = nullptr;
PyObject* g_cancelled_notified = nullptr;

}  // namespace

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

namespace {

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

}  // namespace

int future_done(PyObject* fut) {
    if (Ref st = plain_state(fut)) {
        PyObject* t = st.get();
        return str_equal(t, g_finished) || str_equal(t, g_cancelled) || str_equal(t, g_cancelled_notified);
    }
    Ref done = call_method(fut, N.done);
    return done ? PyObject_IsTrue(done.get()) : -1;
}

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

}  // namespace com_like
