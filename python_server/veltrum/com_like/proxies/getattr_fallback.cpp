// Attribute reads on the proxy classes without a throw-away AttributeError.
//
// Every proxy GET is a miss of the instance look-up followed by the class's
// __getattr__. Before 3.12 the interpreter's own dispatcher for classes with
// __getattr__ finds the miss by raising an AttributeError (a formatted
// message and an exception object) and clearing it again; that costs about a
// tenth of a whole request. This dispatcher takes the same steps in the same
// order but asks the generic look-up to report the miss without raising.
// Anything unusual (__getattribute__ overridden, __getattr__ gone) goes to the
// interpreter's dispatcher; assigning either name on the class makes the
// interpreter put its own dispatcher back.
#include "proxies/proxies.h"

namespace com_like {

#if PY_VERSION_HEX < 0x030C0000
namespace {

bool generic_getattribute(PyObject* descr) {
    return descr == nullptr ||
           (Py_IS_TYPE(descr, &PyWrapperDescr_Type) &&
            reinterpret_cast<PyWrapperDescrObject*>(descr)->d_wrapped == reinterpret_cast<void*>(PyObject_GenericGetAttr));
}

// getattr(self, name) as the interpreter calls a __getattr__ found on the type.
New call_getattr(PyObject* self, PyObject* getattr, PyObject* name) {
    if (PyType_HasFeature(Py_TYPE(getattr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        // Binding such a descriptor and calling the result is the same as
        // calling it with self in front.
        PyObject* argv[2] = {self, name};
        return New(PyObject_Vectorcall(getattr, argv, 2, nullptr));
    }
    descrgetfunc get = Py_TYPE(getattr)->tp_descr_get;
    if (!get) return New(PyObject_CallOneArg(getattr, name));
    Ref bound = Ref::steal(get(getattr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!bound) return nullptr;
    return New(PyObject_CallOneArg(bound.get(), name));
}

PyObject* getattro(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    Ref getattr = Ref::borrow(_PyType_Lookup(tp, N.dunder_getattr));
    if (!getattr || !generic_getattribute(_PyType_Lookup(tp, N.dunder_getattribute))) {
        return P.saved_getattro(self, name);
    }
    PyObject* res = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (res) return res;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    return call_getattr(self, getattr.get(), name).release();
}

}  // namespace

int use_fast_getattr_fallback(PyObject* cls) {
    if (!PyType_Check(cls)) return 0;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    // Only a class that got the interpreter's __getattr__ dispatcher, i.e. the
    // one of the first class seen (all of ours define __getattr__ alike).
    if (!P.saved_getattro) P.saved_getattro = tp->tp_getattro;
    if (tp->tp_getattro == P.saved_getattro && P.saved_getattro != PyObject_GenericGetAttr) {
        tp->tp_getattro = getattro;
    }
    return 0;
}
#else
int use_fast_getattr_fallback(PyObject*) { return 0; }
#endif

}  // namespace com_like
