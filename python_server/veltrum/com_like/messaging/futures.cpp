// Reads of concurrent.futures.Future without its methods where that is safe.
#include "messaging/futures.h"

namespace com_like {

Ref concurrent_futures_attr(PyObject* name) {
    Ref conc = get_global(N.mod_concurrent);
    if (!conc) return conc;
    Ref futures = getattr(conc.get(), N.futures);
    if (!futures) return futures;
    return getattr(futures.get(), name);
}

// For an exact Future (the kind send_request_sync makes) the reads its done()
// and result() make are done here directly, when its layout was found as
// expected at start-up (state.h); anything else goes through its methods.
namespace {

// The future's state text when it is an exact Future with a str state, else
// an empty Ref (no error set).
Ref plain_state(PyObject* fut) {
    if (Py_TYPE(fut) != P.future_type) return Ref();
    Ref st = getattr(fut, P.future_state);
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
        return str_equal(t, P.finished) || str_equal(t, P.cancelled) || str_equal(t, P.cancelled_notified);
    }
    Ref done = call_method(fut, N.done);
    return done ? PyObject_IsTrue(done.get()) : -1;
}

Ref future_result(PyObject* fut, PyObject* timeout) {
    if (Ref st = plain_state(fut)) {
        if (str_equal(st.get(), P.finished)) {
            Ref exc = getattr(fut, P.future_exception);
            if (exc && exc.get() == Py_None) {
                Ref res = getattr(fut, P.future_result);
                if (res) return res;
            }
            PyErr_Clear();
        }
    }
    return call_method(fut, N.result, timeout);
}

}  // namespace com_like
