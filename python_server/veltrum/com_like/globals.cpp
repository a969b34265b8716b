// Interned names, module-namespace access and the lock guard.
#include "globals.h"

#include <string_view>

namespace com_like {

Names N;
PyObject* g_module_dict = nullptr;
PyObject* g_full_name = nullptr;

int init_names() {
    if (g_full_name) return 0;
#define COM_LIKE_MAKE_NAME(ident, text) \
    if (!(N.ident = PyUnicode_InternFromString(text))) return -1;
    COM_LIKE_NAMES(COM_LIKE_MAKE_NAME)
#undef COM_LIKE_MAKE_NAME
    g_full_name = PyUnicode_InternFromString(kFullName);
    return g_full_name ? 0 : -1;
}

Ref get_global_opt(PyObject* name) {
    if (!g_module_dict) return Ref();
    return Ref::borrow(PyDict_GetItemWithError(g_module_dict, name));
}

Ref get_global(PyObject* name) {
    Ref v = get_global_opt(name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

int set_global(PyObject* name, PyObject* value) {
    if (!g_module_dict) {
        PyErr_SetString(PyExc_SystemError, "module namespace is not set up");
        return -1;
    }
    return PyDict_SetItem(g_module_dict, name, value);
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
// threading.Lock's type and its two method descriptors, so that the common
// case calls the C methods directly instead of building bound methods.
PyTypeObject* g_lock_type = nullptr;
PyObject* g_lock_acquire = nullptr;
PyObject* g_lock_release = nullptr;

void learn_lock_type(PyObject* lock) {
    if (g_lock_type || PyType_Check(lock)) return;
    PyTypeObject* t = Py_TYPE(lock);
    if (std::string_view(t->tp_name) != "_thread.lock") return;
    PyObject* a = PyDict_GetItemWithError(t->tp_dict, N.acquire);
    PyObject* r = a ? PyDict_GetItemWithError(t->tp_dict, N.release) : nullptr;
    if (!a || !r) {
        PyErr_Clear();
        return;
    }
    Py_INCREF(t);
    Py_INCREF(a);
    Py_INCREF(r);
    g_lock_type = t;
    g_lock_acquire = a;
    g_lock_release = r;
}

Ref call_lock(PyObject* lock, PyObject* descr, PyObject* name) {
    if (Py_TYPE(lock) == g_lock_type) {
        PyObject* argv[1] = {lock};
        return Ref::steal(PyObject_Vectorcall(descr, argv, 1, nullptr));
    }
    return call_method(lock, name);
}
}  // namespace

int LockGuard::acquire(PyObject* owner, PyObject* attr) {
    Ref lock = getattr(owner, attr);
    if (!lock) return -1;
    learn_lock_type(lock.get());
    Ref r = call_lock(lock.get(), g_lock_acquire, N.acquire);
    if (!r) return -1;
    lock_ = std::move(lock);
    return 0;
}

int LockGuard::release_now() {
    if (!lock_) return 0;
    Ref lock = std::move(lock_);
    Ref r = call_lock(lock.get(), g_lock_release, N.release);
    return r ? 0 : -1;
}

}  // namespace com_like
