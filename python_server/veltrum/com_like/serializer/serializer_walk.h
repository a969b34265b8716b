// The walks over a sequence and over a mapping that both directions use: an
// exact list, tuple or dict read in place, anything else iterated as a for
// loop would. `child(item)` returns a new reference, or null with an error.
#pragma once

#include "serializer/serializer_guards.h"

namespace com_like {
namespace ser {

// `key, value = pair` with the errors of that statement: two new references
// in k and v, or -1 with the exception set.
int unpack_pair(PyObject* pair, Ref& k, Ref& v);

// Calls f(key, value) for each pair of mapping.items(), as a for loop that
// unpacks the pairs would; -1 with an exception set on the first failure.
template <class F>
int walk_items(PyObject* mapping, F&& f) {
    Ref items = call_method(mapping, N.items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!it) return -1;
    while (true) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) return PyErr_Occurred() ? -1 : 0;
        Ref k, v;
        if (unpack_pair(pair.get(), k, v) < 0 || f(k.get(), v.get()) < 0) return -1;
    }
}

// No element is taken in place (see walk_sequence).
struct WalkNothingInPlace {
    int operator()(PyObject*, New*) const { return 0; }
};

// Pushes child(x) (or what in_place took) for x in seq[start:stop] of an
// exact list or tuple onto `fill`. A list may change while user code runs
// for an element: like a for loop, go on until the index passes its
// current end.
template <class F, class G>
int walk_range(PyObject* seq, Py_ssize_t start, Py_ssize_t stop, ListFill& fill, F&& child, G&& in_place) {
    const bool is_list = PyList_CheckExact(seq);
    for (Py_ssize_t i = start; i < stop && i < Py_SIZE(seq); ++i) {
        // Held even for in_place: an allocation may set off a collection
        // (before 3.12), whose finalizers may empty the list.
        Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
        New out;
        int taken = in_place(item.get(), &out);
        if (taken < 0 || (taken && fill.push(out) < 0)) return -1;
        if (!taken && fill.push(child(item.get())) < 0) return -1;
    }
    return 0;
}

// [child(x) for x in value] as a new list, left untracked by the collector
// unless `track`. `in_place(x, &out)` may take an element first (1, with
// *out its result; -1 on error; 0 leaves it to `child`), when that runs no
// user code.
template <class F, class G = WalkNothingInPlace>
Ref walk_sequence(PyObject* value, F&& child, bool track, G&& in_place = G()) {
    ListFill fill;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        if (fill.init(Py_SIZE(value)) < 0 || walk_range(value, 0, PY_SSIZE_T_MAX, fill, child, in_place) < 0)
            return Ref();
        return fill.finish(track);
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it || fill.init(0) < 0) return Ref();
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? Ref() : fill.finish(track);
        if (fill.push(child(item.get())) < 0) return Ref();
    }
}

// {k: child(v) for k, v in value.items()} as a new dict.
template <class F>
Ref walk_mapping(PyObject* value, F&& child) {
    if (!PyDict_CheckExact(value)) {
        Ref out = Ref::steal(PyDict_New());
        if (!out || walk_items(value, [&](PyObject* k, PyObject* v) {
                Ref enc = Ref::steal(child(v));
                return enc ? PyDict_SetItem(out.get(), k, enc.get()) : -1;
            }) < 0)
            return Ref();
        return out;
    }
    // value.items() of a plain dict, without a tuple per entry.
    const Py_ssize_t size = PyDict_GET_SIZE(value);
    Ref out = Ref::steal(_PyDict_NewPresized(size));
    if (!out) return out;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(value, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), item = Ref::borrow(v);
        Ref enc = Ref::steal(child(item.get()));
        if (!enc || PyDict_SetItem(out.get(), key.get(), enc.get()) < 0) return Ref();
        if (PyDict_GET_SIZE(value) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return Ref();
        }
    }
    return out;
}

}  // namespace ser
}  // namespace com_like
