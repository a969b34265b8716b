// Module-namespace access and the lock guard.
#include "base/globals.h"


namespace com_like {

namespace {
constexpr const char kNotDefinedFormat[] = "name '%U' is not defined";
constexpr const char kNoNamespace[] = "module namespace is not set up";
}  // namespace

Ref get_global_opt(PyObject* name) {
    if (!P.module_dict) return Ref();
    return Ref::borrow(PyDict_GetItemWithError(P.module_dict, name));
}

Ref get_global(PyObject* name) {
    Ref v = get_global_opt(name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, kNotDefinedFormat, name);
    return v;
}

int set_global(PyObject* name, PyObject* value) {
    if (!P.module_dict) {
        PyErr_SetString(PyExc_SystemError, kNoNamespace);
        return -1;
    }
    return PyDict_SetItem(P.module_dict, name, value);
}

Ref format_empty(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return Ref::steal(PyObject_Str(o));
    return Ref::steal(PyObject_Format(o, N.empty));
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

namespace {

Ref call_lock(PyObject* lock, PyObject* descr, PyObject* name) {
    if (Py_TYPE(lock) == P.lock_type) {
        PyObject* argv[1] = {lock};
        return Ref::steal(PyObject_Vectorcall(descr, argv, 1, nullptr));
    }
    return call_method(lock, name);
}
}  // namespace

int LockGuard::acquire(PyObject* owner, PyObject* attr) {
    Ref lock = getattr(owner, attr);
    if (!lock) return -1;
    Ref r = call_lock(lock.get(), P.lock_acquire, N.acquire);
    if (!r) return -1;
    lock_ = std::move(lock);
    return 0;
}

int LockGuard::release_now() {
    if (!lock_) return 0;
    Ref lock = std::move(lock_);
    Ref r = call_lock(lock.get(), P.lock_release, N.release);
    return r ? 0 : -1;
}

}  // namespace com_like
