// Unpacking of the pairs of a mapping's items() for the serializer's walks.
#include "serializer/serializer_walk.h"

namespace com_like {
namespace ser {

int unpack_pair(PyObject* pair, Ref& k, Ref& v) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        k = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        v = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        return -1;
    }
    Ref* const slots[2] = {&k, &v};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    // Like the statement, one more item is asked for, not the whole rest.
    if (Ref::steal(PyIter_Next(it.get()))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace ser
}  // namespace com_like
