// The argument binder of the native functions, in two tiers: calls with
// exactly the named parameters by position, and the general one (keywords,
// defaults, *args, **kwargs). Which entry a function gets is chosen when its
// object is made (FuncSpec::by_position); the general tier gives every error.
#include "functions/function.h"

namespace com_like {

namespace {

// ---------------------------------------------------------------- errors

constexpr char kCountError[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr char kTypeError[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr char kSubclassTypeError[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
    "Subclasses of built-in types are not accepted here; pass an exact %.200s.";
constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
constexpr char kKeywordsNotStrings[] = "%.200s() keywords must be strings";
constexpr char kExactly[] = "exactly";
constexpr char kAtLeast[] = "at least";
constexpr char kAtMost[] = "at most";

int count_error(const FuncSpec& spec, Py_ssize_t given) {
    const int nrequired = spec.state().nrequired;
    const bool exact = nrequired == spec.nparams && !spec.varargs;
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < nrequired) {
        expected = nrequired;
        more_or_less = exact ? kExactly : kAtLeast;
    } else {
        expected = spec.nparams;
        more_or_less = exact ? kExactly : kAtMost;
    }
    PyErr_Format(PyExc_TypeError, kCountError, spec.name, more_or_less, expected, (expected == 1) ? "" : "s", given);
    return -1;
}

int type_error(const char* param, PyTypeObject* expected, PyObject* got) {
    if (expected != &PyLong_Type && PyObject_TypeCheck(got, expected)) {
        PyErr_Format(PyExc_TypeError, kSubclassTypeError, param, expected->tp_name, Py_TYPE(got)->tp_name,
                     expected->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, kTypeError, param, expected->tp_name, Py_TYPE(got)->tp_name);
    }
    return -1;
}

bool has_number_conversion(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}

// The value of an Int or Double parameter given as another number.
int convert_param(const Param& p, Bound& b, int i) {
    PyObject* o = b.v[i];
    Ref conv;
    if (p.check == Check::Int) {
        if (!has_number_conversion(o)) return type_error(p.name, &PyLong_Type, o);
        conv = Ref::steal(PyNumber_Long(o));
    } else {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return -1;
        conv = Ref::steal(PyFloat_FromDouble(d));
    }
    if (!conv) return -1;
    b.v[i] = conv.get();
    b.owned[i] = std::move(conv);
    return 0;
}

int check_params(const FuncSpec& spec, Bound& b) {
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        PyObject* o = b.v[i];
        switch (p.check) {
            case Check::Any:
                break;
            case Check::Dict:
                if (!PyDict_CheckExact(o)) return type_error(p.name, &PyDict_Type, o);
                break;
            case Check::Str:
                if (!PyUnicode_CheckExact(o)) return type_error(p.name, &PyUnicode_Type, o);
                break;
            case Check::Int:
                if (!PyLong_CheckExact(o) && convert_param(p, b, i) < 0) return -1;
                break;
            case Check::Double:
                if (!PyFloat_CheckExact(o) && convert_param(p, b, i) < 0) return -1;
                break;
        }
    }
    return 0;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

// ---------------------------------------------------------------- the general tier

// Values by position, *args collected, **kwargs made empty. Returns the
// number of parameters filled, or -1 with an error set.
Py_ssize_t bind_positional(const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Bound& b) {
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
        for (Py_ssize_t i = npos; i < nargs; ++i) PyTuple_SET_ITEM(b.varargs.get(), i - npos, Py_NewRef(args[i]));
    }
    if (spec.varkw) {
        b.varkw = Ref::steal(PyDict_New());
        if (!b.varkw) return -1;
    }
    return npos;
}

// One keyword that fills no parameter left open: a repeated positional, or
// one for **kwargs, or an error. 0 or -1.
int bind_extra_keyword(const FuncSpec& spec, Py_ssize_t npos, PyObject* key, PyObject* value, Bound& b) {
    for (int i = 0; i < npos; ++i) {
        if (same_name(spec.state().interned[i], key)) {
            PyErr_Format(PyExc_TypeError, kMultipleValues, spec.name, key);
            return -1;
        }
    }
    if (!spec.varkw) {
        PyErr_Format(PyExc_TypeError, kUnexpectedKeyword, spec.name, key);
        return -1;
    }
    return PyDict_SetItem(b.varkw.get(), key, value);
}

// Required parameters not given by position come from the keywords first;
// the first one missing is reported with the count filled so far. Then every
// keyword is checked against the parameters in order.
int bind_keywords(const FuncSpec& spec, PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t npos, Bound& b) {
    const FunctionState& st = spec.state();
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    const int np = spec.nparams;
    for (int i = (int)npos; i < np; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (same_name(st.interned[i], PyTuple_GET_ITEM(kwnames, k))) {
                b.v[i] = kwvalues[k];
                break;
            }
        }
        if (!b.v[i] && i < st.nrequired) return count_error(spec, i);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, kKeywordsNotStrings, spec.name);
            return -1;
        }
        bool found = false;
        for (int i = (int)npos; i < np && !found; ++i) found = same_name(st.interned[i], key);
        if (!found && bind_extra_keyword(spec, npos, key, kwvalues[k], b) < 0) return -1;
    }
    return 0;
}

}  // namespace

int bind_args(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames, Bound& b) {
    const FunctionState& st = spec.state();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t npos = bind_positional(spec, args, nargs, b);
    if (npos < 0) return -1;
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (npos < st.nrequired) return count_error(spec, npos);
    } else if (bind_keywords(spec, args + nargs, kwnames, npos, b) < 0) {
        return -1;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        if (!b.v[i]) b.v[i] = st.defaults[i];
    }
    return check_params(spec, b);
}

New vector_entry(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Bound b;
    if (bind_args(spec, args, nargsf, kwnames, b) < 0) return nullptr;
    return spec.impl(spec, b);
}

// ---------------------------------------------------------------- the positional tier

New positional_entry(const FuncSpec& spec, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != spec.nparams || (kwnames && PyTuple_GET_SIZE(kwnames) != 0))
        return vector_entry(spec, args, nargsf, kwnames);
    Bound b;
    for (Py_ssize_t i = 0; i < nargs; ++i) b.v[i] = args[i];
    if (spec.any_checked && check_params(spec, b) < 0) return nullptr;
    return spec.impl(spec, b);
}

New call_native(const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs) {
    if (spec.by_position) return positional_entry(spec, args, size_t(nargs), nullptr);
    return vector_entry(spec, args, size_t(nargs), nullptr);
}

Ref call_rebindable(PyObject* fn, const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs, Ref varargs,
                    Ref varkw) {
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
        PyTuple_SET_ITEM(all.get(), i, Py_NewRef(o));
    }
    return Ref::steal(PyObject_Call(fn, all.get(), varkw.get()));
}

}  // namespace com_like
