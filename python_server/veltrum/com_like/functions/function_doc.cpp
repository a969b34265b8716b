// What a native function shows of itself, derived from its parameter table:
// the interned names and default values the binder uses, __doc__'s signature
// line, __annotations__ and __signature__. Made once per function at start-up
// and kept in P.functions[id].
#include "functions/function.h"

namespace com_like {

namespace {

constexpr char kSharedId[] = "two native functions are declared with one id";
constexpr char kNeverMade[] = "native function %d of function_ids.h was never made";

// How the signature line and __doc__ are put together.
constexpr char kParamFormat[] = "%s%s%U";                    // type, stars, name
constexpr char kAnnotatedFormat[] = "%U: %U";                // param, annotation
constexpr char kDefaultFormat[] = "%U=%R";                   // param, default
constexpr char kAnnotatedDefaultFormat[] = "%U = %R";        // annotated param, default
constexpr char kLineFormat[] = "%s%s%s(%U)%s%s";             // owner, ".", name, params, " -> ", return
constexpr char kOwnerDot[] = ".";
constexpr char kReturnArrow[] = " -> ";
constexpr char kDocFormat[] = "%U\n\n%s";                    // the line, the free text
constexpr char kNoStars[] = "";
constexpr char kVarargsStars[] = "*";
constexpr char kVarkwStars[] = "**";

// The C type a parameter is checked against, as the signature line shows it
// before the name.
constexpr const char* check_type_text(Check c) {
    switch (c) {
        case Check::Any:
            break;
        case Check::Dict:
            return "dict ";
        case Check::Str:
            return "str ";
        case Check::Int:
            return "int ";
        case Check::Double:
            return "double ";
    }
    return "";
}

// The parts of one parameter, named or starred, as both the signature line
// and inspect.Parameter take them.
struct ParamRow {
    PyObject* name;
    PyObject* kind;           // attribute name of inspect.Parameter's kind
    const char* stars;        // "", "*" or "**"
    const char* type_text;    // check_type_text()
    PyObject* dflt;           // null when none
    PyObject* annotation;     // null when none
};
using ParamRows = ParamRow[kMaxParams + 2];

int param_rows(const FuncSpec& spec, ParamRows& rows) {
    const FunctionState& st = spec.state();
    int n = 0;
    for (int i = 0; i < spec.nparams; ++i) {
        rows[n++] = {st.interned[i], N.POSITIONAL_OR_KEYWORD, kNoStars, check_type_text(spec.params[i].check),
                     st.defaults[i], st.annotations[i]};
    }
    const char* untyped = check_type_text(Check::Any);
    if (spec.varargs) rows[n++] = {N.args, N.VAR_POSITIONAL, kVarargsStars, untyped, nullptr, nullptr};
    if (spec.varkw) rows[n++] = {N.kwargs, N.VAR_KEYWORD, kVarkwStars, untyped, nullptr, nullptr};
    return n;
}

// "int object_id: int", "raiseError=True", "double timeout: float = 30.0", "*args".
Ref render_param(const ParamRow& r) {
    Ref text = Ref::steal(PyUnicode_FromFormat(kParamFormat, r.type_text, r.stars, r.name));
    if (text && r.annotation) text = Ref::steal(PyUnicode_FromFormat(kAnnotatedFormat, text.get(), r.annotation));
    if (text && r.dflt) {
        text = Ref::steal(
            PyUnicode_FromFormat(r.annotation ? kAnnotatedDefaultFormat : kDefaultFormat, text.get(), r.dflt));
    }
    return text;
}

// "Owner.name(params) -> return annotation", then the free text.
Ref render_doc(const FuncSpec& spec) {
    ParamRows rows;
    const int n = param_rows(spec, rows);
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return Ref();
    for (int i = 0; i < n; ++i) {
        Ref t = render_param(rows[i]);
        if (!t || PyList_Append(texts.get(), t.get()) < 0) return Ref();
    }
    Ref params = Ref::steal(PyUnicode_Join(N.comma_space, texts.get()));
    const char* ret = spec.return_annotation;
    Ref line = params ? Ref::steal(PyUnicode_FromFormat(kLineFormat, spec.owner ? spec.owner : "",
                                                        spec.owner ? kOwnerDot : "", spec.name, params.get(),
                                                        ret ? kReturnArrow : "", ret ? ret : ""))
                      : Ref();
    if (!line || !spec.doc || !*spec.doc) return line;
    return Ref::steal(PyUnicode_FromFormat(kDocFormat, line.get(), spec.doc));
}

New default_value(const Default& d) {
    switch (d.kind) {
        case Default::Kind::None:
            return New(Py_NewRef(Py_None));
        case Default::Kind::Bool:
            return New(PyBool_FromLong(d.value != 0.0));
        case Default::Kind::Float:
            return New(PyFloat_FromDouble(d.value));
        case Default::Kind::Required:
            break;
    }
    return New();
}

Ref intern_or_null(const char* text) { return text ? Ref::steal(PyUnicode_InternFromString(text)) : Ref(); }

int fill_params(const FuncSpec& spec, FunctionState& st) {
    st.nrequired = 0;
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        Ref name = intern_or_null(p.name);
        Ref dflt = Ref::steal(default_value(p.dflt));
        Ref annotation = intern_or_null(p.annotation);
        if (!name || (!dflt && p.dflt.kind != Default::Kind::Required) || (!annotation && p.annotation)) return -1;
        if (p.dflt.kind == Default::Kind::Required) st.nrequired = i + 1;
        store_strong(st.interned[i], std::move(name));
        store_strong(st.defaults[i], std::move(dflt));
        store_strong(st.annotations[i], std::move(annotation));
    }
    Ref ret = intern_or_null(spec.return_annotation);
    if (!ret && spec.return_annotation) return -1;
    store_strong(st.return_annotation, std::move(ret));
    return 0;
}

// One inspect.Parameter.
Ref make_parameter(PyObject* parameter_cls, const ParamRow& r) {
    Ref kind = getattr(parameter_cls, r.kind);
    Ref kwargs = kind ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs) return Ref();
    if (r.dflt && PyDict_SetItem(kwargs.get(), N.default_, r.dflt) < 0) return Ref();
    if (r.annotation && PyDict_SetItem(kwargs.get(), N.annotation, r.annotation) < 0) return Ref();
    PyObject* argv[2] = {r.name, kind.get()};
    return Ref::steal(PyObject_VectorcallDict(parameter_cls, argv, 2, kwargs.get()));
}

}  // namespace

int function_state_init(const FuncSpec& spec) {
    FunctionState& st = spec.state();
    if (st.declared == &spec) return 0;
    if (st.declared) return raise(PyExc_SystemError, kSharedId), -1;
    if (fill_params(spec, st) < 0) return -1;
    Ref doc = render_doc(spec);
    if (!doc) return -1;
    store_strong(st.doc, std::move(doc));
    st.declared = &spec;
    return 0;
}

int functions_all_made() {
    for (size_t i = 0; i < kFunctionCount; ++i) {
        if (!P.functions[i].object) return PyErr_Format(PyExc_SystemError, kNeverMade, int(i)), -1;
    }
    return 0;
}

Ref function_annotations(const FuncSpec& spec) {
    const FunctionState& st = spec.state();
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (int i = 0; i < spec.nparams; ++i) {
        if (st.annotations[i] && PyDict_SetItem(d.get(), st.interned[i], st.annotations[i]) < 0) return Ref();
    }
    if (st.return_annotation && PyDict_SetItem(d.get(), N.return_, st.return_annotation) < 0) return Ref();
    return d;
}

Ref function_signature(const FuncSpec& spec) {
    Ref inspect = Ref::steal(PyImport_Import(N.inspect));
    Ref parameter = inspect ? getattr(inspect.get(), N.Parameter) : Ref();
    Ref signature = parameter ? getattr(inspect.get(), N.Signature) : Ref();
    Ref params = signature ? Ref::steal(PyList_New(0)) : Ref();
    Ref kwargs = params ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs) return Ref();
    ParamRows rows;
    const int n = param_rows(spec, rows);
    for (int i = 0; i < n; ++i) {
        Ref p = make_parameter(parameter.get(), rows[i]);
        if (!p || PyList_Append(params.get(), p.get()) < 0) return Ref();
    }
    PyObject* ret = spec.state().return_annotation;
    if (ret && PyDict_SetItem(kwargs.get(), N.return_annotation, ret) < 0) return Ref();
    PyObject* argv[1] = {params.get()};
    return Ref::steal(PyObject_VectorcallDict(signature.get(), argv, 1, kwargs.get()));
}

}  // namespace com_like
