// The objects made for the native functions: a method object that binds like
// a Python function, the module-level built-ins, and the class builder.
#include "functions/function.h"

#include <structmember.h>

#include <cstring>

namespace com_like {

namespace {

constexpr char kMethodTypeName[] = "com_like.function";
constexpr char kMethodRepr[] = "<function %U at %p>";
constexpr char kQualnameFormat[] = "%s.%s";
constexpr char kAnnotationsNotDict[] = "__annotations__ must be set to a dict object";
constexpr char kForeignMethod[] = "method %s of %s listed in class %s";
constexpr char kNoOwner[] = "the module";

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the binder tier, chosen when made
    const FuncSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature;  // built on first request
    PyObject* dict;
    PyObject* weakrefs;  // weakly referable, as Python functions are (weakref.WeakMethod)
};

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vector_entry(*as_method(self)->spec, args, nargsf, kwnames).release();
}

PyObject* method_vectorcall_positional(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return positional_entry(*as_method(self)->spec, args, nargsf, kwnames).release();
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* m = as_method(self);
    Py_VISIT(m->annotations);
    Py_VISIT(m->signature);
    Py_VISIT(m->dict);
    Py_VISIT(m->doc);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->doc);
    return 0;
}

void method_dealloc(PyObject* self) {
    MethodObject* m = as_method(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) { return PyUnicode_FromFormat(kMethodRepr, as_method(self)->qualname, self); }

PyObject* method_get_signature(PyObject* self, void*) {
    MethodObject* m = as_method(self);
    if (!m->signature) m->signature = function_signature(*m->spec).release();
    return Py_XNewRef(m->signature);
}

PyObject* method_get_annotations(PyObject* self, void*) { return Py_NewRef(as_method(self)->annotations); }

int method_set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kAnnotationsNotDict);
        return -1;
    }
    store_strong(as_method(self)->annotations, Ref::borrow(value));
    return 0;
}

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__annotations__", method_get_annotations, method_set_annotations, nullptr, nullptr},
    {"__signature__", method_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject MethodType = {
    PyVarObject_HEAD_INIT(nullptr, 0) kMethodTypeName,
};

// The name of a function and its qualified name.
int method_names(const FuncSpec& spec, Ref& name, Ref& qualname) {
    name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) return -1;
    qualname = spec.owner ? Ref::steal(PyUnicode_FromFormat(kQualnameFormat, spec.owner, spec.name))
                          : Ref::borrow(name.get());
    return qualname ? 0 : -1;
}

// Makes the newest function object for `spec` the one the fast paths recognise.
New record_object(const FuncSpec& spec, Ref f) {
    store_strong(spec.state().object, Ref::borrow(f.get()));
    return New(f.release());
}

// A class namespace with __module__, __qualname__ and __doc__.
Ref class_namespace(PyObject* qualname, const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    Ref docstr = ns ? Ref::steal(PyUnicode_FromString(doc)) : Ref();
    if (!docstr || PyDict_SetItem(ns.get(), N.dunder_module, P.full_name) < 0 ||
        PyDict_SetItem(ns.get(), N.dunder_qualname, qualname) < 0 ||
        PyDict_SetItem(ns.get(), N.dunder_doc, docstr.get()) < 0)
        return Ref();
    return ns;
}

// The method object of `member` in the namespace of class `cls_name`, under
// its own name.
int add_method(PyObject* ns, const char* cls_name, const Member& member) {
    const FuncSpec& spec = *member.spec;
    // Its __qualname__ names its owner: a method listed in another class would lie.
    if (!spec.owner || std::strcmp(spec.owner, cls_name) != 0) {
        PyErr_Format(PyExc_SystemError, kForeignMethod, spec.name, spec.owner ? spec.owner : kNoOwner, cls_name);
        return -1;
    }
    Ref f = Ref::steal(member.is_static ? make_static_method(spec) : make_method(spec));
    return f ? PyDict_SetItemString(ns, spec.name, f.get()) : -1;
}

}  // namespace

int init_function_type(PyObject*) {
    if (MethodType.tp_flags & Py_TPFLAGS_READY) return 0;
    MethodType.tp_basicsize = sizeof(MethodObject);
    MethodType.tp_dealloc = method_dealloc;
    MethodType.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    MethodType.tp_repr = method_repr;
    MethodType.tp_call = PyVectorcall_Call;
    MethodType.tp_getattro = PyObject_GenericGetAttr;
    MethodType.tp_setattro = PyObject_GenericSetAttr;
    MethodType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                          Py_TPFLAGS_HAVE_VECTORCALL;
    MethodType.tp_traverse = method_traverse;
    MethodType.tp_clear = method_clear;
    MethodType.tp_members = method_members;
    MethodType.tp_getset = method_getset;
    MethodType.tp_descr_get = method_descr_get;
    MethodType.tp_dictoffset = offsetof(MethodObject, dict);
    MethodType.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    return PyType_Ready(&MethodType);
}

New make_method(const FuncSpec& spec) {
    Ref name, qualname;
    if (function_state_init(spec) < 0 || method_names(spec, name, qualname) < 0) return New();
    Ref annotations = function_annotations(spec);
    if (!annotations) return New();
    MethodObject* m = PyObject_GC_New(MethodObject, &MethodType);
    if (!m) return New();
    m->vectorcall = spec.by_position ? method_vectorcall_positional : method_vectorcall;
    m->spec = &spec;
    m->name = name.release();
    m->qualname = qualname.release();
    m->module = Py_NewRef(P.full_name);
    m->doc = Py_NewRef(spec.state().doc);
    m->annotations = annotations.release();
    m->signature = nullptr;
    m->dict = nullptr;
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    return record_object(spec, Ref::steal(reinterpret_cast<PyObject*>(m)));
}

New make_static_method(const FuncSpec& spec) {
    Ref f = Ref::steal(make_method(spec));
    if (!f) return New();
    return New(PyStaticMethod_New(f.get()));
}

New make_builtin(const FuncSpec& spec, FastEntry entry) {
    if (function_state_init(spec) < 0) return New();
    FunctionState& st = spec.state();
    const char* doc = PyUnicode_AsUTF8(st.doc);  // kept by st.doc for the life of the process
    if (!doc) return New();
    st.def.ml_name = spec.name;
    st.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
    st.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    st.def.ml_doc = doc;
    Ref f = Ref::steal(PyCFunction_NewEx(&st.def, nullptr, P.full_name));
    if (!f) return New();
    return record_object(spec, std::move(f));
}

New build_class(const char* name, PyObject* base, const char* doc, const Member* members, int nmembers) {
    Ref qual = Ref::steal(PyUnicode_InternFromString(name));
    Ref ns = qual ? class_namespace(qual.get(), doc) : Ref();
    if (!ns) return New();
    for (int i = 0; i < nmembers; ++i) {
        if (add_method(ns.get(), name, members[i]) < 0) return New();
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    if (!bases) return New();
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), qual.get(),
                                                      bases.get(), ns.get(), nullptr));
    if (!cls) return New();
    for (int i = 0; i < nmembers; ++i) {
        store_strong(members[i].spec->state().defining_class, Ref::borrow(cls.get()));
    }
    return New(cls.release());
}

}  // namespace com_like
