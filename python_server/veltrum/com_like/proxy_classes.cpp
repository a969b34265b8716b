// The three proxy classes: OfficeJsObject, OfficeJsArray and OfficeJsDict.
// Their attribute methods forward to the proxy operations through the module
// globals (proxies.cpp).
#include "function.h"
#include "proxies.h"
#include "subsystems.h"

namespace com_like {
namespace {

constexpr const char kNoClassCell[] = "super(): __class__ cell not found";
constexpr const char kArrayIsReadOnly[] = "Cannot set attributes on OfficeJsArray";
constexpr const char kDictIsReadOnly[] = "Cannot set attributes on OfficeJsDict";
constexpr const char kObjectReprFormat[] = "<OfficeJsObject %U id=%U>";
constexpr const char kArrayReprFormat[] = "<OfficeJsArray id=%U len=%zd>";
constexpr const char kDictReprFormat[] = "<OfficeJsDict id=%U keys=%S>";

// A failure leaves the proxy methods with the module's own frames cut off.
New trimmed(Ref r) { return r ? r.transfer() : reraise_trimmed(); }

// ------------------------------------------------------------------ shared by the three classes

New proxy_forward_getattr(const FuncSpec&, Bound& a) { return trimmed(proxy_getattr(a.v[0], a.v[1])); }

New proxy_forward_getitem(const FuncSpec&, Bound& a) { return trimmed(proxy_getitem(a.v[0], a.v[1])); }

New proxy_forward_setattr(const FuncSpec&, Bound& a) { return trimmed(proxy_setattr(a.v[0], a.v[1], a.v[2])); }

New proxy_forward_call(const FuncSpec&, Bound& a) {
    // The keyword dict from binding is already our own copy.
    return trimmed(proxy_call(a.v[0], std::move(a.varargs), std::move(a.varkw)));
}

New proxy_forward_del(const FuncSpec&, Bound& a) { return trimmed(proxy_del(a.v[0])); }

// The id of a proxy as format(id, "") gives it.
Ref id_text(PyObject* self) {
    Ref oid = getattr(self, N._internal_id);
    if (!oid) return oid;
    return format_empty(oid.get());
}

// The base initialiser, run as super(<defining class>, self).__init__() runs it.
int run_base_init(const FuncSpec& spec, PyObject* self, PyTypeObject* base) {
    PyObject* cls = spec.defining_class;
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, kNoClassCell);
        return -1;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == cls) {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return -1;
        return base->tp_init(self, empty.get(), nullptr);
    }
    Ref sup = call2(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
    Ref init = sup ? getattr(sup.get(), N.dunder_init) : Ref();
    Ref r = init ? call0(init.get()) : Ref();
    return r ? 0 : -1;
}

// ------------------------------------------------------------------ OfficeJsObject

New object_init(const FuncSpec&, Bound& a) {
    if (set_identity(a.v[0], a.v[1], a.v[2], N.officejs_object, true) < 0) return nullptr;
    return none();
}

New object_repr(const FuncSpec&, Bound& a) {
    Ref tname = getattr(a.v[0], N._internal_typeName);
    Ref ttext = tname ? format_empty(tname.get()) : Ref();
    Ref itext = ttext ? id_text(a.v[0]) : Ref();
    if (!itext) return nullptr;
    return New(PyUnicode_FromFormat(kObjectReprFormat, ttext.get(), itext.get()));
}

const Param kObjectInitParams[] = {{"self"},
                                   {"object_id", Check::Int, Default::Required, "int"},
                                   {"type_name", Check::Str, Default::Required, "str"}};
const Param kArrayInitParams[] = {{"self"}, {"object_id", Check::Int, Default::Required, "int"}};

FuncSpec object_init_spec{"__init__", "OfficeJsObject",
                          "OfficeJsObject.__init__(self, int object_id: int, str type_name: str)", object_init,
                          kObjectInitParams};
FuncSpec object_getattr_spec{"__getattr__", "OfficeJsObject", "OfficeJsObject.__getattr__(self, str name: str)",
                             proxy_forward_getattr, kSelfNameParams};
FuncSpec object_getitem_spec{"__getitem__", "OfficeJsObject", "OfficeJsObject.__getitem__(self, index)",
                             proxy_forward_getitem, kSelfIndexParams};
FuncSpec object_setattr_spec{"__setattr__", "OfficeJsObject", "OfficeJsObject.__setattr__(self, str name: str, value)",
                             proxy_forward_setattr, kSelfNameValueParams};
FuncSpec object_call_spec{"__call__", "OfficeJsObject", "OfficeJsObject.__call__(self, *args, **kwargs)",
                          proxy_forward_call, kSelfParams, kStarArgs};
FuncSpec object_del_spec{"__del__", "OfficeJsObject", "OfficeJsObject.__del__(self)", proxy_forward_del, kSelfParams};
FuncSpec object_repr_spec{"__repr__", "OfficeJsObject", "OfficeJsObject.__repr__(self)", object_repr, kSelfParams};

// ------------------------------------------------------------------ OfficeJsArray

New array_init(const FuncSpec& spec, Bound& a) {
    if (run_base_init(spec, a.v[0], &PyList_Type) < 0) return nullptr;
    if (set_identity(a.v[0], a.v[1], N.Array, N.officejs_array, true) < 0) return nullptr;
    return none();
}

New array_setattr(const FuncSpec&, Bound&) {
    return raise(PyExc_AttributeError, kArrayIsReadOnly);
}

New array_repr(const FuncSpec&, Bound& a) {
    Ref itext = id_text(a.v[0]);
    if (!itext) return nullptr;
    Py_ssize_t n = PyObject_Size(a.v[0]);
    if (n < 0) return nullptr;
    return New(PyUnicode_FromFormat(kArrayReprFormat, itext.get(), n));
}

FuncSpec array_init_spec{"__init__", "OfficeJsArray", "OfficeJsArray.__init__(self, int object_id: int)", array_init,
                         kArrayInitParams};
FuncSpec array_getattr_spec{"__getattr__", "OfficeJsArray", "OfficeJsArray.__getattr__(self, str name: str)",
                            proxy_forward_getattr, kSelfNameParams};
FuncSpec array_setattr_spec{"__setattr__", "OfficeJsArray", "OfficeJsArray.__setattr__(self, str name: str, value)",
                            array_setattr, kSelfNameValueParams};
FuncSpec array_call_spec{"__call__", "OfficeJsArray", "OfficeJsArray.__call__(self, *args, **kwargs)",
                         proxy_forward_call, kSelfParams, kStarArgs};
FuncSpec array_del_spec{"__del__", "OfficeJsArray", "OfficeJsArray.__del__(self)", proxy_forward_del, kSelfParams};
FuncSpec array_repr_spec{"__repr__", "OfficeJsArray", "OfficeJsArray.__repr__(self)", array_repr, kSelfParams};

// ------------------------------------------------------------------ OfficeJsDict

New dict_init(const FuncSpec& spec, Bound& a) {
    if (run_base_init(spec, a.v[0], &PyDict_Type) < 0) return nullptr;
    if (set_identity(a.v[0], a.v[1], N.Dict, N.officejs_dict, true) < 0) return nullptr;
    return none();
}

// A key of the dict reads as an attribute; anything else is a GET.
New dict_getattr(const FuncSpec& spec, Bound& a) {
    int has = PySequence_Contains(a.v[0], a.v[1]);
    if (has < 0) return nullptr;
    if (has) return New(PyObject_GetItem(a.v[0], a.v[1]));
    return proxy_forward_getattr(spec, a);
}

New dict_setattr(const FuncSpec&, Bound& a) {
    int has = PySequence_Contains(a.v[0], a.v[1]);
    if (has < 0) return nullptr;
    if (!has) return raise(PyExc_AttributeError, kDictIsReadOnly);
    if (PyObject_SetItem(a.v[0], a.v[1], a.v[2]) < 0) return nullptr;
    return none();
}

New dict_repr(const FuncSpec&, Bound& a) {
    Ref itext = id_text(a.v[0]);
    if (!itext) return nullptr;
    Ref keys = call_method(a.v[0], N.keys);
    Ref lst = keys ? Ref::steal(PySequence_List(keys.get())) : Ref();
    if (!lst) return nullptr;
    return New(PyUnicode_FromFormat(kDictReprFormat, itext.get(), lst.get()));
}

FuncSpec dict_init_spec{"__init__", "OfficeJsDict", "OfficeJsDict.__init__(self, int object_id: int)", dict_init,
                        kArrayInitParams};
FuncSpec dict_getattr_spec{"__getattr__", "OfficeJsDict", "OfficeJsDict.__getattr__(self, str name: str)",
                           dict_getattr, kSelfNameParams};
FuncSpec dict_setattr_spec{"__setattr__", "OfficeJsDict", "OfficeJsDict.__setattr__(self, str name: str, value)",
                           dict_setattr, kSelfNameValueParams};
FuncSpec dict_call_spec{"__call__", "OfficeJsDict", "OfficeJsDict.__call__(self, *args, **kwargs)", proxy_forward_call,
                        kSelfParams, kStarArgs};
FuncSpec dict_del_spec{"__del__", "OfficeJsDict", "OfficeJsDict.__del__(self)", proxy_forward_del, kSelfParams};
FuncSpec dict_repr_spec{"__repr__", "OfficeJsDict", "OfficeJsDict.__repr__(self)", dict_repr, kSelfParams};

// ------------------------------------------------------------------ the module body

template <size_t N>
int bind_class(PyObject* ns, PyObject* name, const char* cname, PyTypeObject* base, const char* doc,
               const Member (&members)[N]) {
    Ref cls = Ref::steal(build_class(cname, reinterpret_cast<PyObject*>(base), doc, members));
    if (!cls || use_fast_getattr_fallback(cls.get()) < 0) return -1;
    return PyDict_SetItem(ns, name, cls.get());
}

}  // namespace

int body_proxy_classes(PyObject* ns) {
    const Member object_members[] = {{"__init__", &object_init_spec},       {"__getattr__", &object_getattr_spec},
                                     {"__getitem__", &object_getitem_spec}, {"__setattr__", &object_setattr_spec},
                                     {"__call__", &object_call_spec},       {"__del__", &object_del_spec},
                                     {"__repr__", &object_repr_spec}};
    if (bind_class(ns, N.mod_OfficeJsObject, "OfficeJsObject", &PyBaseObject_Type,
                   "\n    Dynamic proxy class for Office.js objects.\n\n"
                   "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
                   "    operations to the Office.js Add-in via WebSocket.\n    ",
                   object_members) < 0)
        return -1;
    const Member array_members[] = {{"__init__", &array_init_spec}, {"__getattr__", &array_getattr_spec},
                                    {"__setattr__", &array_setattr_spec}, {"__call__", &array_call_spec},
                                    {"__del__", &array_del_spec},   {"__repr__", &array_repr_spec}};
    if (bind_class(ns, N.mod_OfficeJsArray, "OfficeJsArray", &PyList_Type,
                   "Specialized proxy for arrays returned from Office.js.", array_members) < 0)
        return -1;
    const Member dict_members[] = {{"__init__", &dict_init_spec}, {"__getattr__", &dict_getattr_spec},
                                   {"__setattr__", &dict_setattr_spec}, {"__call__", &dict_call_spec},
                                   {"__del__", &dict_del_spec},   {"__repr__", &dict_repr_spec}};
    return bind_class(ns, N.mod_OfficeJsDict, "OfficeJsDict", &PyDict_Type,
                      "Specialized proxy for dictionaries returned from Office.js.", dict_members);
}

}  // namespace com_like
