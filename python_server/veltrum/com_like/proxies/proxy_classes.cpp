// The three proxy classes: OfficeJsObject, OfficeJsArray and OfficeJsDict.
// Their attribute methods forward to the proxy operations through the module
// globals (proxies.cpp).
#include "functions/function_params.h"
#include "proxies/proxies.h"
#include "base/subsystems.h"

namespace com_like {
namespace {

constexpr const char kNoClassCell[] = "super(): __class__ cell not found";
constexpr const char kArrayIsReadOnly[] = "Cannot set attributes on OfficeJsArray";
constexpr const char kDictIsReadOnly[] = "Cannot set attributes on OfficeJsDict";
constexpr const char kObjectReprFormat[] = "<OfficeJsObject %U id=%U>";
constexpr const char kArrayReprFormat[] = "<OfficeJsArray id=%U len=%zd>";
constexpr const char kDictReprFormat[] = "<OfficeJsDict id=%U keys=%S>";

constexpr const char kObjectDoc[] =
    "\n    Dynamic proxy class for Office.js objects.\n\n"
    "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
    "    operations to the Office.js Add-in via WebSocket.\n    ";
constexpr const char kArrayDoc[] = "Specialized proxy for arrays returned from Office.js.";
constexpr const char kDictDoc[] = "Specialized proxy for dictionaries returned from Office.js.";

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
    PyObject* cls = defining_class(spec).get();
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

constexpr Param kObjectInitParams[] = {{"self"},
                                       {"object_id", Check::Int, kRequired, "int"},
                                       {"type_name", Check::Str, kRequired, "str"}};

constexpr FuncSpec object_init_spec{Fn::object_init, "__init__", "OfficeJsObject", "", object_init,
                                    kObjectInitParams};
constexpr FuncSpec object_getattr_spec{Fn::object_getattr, "__getattr__", "OfficeJsObject", "", proxy_forward_getattr,
                                       kSelfNameParams};
constexpr FuncSpec object_getitem_spec{Fn::object_getitem, "__getitem__", "OfficeJsObject", "", proxy_forward_getitem,
                                       kSelfIndexParams};
constexpr FuncSpec object_setattr_spec{Fn::object_setattr, "__setattr__", "OfficeJsObject", "", proxy_forward_setattr,
                                       kSelfNameValueParams};
constexpr FuncSpec object_call_spec{Fn::object_call, "__call__", "OfficeJsObject", "", proxy_forward_call,
                                    kSelfParams, kStarArgs};
constexpr FuncSpec object_del_spec{Fn::object_del, "__del__", "OfficeJsObject", "", proxy_forward_del, kSelfParams};
constexpr FuncSpec object_repr_spec{Fn::object_repr, "__repr__", "OfficeJsObject", "", object_repr, kSelfParams};

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

constexpr FuncSpec array_init_spec{Fn::array_init, "__init__", "OfficeJsArray", "", array_init, kSelfObjectIdParams};
constexpr FuncSpec array_getattr_spec{Fn::array_getattr, "__getattr__", "OfficeJsArray", "", proxy_forward_getattr,
                                      kSelfNameParams};
constexpr FuncSpec array_setattr_spec{Fn::array_setattr, "__setattr__", "OfficeJsArray", "", array_setattr,
                                      kSelfNameValueParams};
constexpr FuncSpec array_call_spec{Fn::array_call, "__call__", "OfficeJsArray", "", proxy_forward_call, kSelfParams,
                                   kStarArgs};
constexpr FuncSpec array_del_spec{Fn::array_del, "__del__", "OfficeJsArray", "", proxy_forward_del, kSelfParams};
constexpr FuncSpec array_repr_spec{Fn::array_repr, "__repr__", "OfficeJsArray", "", array_repr, kSelfParams};

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

constexpr FuncSpec dict_init_spec{Fn::dict_init, "__init__", "OfficeJsDict", "", dict_init, kSelfObjectIdParams};
constexpr FuncSpec dict_getattr_spec{Fn::dict_getattr, "__getattr__", "OfficeJsDict", "", dict_getattr,
                                     kSelfNameParams};
constexpr FuncSpec dict_setattr_spec{Fn::dict_setattr, "__setattr__", "OfficeJsDict", "", dict_setattr,
                                     kSelfNameValueParams};
constexpr FuncSpec dict_call_spec{Fn::dict_call, "__call__", "OfficeJsDict", "", proxy_forward_call, kSelfParams,
                                  kStarArgs};
constexpr FuncSpec dict_del_spec{Fn::dict_del, "__del__", "OfficeJsDict", "", proxy_forward_del, kSelfParams};
constexpr FuncSpec dict_repr_spec{Fn::dict_repr, "__repr__", "OfficeJsDict", "", dict_repr, kSelfParams};

// ------------------------------------------------------------------ the module body

// Makes the class and binds it under its name, the module global `name`.
template <size_t N>
int bind_class(PyObject* ns, PyObject* name, PyTypeObject* base, const char* doc, const Member (&members)[N]) {
    const char* cname = PyUnicode_AsUTF8(name);
    if (!cname) return -1;
    Ref cls = Ref::steal(build_class(cname, reinterpret_cast<PyObject*>(base), doc, members));
    if (!cls || use_fast_getattr_fallback(cls.get()) < 0) return -1;
    return PyDict_SetItem(ns, name, cls.get());
}

}  // namespace

int body_proxy_classes(PyObject* ns) {
    const Member object_members[] = {{&object_init_spec}, {&object_getattr_spec}, {&object_getitem_spec},
                                     {&object_setattr_spec}, {&object_call_spec}, {&object_del_spec},
                                     {&object_repr_spec}};
    if (bind_class(ns, N.mod_OfficeJsObject, &PyBaseObject_Type, kObjectDoc, object_members) < 0) return -1;
    const Member array_members[] = {{&array_init_spec}, {&array_getattr_spec}, {&array_setattr_spec},
                                    {&array_call_spec}, {&array_del_spec},     {&array_repr_spec}};
    if (bind_class(ns, N.mod_OfficeJsArray, &PyList_Type, kArrayDoc, array_members) < 0) return -1;
    const Member dict_members[] = {{&dict_init_spec}, {&dict_getattr_spec}, {&dict_setattr_spec},
                                   {&dict_call_spec}, {&dict_del_spec},     {&dict_repr_spec}};
    return bind_class(ns, N.mod_OfficeJsDict, &PyDict_Type, kDictDoc, dict_members);
}

}  // namespace com_like
