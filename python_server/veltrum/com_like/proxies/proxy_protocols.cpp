// The proxies under Python's own protocols: attribute probes, the failed-read
// exception, and copying and pickling of array and dict proxies.
#include "messaging/messaging.h"
#include "proxies/proxies.h"
#include "base/subsystems.h"

namespace com_like {
namespace {

// (cls, (items,)): made again as cls(items).
constexpr const char kReduceFormat[] = "(O(O))";
constexpr const char kCopyreg[] = "copyreg";
constexpr const char kCopyregPickle[] = "pickle";
// OfficeJsAttributeError, under the module's dotted name.
constexpr const char kAttributeErrorFormat[] = "%s.OfficeJsAttributeError";
constexpr const char kAttributeErrorDoc[] =
    "\n    Raised when the Office.js add-in fails to read an attribute.\n\n"
    "    An AttributeError, so that hasattr() and getattr() with a default\n"
    "    treat the member as absent, and a RuntimeError, like every other\n"
    "    failure the add-in reports.\n    ";
// The reconstructor that unpickling calls, found as com_like.<name>.
constexpr const char kRebuildName[] = "_rebuild_OfficeJsAttributeError";
constexpr const char kRebuildDoc[] =
    "_rebuild_OfficeJsAttributeError(*args)\n--\n\n"
    "Make an OfficeJsAttributeError again from its args (used by pickle).";

// Array and dict proxies copy and pickle as plain lists and dicts of their
// local contents. The default (a new proxy object carrying the same id)
// would make two proxies release one remote object: dropping a copy would
// free the original's object in the add-in.
PyObject* reduce_array(PyObject*, PyObject* proxy) {
    Ref items = Ref::steal(PySequence_List(proxy));
    if (!items) return nullptr;
    return Py_BuildValue(kReduceFormat, reinterpret_cast<PyObject*>(&PyList_Type), items.get());
}

PyObject* reduce_dict(PyObject*, PyObject* proxy) {
    Ref items = Ref::steal(PyDict_New());
    if (!items || PyDict_Update(items.get(), proxy) < 0) return nullptr;
    return Py_BuildValue(kReduceFormat, reinterpret_cast<PyObject*>(&PyDict_Type), items.get());
}

// OfficeJsAttributeError pickles by a reconstructor of the module's short,
// importable name: the class's own dotted name cannot be imported, so the
// default reduction (the class by name) fails, and another process could not
// find the class. (rebuild, args) or (rebuild, args, __dict__) as
// BaseException.__reduce__ gives them.
PyObject* rebuild_attribute_error(PyObject*, PyObject* args) { return PyObject_Call(P.attribute_error, args, nullptr); }

PyObject* reduce_attribute_error(PyObject*, PyObject* exc) {
    Ref args = getattr(exc, N.args);
    Ref state = args ? getattr(exc, N.dunder_dict) : Ref();
    if (!state) return nullptr;
    int has_state = PyObject_IsTrue(state.get());
    if (has_state < 0) return nullptr;
    if (has_state) return PyTuple_Pack(3, P.attribute_error_rebuild, args.get(), state.get());
    return PyTuple_Pack(2, P.attribute_error_rebuild, args.get());
}

PyMethodDef rebuild_def = {kRebuildName, rebuild_attribute_error, METH_VARARGS, kRebuildDoc};

PyMethodDef reducer_defs[] = {
    {"_reduce_OfficeJsArray", reduce_array, METH_O, "Copy and pickle an OfficeJsArray as a plain list."},
    {"_reduce_OfficeJsDict", reduce_dict, METH_O, "Copy and pickle an OfficeJsDict as a plain dict."},
    {"_reduce_OfficeJsAttributeError", reduce_attribute_error, METH_O,
     "Pickle an OfficeJsAttributeError through the module's importable name."},
};

// copyreg.pickle(cls, reducer): the table that copy and pickle consult first.
int register_reducer(PyObject* copyreg, PyObject* cls, PyMethodDef* def) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, P.full_name));
    if (!fn) return -1;
    Ref register_fn = Ref::steal(PyObject_GetAttrString(copyreg, kCopyregPickle));
    return register_fn && call2(register_fn.get(), cls, fn.get()) ? 0 : -1;
}

}  // namespace

Borrowed attribute_error_class() { return Borrowed(P.attribute_error ? P.attribute_error : PyExc_AttributeError); }

int is_local_name(PyObject* name) { return (int)PyUnicode_Tailmatch(name, N.underscore, 0, PY_SSIZE_T_MAX, -1); }

std::nullptr_t reraise_answer_as_attribute_error() {
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        messaging_take_answered_failure(nullptr);
        return nullptr;
    }
    Caught failure = Caught::fetch();
    failure.normalize();
    if (!messaging_take_answered_failure(failure.value())) {
        failure.restore();
        return nullptr;
    }
    // The add-in said the cause is not a missing member: hasattr() must not
    // hide it.
    PyObject* marked = PyObject_GenericGetDict(failure.value(), nullptr);
    if (!marked) PyErr_Clear();
    PyObject* flag = marked && PyDict_CheckExact(marked) ? PyDict_GetItemWithError(marked, N._missingMember) : nullptr;
    Py_XDECREF(marked);
    if (flag == Py_False) {
        failure.restore();
        return nullptr;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    Ref args = getattr(failure.value(), N.args);
    if (!args) return nullptr;
    PyObject* cls = attribute_error_class().get();
    Ref exc = PyTuple_CheckExact(args.get()) ? Ref::steal(PyObject_Call(cls, args.get(), nullptr))
                                             : call1(cls, args.get());
    if (!exc) return nullptr;
    PyErr_SetObject(cls, exc.get());
    return nullptr;
}

int body_python_protocols(PyObject* ns) {
    Ref bases = Ref::steal(PyTuple_Pack(2, PyExc_AttributeError, PyExc_RuntimeError));
    if (!bases) return -1;
    // The dotted name gives the class its __module__, that of the module.
    Ref dotted = Ref::steal(PyUnicode_FromFormat(kAttributeErrorFormat, kFullName));
    const char* dotted_name = dotted ? PyUnicode_AsUTF8(dotted.get()) : nullptr;
    if (!dotted_name) return -1;
    Ref cls = Ref::steal(PyErr_NewExceptionWithDoc(dotted_name, kAttributeErrorDoc, bases.get(), nullptr));
    if (!cls || PyDict_SetItem(ns, N.mod_OfficeJsAttributeError, cls.get()) < 0) return -1;
    store_strong(P.attribute_error, std::move(cls));
    // Its __module__ is the name the module is imported under, so that pickle
    // finds it there in this process and imports it in another.
    Ref short_name = Ref::steal(PyUnicode_FromString(kShortName));
    Ref rebuild = short_name ? Ref::steal(PyCFunction_NewEx(&rebuild_def, nullptr, short_name.get())) : Ref();
    if (!rebuild || PyDict_SetItemString(ns, kRebuildName, rebuild.get()) < 0) return -1;
    store_strong(P.attribute_error_rebuild, std::move(rebuild));

    Ref copyreg = Ref::steal(PyImport_ImportModule(kCopyreg));
    Ref array_cls = copyreg ? get_global(N.mod_OfficeJsArray) : Ref();
    Ref dict_cls = array_cls ? get_global(N.mod_OfficeJsDict) : Ref();
    if (!dict_cls) return -1;
    if (register_reducer(copyreg.get(), array_cls.get(), &reducer_defs[0]) < 0) return -1;
    if (register_reducer(copyreg.get(), dict_cls.get(), &reducer_defs[1]) < 0) return -1;
    return register_reducer(copyreg.get(), P.attribute_error, &reducer_defs[2]);
}

}  // namespace com_like
