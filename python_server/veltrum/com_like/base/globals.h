// Module namespace access and small helpers shared by every subsystem.
//
// Module globals are looked up at each use (user code may rebind or delete
// them); with interned keys this is one dict probe.
#pragma once

#include "base/state.h"

#include <new>

namespace com_like {

// Returns a new reference to the module global `name`, or an empty Ref with
// NameError "name '...' is not defined".
Ref get_global(PyObject* name);

// Like get_global but an absent name is not an error: returns an empty Ref
// with no exception set. An empty Ref with an exception set is a failure.
Ref get_global_opt(PyObject* name);

int set_global(PyObject* name, PyObject* value);

inline bool is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Attribute access helpers returning owned references.
inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

// Calls o.name(*args) without building a bound method where possible.
inline Ref call_method(PyObject* o, PyObject* name) {
    return Ref::steal(PyObject_CallMethodNoArgs(o, name));
}
inline Ref call_method(PyObject* o, PyObject* name, PyObject* a) {
    return Ref::steal(PyObject_CallMethodOneArg(o, name, a));
}
inline Ref call_method(PyObject* o, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* argv[3] = {o, a, b};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call0(PyObject* f) { return Ref::steal(PyObject_CallNoArgs(f)); }
inline Ref call1(PyObject* f, PyObject* a) { return Ref::steal(PyObject_CallOneArg(f, a)); }
inline Ref call2(PyObject* f, PyObject* a, PyObject* b) {
    PyObject* argv[3] = {nullptr, a, b};
    return Ref::steal(PyObject_Vectorcall(f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Equality of two str objects (identity first).
inline bool str_equal(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

// `a != b` as Python evaluates it, with the exact-str case done directly:
// 1, 0, or -1 with an error set.
inline int not_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return !str_equal(a, b);
    Ref cmp = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return cmp ? PyObject_IsTrue(cmp.get()) : -1;
}

// d.get(key, dflt) of an exact dict as a new reference.
inline Ref dict_get(PyObject* d, PyObject* key, PyObject* dflt = Py_None) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v) return PyErr_Occurred() ? Ref() : Ref::borrow(dflt);
    return Ref::borrow(v);
}

// Text of `o` as format(o, "") gives it: str() for exact str, int and float.
Ref format_empty(PyObject* o);

// RuntimeError/TypeError/... with a fixed message; always returns nullptr,
// for `return raise(...)` from a slot.
inline std::nullptr_t raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    return nullptr;
}

// Holds a Python lock object (threading.Lock or anything with acquire() and
// release()) for a scope. The lock is read by the caller from the instance,
// so replacing it in Python is honoured. Release happens on every way out;
// an error in flight is preserved across the release.
class LockGuard {
public:
    LockGuard() = default;
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() {
        if (lock_) {
            ErrorStash keep;
            if (release_now() < 0) PyErr_Clear();
        }
    }
    // Reads owner.<attr> and acquires it (blocking). -1 with an error set.
    int acquire(PyObject* owner, PyObject* attr);
    // Releases now, reporting a failure of release() to the caller.
    int release_now();

private:
    Ref lock_;
};

// mapping[key] = value, with the exact-dict case done directly.
inline int mapping_set(PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
    return PyObject_SetItem(mapping, key, value);
}

// mapping.pop(key, None) as a new reference (None when absent).
Ref mapping_pop(PyObject* mapping, PyObject* key);

// Runs `body` (returning 0, or -1 with an error set) with owner.<lock_attr>
// held, and releases the lock on every way out. What `body` takes out of a
// table must be owned by a Ref or TakenEntries declared BEFORE the call, so
// that it is released after the lock.
template <class Body>
int with_lock(PyObject* owner, PyObject* lock_attr, Body&& body) {
    LockGuard guard;
    if (guard.acquire(owner, lock_attr) < 0 || body() < 0) return -1;
    return guard.release_now();
}

// The entries of an exact dict, moved out of it while one of our locks is
// held, without running any Python code: the references go to raw memory (no
// allocation that could start a collection), and clearing the dict frees
// nothing since they are still held here. They are released when this goes
// out of scope, which must be after the lock is released: the last reference
// to a callable may keep a proxy alive, whose release sends a request.
//
// Each entry owns its two references as Refs, placed in memory from
// PyMem_Malloc (which never collects, unlike a container of ours) and
// destroyed one by one before that memory is freed.
class TakenEntries {
public:
    TakenEntries() = default;
    TakenEntries(const TakenEntries&) = delete;
    TakenEntries& operator=(const TakenEntries&) = delete;
    ~TakenEntries() {
        for (Py_ssize_t i = 0; i < size_; ++i) entries_[i].~Entry();
        PyMem_Free(entries_);
    }
    // Empties `dict`; -1 (no error set, the dict unchanged) when out of memory.
    int take_all(PyObject* dict) {
        const Py_ssize_t n = PyDict_GET_SIZE(dict);
        if (n == 0) return 0;
        entries_ = static_cast<Entry*>(PyMem_Malloc(n * sizeof(Entry)));
        if (!entries_) return -1;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (size_ < n && PyDict_Next(dict, &pos, &k, &v)) {
            new (&entries_[size_]) Entry{Ref::borrow(v), Ref::borrow(k)};
            ++size_;
        }
        PyDict_Clear(dict);
        return 0;
    }
    Py_ssize_t size() const { return size_; }
    Borrowed value(Py_ssize_t i) const { return Borrowed(entries_[i].value.get()); }

private:
    // Members go in reverse order: the key is released first, then its
    // value, as the dict itself releases them.
    struct Entry {
        Ref value;
        Ref key;
    };
    Entry* entries_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Stores `value` in a field that holds a strong reference (the process-wide
// ones of state.h, an object's members) and releases what the field held
// before, after the store: its finaliser then sees the new value in place.
inline void store_strong(PyObject*& field, Ref value) {
    Ref previous = Ref::steal(field);
    field = value.release();
}

}  // namespace com_like
