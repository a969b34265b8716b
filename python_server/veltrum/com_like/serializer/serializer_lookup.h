// Look-ups of one serializer call: module globals and library attributes
// cached for the call (a list of 100,000 elements pays for each once, while
// a global rebound between two calls takes effect at the next one), type
// tests that skip what cannot change their answer, and the choice between
// our own function and a replacement for nested values.
#pragma once

#include "functions/function.h"
#include "base/globals.h"

namespace com_like {
namespace ser {

// A lazily looked-up value: a module global, or an attribute of another one.
// Both lend what the slot holds; empty with an error set on failure.
inline Borrowed global_slot(Ref& slot, PyObject* name) {
    if (!slot) slot = get_global(name);
    return Borrowed(slot.get());
}
inline Borrowed attr_slot(Ref& slot, Ref& owner, PyObject* owner_name, PyObject* attr) {
    if (!slot) {
        Borrowed o = global_slot(owner, owner_name);
        if (!o) return o;
        slot = getattr(o.get(), attr);
    }
    return Borrowed(slot.get());
}

// Built-in types whose instances always report their own type as
// __class__ and whose bases are fixed: object, and int for bool.
inline bool plain_class(PyTypeObject* tp) {
    return tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyUnicode_Type || tp == &PyList_Type ||
           tp == &PyDict_Type || tp == &PyTuple_Type || tp == &PyBool_Type || tp == &PyBytes_Type ||
           tp == Py_TYPE(Py_None);
}

// isinstance(value, cls) for a value of one of those types, answered from
// the fixed bases when cls is a plain class (no __instancecheck__ to run).
inline int plain_is_instance(PyObject* value, PyTypeObject* tp, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(tp) == cls) return 1;
    if (PyType_CheckExact(cls))
        return cls == reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
               (tp == &PyBool_Type && cls == reinterpret_cast<PyObject*>(&PyLong_Type));
    return PyObject_IsInstance(value, cls);
}

// isinstance() returning 1, 0 or -1, without the __class__ look-up where
// it cannot change the answer.
inline int is_instance(PyObject* value, PyObject* cls) {
    PyTypeObject* tp = Py_TYPE(value);
    if (plain_class(tp)) return plain_is_instance(value, tp, cls);
    if (reinterpret_cast<PyObject*>(tp) == cls) return 1;
    return PyObject_IsInstance(value, cls);
}

// Serializer.<attr> for nested values, decided at the first one: our own
// function runs natively, a replacement is called.
struct ChildCall {
    Ref serializer, fn;
    int native = -1;  // unknown until the first nested value

    // 1 native, 0 a replacement in `fn`, -1 error.
    int resolve(PyObject* attr, const FuncSpec& spec) {
        if (native >= 0) return native;
        Borrowed ser = global_slot(serializer, N.mod_Serializer);
        if (!ser) return -1;
        fn = getattr(ser.get(), attr);
        if (!fn) return -1;
        return native = is_our_function(fn.get(), spec) ? 1 : 0;
    }
};

// The specs of Serializer.to_wire and Serializer.from_wire.
const FuncSpec& to_wire_spec();
const FuncSpec& from_wire_spec();

// The bodies of the two: a new reference, or null with an error set.
New encode_wire(PyObject* value);
New decode_wire(PyObject* wire);

}  // namespace ser
}  // namespace com_like
