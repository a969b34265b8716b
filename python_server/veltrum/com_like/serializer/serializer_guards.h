// Guards of the serializer's recursion and of the containers it builds:
// nesting depth and C stack, lists filled in place, containers kept from the
// garbage collector until the result is whole.
#pragma once

#include "base/globals.h"

namespace com_like {
namespace ser {

// Counts one container level (list, tuple, dict; Array, Dict record) for its
// scope. Besides our own cap, below what the C stack of a worker thread
// holds for interpreters whose recursion limit has been raised far, the
// remaining C stack of the thread is checked where the platform reports the
// stack's bounds (Linux, macOS, Windows), since frame sizes differ between
// builds (instrumented ones use several times more). CPython's own check
// (Py_EnterRecursiveCall) applies as well, and from 3.12 on counts C levels.
class DepthGuard {
public:
    DepthGuard() = default;
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    // -1 with RecursionError set when one more level does not fit.
    int enter(const char* where);
    ~DepthGuard() {
        if (entered_) leave();
    }

private:
    void leave();
    bool entered_ = false;
};

// A list filled in order, sized for the expected count. Until finish() it
// may hold empty slots, so it is kept away from the garbage collector (and
// with it from gc.get_objects()), which also spares the collector passes
// over a list that is still growing.
class ListFill {
public:
    int init(Py_ssize_t expected) {
        list_ = Ref::steal(PyList_New(expected));
        if (!list_) return -1;
        PyObject_GC_UnTrack(list_.get());
        expected_ = expected;
        return 0;
    }
    // Takes the new reference `item`; -1 (with the error set) when it is empty.
    int push(New item) {
        if (!item) return -1;
        if (filled_ < expected_) {
            PyList_SET_ITEM(list_.get(), filled_++, item.release());
            return 0;
        }
        Ref owned = Ref::steal(item);
        if (PyList_Append(list_.get(), owned.get()) < 0) return -1;
        ++filled_;
        return 0;
    }
    // The complete list; still untracked when `track` is false.
    Ref finish(bool track) {
        if (filled_ < expected_) Py_SET_SIZE(list_.get(), filled_);
        if (track) PyObject_GC_Track(list_.get());
        return std::move(list_);
    }

private:
    Ref list_;
    Py_ssize_t expected_ = 0;
    Py_ssize_t filled_ = 0;
};

// The containers of a result under construction are kept from the garbage
// collector and handed to it once the whole result exists: a frame or a
// list of dicts makes tens of thousands of them, enough to set off full
// collections that would traverse every one of them (and the rest of the
// heap) while it is still growing. Each is held by a reference of its own
// until then, since user code may drop it from the result meanwhile (a key
// that comes twice replaces its first record).
class Hidden {
public:
    Hidden() = default;
    Hidden(const Hidden&) = delete;
    Hidden& operator=(const Hidden&) = delete;
    ~Hidden() {
        reveal();
        PyMem_Free(objects_);
    }
    // `o` is part of the result being built; -1 with MemoryError set.
    int add(PyObject* o) {
        if (!PyObject_GC_IsTracked(o)) return 0;
        if (push(o) < 0) return -1;
        PyObject_GC_UnTrack(o);
        return 0;
    }
    // `o` is part of the result being built, whether tracked yet or not
    // (a list from ListFill, a record whose value went in place): tracked
    // by reveal(); -1 with MemoryError set.
    int add_any(PyObject* o) {
        if (push(o) < 0) return -1;
        if (PyObject_GC_IsTracked(o)) PyObject_GC_UnTrack(o);
        return 0;
    }
    // Tracks every object again and drops the references held on them.
    void reveal();
    // Runs a collection that is due, while the objects are still hidden;
    // -1 with the error of a signal handler set.
    int run_pending_collection();

private:
    int push(PyObject* o) {
        if (size_ == cap_ && grow() < 0) return -1;
        objects_[size_++] = Ref::borrow(o).release();  // released by reveal()
        return 0;
    }
    int grow();
    PyObject** objects_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

}  // namespace ser
}  // namespace com_like
