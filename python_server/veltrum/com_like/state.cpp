// The one init of the process-wide state.
#include "state.h"

#include "serializer_records.h"

#include <string_view>

namespace com_like {

ProcessState P;

namespace {

// The type name of threading.Lock's C implementation, and the state a new
// concurrent.futures.Future starts in.
constexpr const char kLockTypeName[] = "_thread.lock";
constexpr const char kFuturePending[] = "PENDING";

// threading.Lock, when a lock is a "_thread.lock" with its own acquire and release.
void learn_lock_type() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref factory = threading ? Ref::steal(PyObject_GetAttr(threading.get(), N.Lock)) : Ref();
    Ref lock = factory ? Ref::steal(PyObject_CallNoArgs(factory.get())) : Ref();
    if (!lock || PyType_Check(lock.get())) return PyErr_Clear();
    PyTypeObject* t = Py_TYPE(lock.get());
    if (std::string_view(t->tp_name) != kLockTypeName) return;
    Ref acquire = Ref::borrow(PyDict_GetItemWithError(t->tp_dict, N.acquire));
    Ref release = acquire ? Ref::borrow(PyDict_GetItemWithError(t->tp_dict, N.release)) : Ref();
    if (!release) return PyErr_Clear();
    P.lock_type = reinterpret_cast<PyTypeObject*>(Ref::borrow(reinterpret_cast<PyObject*>(t)).release());
    P.lock_acquire = acquire.release();
    P.lock_release = release.release();
}

// 1 when concurrent.futures.Future keeps the layout futures.cpp reads: a new
// future has a str `_state` of "PENDING" and None in `_result` and
// `_exception`, and the module's state texts are the ones compared against.
int future_layout_matches(PyObject* base, PyObject* fut) {
    Ref st = Ref::steal(PyObject_GetAttr(fut, P.future_state));
    Ref res = st ? Ref::steal(PyObject_GetAttr(fut, P.future_result)) : Ref();
    Ref exc = res ? Ref::steal(PyObject_GetAttr(fut, P.future_exception)) : Ref();
    if (!exc) return 0;
    if (!PyUnicode_CheckExact(st.get()) || PyUnicode_CompareWithASCIIString(st.get(), kFuturePending) != 0 ||
        res.get() != Py_None || exc.get() != Py_None)
        return 0;
    for (PyObject* text : {P.finished, P.cancelled, P.cancelled_notified}) {
        Ref v = Ref::steal(PyObject_GetAttr(base, text));
        if (!v || !PyUnicode_CheckExact(v.get()) || PyUnicode_Compare(v.get(), text) != 0) return 0;
    }
    return 1;
}

void learn_future_type() {
    if (!(P.future_state = PyUnicode_InternFromString("_state")) ||
        !(P.future_result = PyUnicode_InternFromString("_result")) ||
        !(P.future_exception = PyUnicode_InternFromString("_exception")) ||
        !(P.finished = PyUnicode_InternFromString("FINISHED")) ||
        !(P.cancelled = PyUnicode_InternFromString("CANCELLED")) ||
        !(P.cancelled_notified = PyUnicode_InternFromString("CANCELLED_AND_NOTIFIED")))
        return PyErr_Clear();
    Ref base = Ref::steal(PyImport_ImportModule("concurrent.futures._base"));
    Ref futures = base ? Ref::steal(PyImport_ImportModule("concurrent.futures")) : Ref();
    Ref cls = futures ? Ref::steal(PyObject_GetAttr(futures.get(), N.Future)) : Ref();
    Ref fut = cls && PyType_Check(cls.get()) ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    const bool matches = fut && Py_TYPE(fut.get()) == reinterpret_cast<PyTypeObject*>(cls.get()) &&
                         future_layout_matches(base.get(), fut.get());
    PyErr_Clear();
    if (matches) P.future_type = reinterpret_cast<PyTypeObject*>(cls.release());
}

}  // namespace

int state_init() {
    if (P.full_name) return 0;
    if (init_names() < 0) return -1;
    if (!(P.full_name = PyUnicode_InternFromString(kFullName))) return -1;
    learn_lock_type();
    learn_future_type();
    return ser::serializer_records_init();
}

}  // namespace com_like
