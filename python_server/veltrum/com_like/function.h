// Native functions: argument binding with the module's exact error texts, a
// method object that binds like a Python function, and the class builder.
//
// Every function of the module is described by a static `FuncSpec`. The
// binder turns (args, nargs, kwnames) into one borrowed or converted value per
// declared parameter, then calls the FuncSpec's `impl`.
#pragma once

#include <cstdint>

#include "globals.h"

namespace com_like {

enum class Check : uint8_t { Any, Dict, Str, Int, Double };
enum class Default : uint8_t { Required, None, False, True, Float };

struct Param {
    const char* name;
    Check check = Check::Any;
    Default dflt = Default::Required;
    const char* annotation = nullptr;  // stored as a string annotation
    double float_value = 0.0;          // the default of a Default::Float parameter
};

inline constexpr int kMaxParams = 6;

struct FuncSpec;

// Values bound for one call. v[i] is borrowed (from the caller or from the
// spec's defaults) unless a conversion produced it, then `owned[i]` keeps it.
struct Bound {
    PyObject* v[kMaxParams];
    Ref owned[kMaxParams];
    Ref varargs;  // tuple, only for specs with *args
    Ref varkw;    // dict, only for specs with **kwargs
};

using Impl = New (*)(const FuncSpec& spec, Bound& a);

// What a spec has besides its named parameters.
struct SpecRest {
    bool varargs = false;
    bool varkw = false;
    const char* return_annotation = nullptr;
};
inline constexpr SpecRest kStarArgs{true, true, nullptr};  // *args, **kwargs
constexpr SpecRest returns(const char* annotation) { return SpecRest{false, false, annotation}; }

struct FuncSpec {
    const char* name;       // bare name, used in argument errors
    const char* owner;      // class name for __qualname__, or nullptr
    const char* doc;
    Impl impl;
    const Param* params;
    int nparams;
    bool varargs = false;
    bool varkw = false;
    const char* return_annotation = nullptr;

    // Filled once per process by prepare().
    PyObject* interned[kMaxParams] = {};
    PyObject* defaults[kMaxParams] = {};
    int nrequired = 0;
    // The class that defines a method, as a zero-argument super() sees it.
    PyObject* defining_class = nullptr;  // strong, set by build_class()
    PyObject* object = nullptr;          // strong: the function object made for this spec

    // The count is that of the parameter table.
    template <size_t N>
    constexpr FuncSpec(const char* name_, const char* owner_, const char* doc_, Impl impl_, const Param (&params_)[N],
                       SpecRest rest = {})
        : name(name_), owner(owner_), doc(doc_), impl(impl_), params(params_), nparams(int(N)),
          varargs(rest.varargs), varkw(rest.varkw), return_annotation(rest.return_annotation) {
        static_assert(N <= kMaxParams, "too many parameters");
    }
};

// Parameter tables shared by several specs.
inline constexpr Param kSelfParams[] = {{"self"}};
inline constexpr Param kSelfNameParams[] = {{"self"}, {"name", Check::Str, Default::Required, "str"}};
inline constexpr Param kSelfIndexParams[] = {{"self"}, {"index"}};
inline constexpr Param kSelfNameValueParams[] = {{"self"}, {"name", Check::Str, Default::Required, "str"}, {"value"}};

// Binds arguments per the FuncSpec; -1 with TypeError (or a conversion error) set.
int bind_args(FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames, Bound& out);

// A method object for the classes: binds like a Python function, carries
// __name__, __qualname__, __module__, __doc__, __annotations__, __signature__.
// Returns a new reference and records it in spec.object.
New make_method(FuncSpec& spec);
// staticmethod(make_method(spec)).
New make_static_method(FuncSpec& spec);
// A plain built-in function (module level): no __annotations__, no bound
// object. `entry` is a one-line trampoline calling vector_entry(spec, ...).
using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
New make_builtin(FuncSpec& spec, PyMethodDef& def, FastEntry entry);
// Binds and runs a spec: the body of every entry point.
New vector_entry(FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The METH_FASTCALL entry of the module-level function made for `Spec`.
template <FuncSpec& Spec>
PyObject* fast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return vector_entry(Spec, args, size_t(nargs), kwnames).release();
}

// The one decision for a rebindable module global (the proxy operations,
// Serializer's methods): user code may rebind it and the rebinding must be
// honoured, but while it still holds the function object this module made for
// `spec` the native body runs directly, skipping argument tuples and the call
// machinery. Identity is enough: the newest object made for a spec is the one
// recorded, and the module is made once per process.
inline bool is_our_function(PyObject* o, const FuncSpec& spec) { return o == spec.object && o != nullptr; }

// Calls `fn`, the current value of such a global, with (*args, *varargs,
// **varkw): spec.impl natively when is_our_function(fn, spec), else as Python
// calls it. `varargs` (a tuple) and `varkw` (a dict) are given only for specs
// with *args/**kwargs and are handed over to the native body as they are.
Ref call_rebindable(PyObject* fn, FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Ref varargs = Ref(),
                    Ref varkw = Ref());

// Builds `type(name, (base,), ns)` with __module__, __qualname__, __doc__ and
// the given members in order; records the class as defining class of every
// method spec listed. Returns a new reference.
struct Member {
    const char* name;
    FuncSpec* spec;       // a method, or nullptr when `value` is given
    bool is_static = false;
};
New build_class(const char* name, PyObject* base, const char* doc, const Member* members, int nmembers);
template <size_t N>
New build_class(const char* name, PyObject* base, const char* doc, const Member (&members)[N]) {
    return build_class(name, base, doc, members, int(N));
}

// Runs spec.impl directly on positional values (the native fast path used when
// a global still holds our own function). `args` must have spec.nparams
// entries for specs without *args/**kwargs.
New call_native(FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs);

int init_function_type(PyObject* module_dict);

}  // namespace com_like
