// The native method object and the argument binder.
#include "function.h"

#include <structmember.h>

namespace com_like {

namespace {

// ---------------------------------------------------------------- errors

int count_error(const FuncSpec& spec, Py_ssize_t given) {
    const bool exact = spec.nrequired == spec.nparams && !spec.varargs;
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < spec.nrequired) {
        expected = spec.nrequired;
        more_or_less = exact ? "exactly" : "at least";
    } else {
        expected = spec.nparams;
        more_or_less = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 more_or_less, expected, (expected == 1) ? "" : "s", given);
    return -1;
}

int type_error(const char* param, PyTypeObject* expected, PyObject* got) {
    if (expected != &PyLong_Type && PyObject_TypeCheck(got, expected)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are not accepted here; pass an exact %.200s.",
                     param, expected->tp_name, Py_TYPE(got)->tp_name, expected->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     expected->tp_name, Py_TYPE(got)->tp_name);
    }
    return -1;
}

bool has_number_conversion(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}

int check_params(FuncSpec& spec, Bound& b) {
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject* o = b.v[i];
        switch (spec.params[i].check) {
            case Check::Any:
                break;
            case Check::Dict:
                if (!PyDict_CheckExact(o)) return type_error(spec.params[i].name, &PyDict_Type, o);
                break;
            case Check::Str:
                if (!PyUnicode_CheckExact(o)) return type_error(spec.params[i].name, &PyUnicode_Type, o);
                break;
            case Check::Int:
                if (!PyLong_CheckExact(o)) {
                    if (!has_number_conversion(o)) return type_error(spec.params[i].name, &PyLong_Type, o);
                    Ref conv = Ref::steal(PyNumber_Long(o));
                    if (!conv) return -1;
                    b.v[i] = conv.get();
                    b.owned[i] = std::move(conv);
                }
                break;
            case Check::Double:
                if (!PyFloat_CheckExact(o)) {
                    double d = PyFloat_AsDouble(o);
                    if (d == -1.0 && PyErr_Occurred()) return -1;
                    Ref conv = Ref::steal(PyFloat_FromDouble(d));
                    if (!conv) return -1;
                    b.v[i] = conv.get();
                    b.owned[i] = std::move(conv);
                }
                break;
        }
    }
    return 0;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace

// ---------------------------------------------------------------- binder

namespace {

// The positional tier: values by position, *args collected, **kwargs made
// empty. Returns the number of parameters filled, or -1 with an error set.
Py_ssize_t bind_positional(FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Bound& b) {
    const int np = spec.nparams;
    Py_ssize_t npos = nargs;
    if (nargs > np) {
        if (!spec.varargs) return count_error(spec, nargs);
        npos = np;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) b.v[i] = args[i];
    for (Py_ssize_t i = npos; i < np; ++i) b.v[i] = nullptr;
    if (spec.varargs) {
        b.varargs = Ref::steal(PyTuple_New(nargs - npos));
        if (!b.varargs) return -1;
        for (Py_ssize_t i = npos; i < nargs; ++i) PyTuple_SET_ITEM(b.varargs.get(), i - npos, Ref::borrow(args[i]).release());
    }
    if (spec.varkw) {
        b.varkw = Ref::steal(PyDict_New());
        if (!b.varkw) return -1;
    }
    return npos;
}

// One keyword that fills no parameter left open: a repeated positional, or
// one for **kwargs, or an error. 0 or -1.
int bind_extra_keyword(FuncSpec& spec, Py_ssize_t npos, PyObject* key, PyObject* value, Bound& b) {
    for (int i = 0; i < npos; ++i) {
        if (same_name(spec.interned[i], key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
            return -1;
        }
    }
    if (!spec.varkw) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
        return -1;
    }
    return PyDict_SetItem(b.varkw.get(), key, value);
}

// The keyword tier. Required parameters not given by position come from the
// keywords first; the first one missing is reported with the count filled so
// far. Then every keyword is checked against the parameters in order.
int bind_keywords(FuncSpec& spec, PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t npos, Bound& b) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    const int np = spec.nparams;
    for (int i = (int)npos; i < np; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (same_name(spec.interned[i], PyTuple_GET_ITEM(kwnames, k))) {
                b.v[i] = kwvalues[k];
                break;
            }
        }
        if (!b.v[i] && i < spec.nrequired) return count_error(spec, i);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        bool found = false;
        for (int i = (int)npos; i < np && !found; ++i) found = same_name(spec.interned[i], key);
        if (!found && bind_extra_keyword(spec, npos, key, kwvalues[k], b) < 0) return -1;
    }
    return 0;
}

}  // namespace

int bind_args(FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames, Bound& b) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t npos = bind_positional(spec, args, nargs, b);
    if (npos < 0) return -1;
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (npos < spec.nrequired) return count_error(spec, npos);
    } else if (bind_keywords(spec, args + nargs, kwnames, npos, b) < 0) {
        return -1;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        if (!b.v[i]) b.v[i] = spec.defaults[i];
    }
    return check_params(spec, b);
}

New call_native(FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs) {
    Bound b;
    if (bind_args(spec, args, (size_t)nargs, nullptr, b) < 0) return nullptr;
    return spec.impl(spec, b);
}

Ref call_rebindable(PyObject* fn, FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Ref varargs, Ref varkw) {
    const bool rest = varargs || varkw;
    if (is_our_function(fn, spec)) {
        if (!rest) return Ref::steal(call_native(spec, args, nargs));
        Bound b;
        for (Py_ssize_t i = 0; i < nargs; ++i) b.v[i] = args[i];
        b.varargs = std::move(varargs);
        b.varkw = std::move(varkw);
        return Ref::steal(spec.impl(spec, b));
    }
    if (!rest) return Ref::steal(PyObject_Vectorcall(fn, args, (size_t)nargs, nullptr));
    const Py_ssize_t nvar = varargs ? PyTuple_GET_SIZE(varargs.get()) : 0;
    Ref all = Ref::steal(PyTuple_New(nargs + nvar));
    if (!all) return all;
    for (Py_ssize_t i = 0; i < nargs + nvar; ++i) {
        PyObject* o = i < nargs ? args[i] : PyTuple_GET_ITEM(varargs.get(), i - nargs);
        PyTuple_SET_ITEM(all.get(), i, Ref::borrow(o).release());
    }
    return Ref::steal(PyObject_Call(fn, all.get(), varkw.get()));
}

// ---------------------------------------------------------------- spec setup

namespace {

int prepare(FuncSpec& spec) {
    if (spec.interned[0] || spec.nparams == 0) return 0;
    spec.nrequired = 0;
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        spec.interned[i] = PyUnicode_InternFromString(p.name);
        if (!spec.interned[i]) return -1;
        PyObject* d = nullptr;
        switch (p.dflt) {
            case Default::Required:
                spec.nrequired = i + 1;
                break;
            case Default::None:
                d = Py_None;
                Py_INCREF(d);
                break;
            case Default::False:
                d = Py_False;
                Py_INCREF(d);
                break;
            case Default::True:
                d = Py_True;
                Py_INCREF(d);
                break;
            case Default::Float:
                d = PyFloat_FromDouble(p.float_value);
                if (!d) return -1;
                break;
        }
        spec.defaults[i] = d;
    }
    return 0;
}

// ---------------------------------------------------------------- method object

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature;  // built on first request
    PyObject* dict;
    PyObject* weakrefs;  // weakly referable, as Python functions are (weakref.WeakMethod)
};

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vector_entry(*reinterpret_cast<MethodObject*>(self)->spec, args, nargsf, kwnames).release();
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(m->annotations);
    Py_VISIT(m->signature);
    Py_VISIT(m->dict);
    Py_VISIT(m->doc);
    return 0;
}

int method_clear(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->doc);
    return 0;
}

void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", m->qualname, self);
}

Ref build_signature(MethodObject* m) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return Ref();
    Ref parameter = getattr(inspect.get(), Ref::steal(PyUnicode_FromString("Parameter")).get());
    if (!parameter) return Ref();
    Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_cls) return Ref();
    const FuncSpec& spec = *m->spec;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return Ref();
    auto add = [&](PyObject* name, const char* kind_name, PyObject* dflt, const char* annotation) -> int {
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name));
        if (!kind) return -1;
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return -1;
        if (dflt && PyDict_SetItemString(kwargs.get(), "default", dflt) < 0) return -1;
        if (annotation) {
            Ref ann = Ref::steal(PyUnicode_FromString(annotation));
            if (!ann || PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return -1;
        }
        Ref argtuple = Ref::steal(PyTuple_Pack(2, name, kind.get()));
        if (!argtuple) return -1;
        Ref p = Ref::steal(PyObject_Call(parameter.get(), argtuple.get(), kwargs.get()));
        if (!p) return -1;
        return PyList_Append(params.get(), p.get());
    };
    for (int i = 0; i < spec.nparams; ++i) {
        if (add(spec.interned[i], "POSITIONAL_OR_KEYWORD", spec.defaults[i], spec.params[i].annotation) < 0)
            return Ref();
    }
    if (spec.varargs) {
        Ref n = Ref::steal(PyUnicode_FromString("args"));
        if (!n || add(n.get(), "VAR_POSITIONAL", nullptr, nullptr) < 0) return Ref();
    }
    if (spec.varkw) {
        Ref n = Ref::steal(PyUnicode_FromString("kwargs"));
        if (!n || add(n.get(), "VAR_KEYWORD", nullptr, nullptr) < 0) return Ref();
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return Ref();
    if (spec.return_annotation) {
        Ref ann = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!ann || PyDict_SetItemString(kwargs.get(), "return_annotation", ann.get()) < 0) return Ref();
    }
    Ref argtuple = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!argtuple) return Ref();
    return Ref::steal(PyObject_Call(signature_cls.get(), argtuple.get(), kwargs.get()));
}

PyObject* method_get_signature(PyObject* self, void*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!m->signature) {
        m->signature = build_signature(m).release();
        if (!m->signature) return nullptr;
    }
    Py_INCREF(m->signature);
    return m->signature;
}

PyObject* method_get_annotations(PyObject* self, void*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_INCREF(m->annotations);
    return m->annotations;
}

int method_set_annotations(PyObject* self, PyObject* value, void*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(m->annotations, value);
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
    PyVarObject_HEAD_INIT(nullptr, 0) "com_like.function",
};

Ref make_annotations(const FuncSpec& spec) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (int i = 0; i < spec.nparams; ++i) {
        if (!spec.params[i].annotation) continue;
        Ref a = Ref::steal(PyUnicode_FromString(spec.params[i].annotation));
        if (!a || PyDict_SetItem(d.get(), spec.interned[i], a.get()) < 0) return Ref();
    }
    if (spec.return_annotation) {
        Ref a = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!a || PyDict_SetItemString(d.get(), "return", a.get()) < 0) return Ref();
    }
    return d;
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

New make_method(FuncSpec& spec) {
    if (prepare(spec) < 0) return New();
    auto* m = PyObject_GC_New(MethodObject, &MethodType);
    if (!m) return New();
    m->vectorcall = method_vectorcall;
    m->spec = &spec;
    m->name = PyUnicode_InternFromString(spec.name);
    m->qualname = spec.owner ? PyUnicode_FromFormat("%s.%s", spec.owner, spec.name) : (Py_XINCREF(m->name), m->name);
    m->module = P.full_name;
    Py_INCREF(m->module);
    m->doc = PyUnicode_FromString(spec.doc);
    m->annotations = nullptr;
    m->signature = nullptr;
    m->dict = nullptr;
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(m));
    if (!m->name || !m->qualname || !m->doc) return New();
    m->annotations = make_annotations(spec).release();
    if (!m->annotations) return New();
    // The newest object made for a spec is the one the fast paths recognise.
    Py_XSETREF(spec.object, Ref::borrow(self.get()).release());
    return New(self.release());
}

New make_static_method(FuncSpec& spec) {
    Ref f = Ref::steal(make_method(spec));
    if (!f) return New();
    return New(PyStaticMethod_New(f.get()));
}

New vector_entry(FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Bound b;
    if (bind_args(spec, args, nargsf, kwnames, b) < 0) return nullptr;
    return spec.impl(spec, b);
}

New make_builtin(FuncSpec& spec, PyMethodDef& def, FastEntry entry) {
    if (prepare(spec) < 0) return New();
    def.ml_name = spec.name;
    def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
    def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def.ml_doc = spec.doc;
    Ref f = Ref::steal(PyCFunction_NewEx(&def, nullptr, P.full_name));
    if (!f) return New();
    Py_XSETREF(spec.object, Ref::borrow(f.get()).release());
    return New(f.release());
}

New build_class(const char* name, PyObject* base, const char* doc, const Member* members, int nmembers) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return New();
    Ref qual = Ref::steal(PyUnicode_InternFromString(name));
    Ref docstr = Ref::steal(PyUnicode_FromString(doc));
    if (!qual || !docstr) return New();
    if (PyDict_SetItem(ns.get(), N.dunder_module, P.full_name) < 0 ||
        PyDict_SetItem(ns.get(), N.dunder_qualname, qual.get()) < 0 ||
        PyDict_SetItem(ns.get(), N.dunder_doc, docstr.get()) < 0)
        return New();
    for (int i = 0; i < nmembers; ++i) {
        const Member& mem = members[i];
        Ref f = Ref::steal(mem.is_static ? make_static_method(*mem.spec) : make_method(*mem.spec));
        if (!f || PyDict_SetItemString(ns.get(), mem.name, f.get()) < 0) return New();
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    if (!bases) return New();
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), qual.get(),
                                                      bases.get(), ns.get(), nullptr));
    if (!cls) return New();
    for (int i = 0; i < nmembers; ++i) {
        Py_XSETREF(members[i].spec->defining_class, Ref::borrow(cls.get()).release());
    }
    return New(cls.release());
}

}  // namespace com_like
