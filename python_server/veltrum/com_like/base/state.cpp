// The init of the process-wide state, all but the serializer's part, which
// the serializer fills itself (serializer_records_init()).
#include "base/state.h"

#include <string_view>

namespace com_like {

ProcessState P;

namespace {

// What the foreign layouts are recognised by.
constexpr char kThreadingModule[] = "threading";
constexpr char kLockTypeName[] = "_thread.lock";
constexpr char kFuturesModule[] = "concurrent.futures";
constexpr char kFuturesBaseModule[] = "concurrent.futures._base";
constexpr char kPendingState[] = "PENDING";

// The attribute names and state texts of concurrent.futures.Future that
// futures.cpp reads.
struct FutureText {
    PyObject* ProcessState::*field;
    const char* text;
};
constexpr FutureText kFutureTexts[] = {
    {&ProcessState::future_state, "_state"},
    {&ProcessState::future_result, "_result"},
    {&ProcessState::future_exception, "_exception"},
    {&ProcessState::finished, "FINISHED"},
    {&ProcessState::cancelled, "CANCELLED"},
    {&ProcessState::cancelled_notified, "CANCELLED_AND_NOTIFIED"},
};

// threading.Lock, when a lock is a "_thread.lock" with its own acquire and release.
void learn_lock_type() {
    Ref threading = Ref::steal(PyImport_ImportModule(kThreadingModule));
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
    if (!PyUnicode_CheckExact(st.get()) || PyUnicode_CompareWithASCIIString(st.get(), kPendingState) != 0 ||
        res.get() != Py_None || exc.get() != Py_None)
        return 0;
    for (PyObject* text : {P.finished, P.cancelled, P.cancelled_notified}) {
        Ref v = Ref::steal(PyObject_GetAttr(base, text));
        if (!v || !PyUnicode_CheckExact(v.get()) || PyUnicode_Compare(v.get(), text) != 0) return 0;
    }
    return 1;
}

void learn_future_type() {
    for (const FutureText& t : kFutureTexts) {
        if (!(P.*t.field = PyUnicode_InternFromString(t.text))) return PyErr_Clear();
    }
    Ref base = Ref::steal(PyImport_ImportModule(kFuturesBaseModule));
    Ref futures = base ? Ref::steal(PyImport_ImportModule(kFuturesModule)) : Ref();
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
    return 0;
}

}  // namespace com_like
