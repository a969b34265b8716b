// Native functions: argument binding with the module's exact error texts, a
// method object that binds like a Python function, and the class builder.
//
// Every function of the module is declared by an immutable `FuncSpec` next
// to its body, under its id in function_ids.h. The binder turns (args, nargs,
// kwnames) into one borrowed or converted value per declared parameter, then
// calls the FuncSpec's `impl`. What is made from a declaration at start-up
// (interned names, defaults, __doc__, the function object) is kept in
// P.functions[id].
#pragma once

#include <cstdint>

#include "base/globals.h"

namespace com_like {

// The exact type a parameter takes; Int and Double convert other numbers.
enum class Check : uint8_t { Any, Dict, Str, Int, Double };

// A parameter's default value, or none for a required parameter.
struct Default {
    enum class Kind : uint8_t { Required, None, Bool, Float };
    Kind kind = Kind::Required;
    double value = 0.0;  // of a Bool (0 or 1) or Float default
};
inline constexpr Default kRequired{};
inline constexpr Default kDefaultsToNone{Default::Kind::None};
constexpr Default defaults_to(bool b) { return Default{Default::Kind::Bool, b ? 1.0 : 0.0}; }
constexpr Default defaults_to(double d) { return Default{Default::Kind::Float, d}; }

struct Param {
    const char* name;
    Check check = Check::Any;
    Default dflt = kRequired;
    const char* annotation = nullptr;  // stored as a string annotation
};

struct FuncSpec;

// Values bound for one call. v[i] is borrowed (from the caller or from the
// function's defaults) unless a conversion produced it, then `owned[i]` keeps it.
struct Bound {
    PyObject* v[kMaxParams];
    Ref owned[kMaxParams];
    Ref varargs;  // tuple, only for functions with *args
    Ref varkw;    // dict, only for functions with **kwargs
};

using Impl = New (*)(const FuncSpec& spec, Bound& a);

// What a function has besides its named parameters.
struct SpecRest {
    bool varargs = false;
    bool varkw = false;
    const char* return_annotation = nullptr;
};
inline constexpr SpecRest kStarArgs{true, true, nullptr};  // *args, **kwargs
constexpr SpecRest returns(const char* annotation) { return SpecRest{false, false, annotation}; }

// The declaration of one native function. __doc__ is its signature line,
// rendered from the parameters, then a blank line and `doc` when `doc` is not
// empty.
struct FuncSpec {
    Fn id;
    const char* name;   // bare name, used in argument errors
    const char* owner;  // class name for __qualname__, or nullptr
    const char* doc;    // the text after the signature line
    Impl impl;
    const Param* params;
    int nparams;
    bool varargs = false;
    bool varkw = false;
    const char* return_annotation = nullptr;

    // Calls with exactly the named parameters by position bind by copying
    // them: no *args or **kwargs to collect, no default to fill. Decided
    // here, when the declaration is compiled, and read by the entries.
    bool by_position = true;
    bool any_checked = false;  // some parameter has a Check other than Any

    // The count is that of the parameter table.
    template <size_t N>
    constexpr FuncSpec(Fn id_, const char* name_, const char* owner_, const char* doc_, Impl impl_,
                       const Param (&params_)[N], SpecRest rest = {})
        : id(id_), name(name_), owner(owner_), doc(doc_), impl(impl_), params(params_), nparams(int(N)),
          varargs(rest.varargs), varkw(rest.varkw), return_annotation(rest.return_annotation) {
        static_assert(N <= kMaxParams, "too many parameters");
        by_position = !varargs && !varkw;
        for (const Param& p : params_) {
            if (p.dflt.kind != Default::Kind::Required) by_position = false;
            if (p.check != Check::Any) any_checked = true;
        }
    }

    FunctionState& state() const { return P.functions[size_t(id)]; }
};

// Binds arguments per the declaration; -1 with TypeError (or a conversion error) set.
int bind_args(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames, Bound& out);

// A method object for the classes: binds like a Python function, carries
// __name__, __qualname__, __module__, __doc__, __annotations__, __signature__.
// Records it as the function's object in P.
New make_method(const FuncSpec& spec);
// staticmethod(make_method(spec)).
New make_static_method(const FuncSpec& spec);
// A plain built-in function (module level): no __annotations__, no bound
// object. `entry` is builtin_entry<spec>.
using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
New make_builtin(const FuncSpec& spec, FastEntry entry);
// Binds and runs a function: the body of every entry point. The first binds
// any call; the second is for by_position functions and takes the
// general path for any other call than one with exactly their parameters.
New vector_entry(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames);
New positional_entry(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The METH_FASTCALL entry of the module-level function made for `Spec`, its
// binder chosen here once.
template <const FuncSpec& Spec>
PyObject* builtin_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (Spec.by_position) return positional_entry(Spec, args, size_t(nargs), kwnames).release();
    return vector_entry(Spec, args, size_t(nargs), kwnames).release();
}

// The one decision for a rebindable module global (the proxy operations,
// Serializer's methods): user code may rebind it and the rebinding must be
// honoured, but while it still holds the function object this module made for
// `spec` the native body runs directly, skipping argument tuples and the call
// machinery. Identity is enough: the newest object made for a function is the
// one recorded, and the module is made once per process.
inline bool is_our_function(PyObject* o, const FuncSpec& spec) { return o == spec.state().object && o != nullptr; }

// Calls `fn`, the current value of such a global, with (*args, *varargs,
// **varkw): spec.impl natively when is_our_function(fn, spec), else as Python
// calls it. `varargs` (a tuple) and `varkw` (a dict) are given only for
// functions with *args/**kwargs and are handed over to the native body as they are.
Ref call_rebindable(PyObject* fn, const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Ref varargs = Ref(),
                    Ref varkw = Ref());

// Builds `type(name, (base,), ns)` with __module__, __qualname__, __doc__ and
// the given methods in order, each under its own name; records the class as
// defining class of every method listed.
struct Member {
    const FuncSpec* spec;
    bool is_static = false;
};
New build_class(const char* name, PyObject* base, const char* doc, const Member* members, int nmembers);
template <size_t N>
New build_class(const char* name, PyObject* base, const char* doc, const Member (&members)[N]) {
    return build_class(name, base, doc, members, int(N));
}

// Runs spec.impl directly on positional values (the native fast path used when
// a global still holds our own function). `args` must have spec.nparams
// entries for functions without *args/**kwargs.
New call_native(const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs);

// The class a method's body was defined in, as a zero-argument super() sees
// it; null before its class is built.
inline Borrowed defining_class(const FuncSpec& spec) { return Borrowed(spec.state().defining_class); }

int init_function_type(PyObject* module_dict);

// The function's start-up state from its declaration (function_doc.cpp):
// names, defaults, annotations and __doc__. Once per function; -1 with an
// error set.
int function_state_init(const FuncSpec& spec);
// After the module body: -1 with SystemError unless every function listed in
// function_ids.h was made, so that the list holds no id without a function.
int functions_all_made();
// Its inspect.Signature, from the same state.
Ref function_signature(const FuncSpec& spec);
// Its __annotations__ dict, a new one per function object.
Ref function_annotations(const FuncSpec& spec);

}  // namespace com_like
