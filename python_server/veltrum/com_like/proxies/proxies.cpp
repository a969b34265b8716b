// The five proxy operations (_cw__getattr__ ... _cw__del__), their one
// request path, and the traceback trimming the proxy methods share.
#include "proxies/proxies.h"

#include "functions/function_params.h"
#include "messaging/messaging.h"
#include "serializer/serializer.h"
#include "base/fixed_roots.h"
#include "base/subsystems.h"

namespace com_like {
namespace {

constexpr const char kContextStopped[] = "Excel Object used after messaging context was stopped";
constexpr const char kBadIndex[] = "Index must be an integer or a slice";
constexpr const char kNotCallable[] = "Only Function-typed SpecialObjects are callable";
// The key text of a slice: start:stop:step, each empty when None.
constexpr const char kSliceKeyFormat[] = "%U:%U:%U";

// ------------------------------------------------------------------ helpers

template <size_t Count>
bool is_one_of(PyObject* name, PyObject* const (&names)[Count]) {
    for (PyObject* n : names) {
        if (str_equal(name, n)) return true;
    }
    return false;
}

// self._msg_guid != messaging._guid raises the context error. Returns the
// messaging instance for the send, or an empty Ref with an error set.
Ref checked_messaging(PyObject* self) {
    Ref msg = get_global(N.mod_messaging);
    if (!msg) return msg;
    Ref current = getattr(msg.get(), N._guid);
    if (!current) return current;
    Ref mine = getattr(self, N._msg_guid);
    if (!mine) return mine;
    int differs = not_equal(mine.get(), current.get());
    if (differs < 0) return Ref();
    if (differs) {
        PyErr_SetString(PyExc_RuntimeError, kContextStopped);
        return Ref();
    }
    return msg;
}

// response.get(key) / response.get(key, default), with the exact dict direct.
Ref response_get(PyObject* resp, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(resp)) return dict_get(resp, key, dflt ? dflt : Py_None);
    return dflt ? call_method(resp, N.get, key, dflt) : call_method(resp, N.get, key);
}

// ------------------------------------------------------------------ the request path

// What one request carries besides its operation.
struct Request {
    PyObject* self;
    PyObject* name;                // the body's "name": member, key text, or nullptr for the table's
    PyObject* text_tail;           // follows the default failure text
    PyObject* value = nullptr;     // SET
    PyObject* varargs = nullptr;   // CALL
    PyObject* varkw = nullptr;     // CALL
};

enum class Answer : uint8_t { Result, NoneOnSuccess, Ignored };

// How an operation differs from the others; everything else is `request`.
struct Operation {
    PyObject* Names::*method;
    PyObject* Names::*fixed_name;   // the body's "name" when the request has none
    PyObject* Names::*payload_key;  // key of the payload, nullptr when there is none
    Ref (*payload)(const Request&); // built after the context check
    Borrowed (*failure_type)();     // raised for a failed answer
    PyObject* Names::*failure_text; // default text, followed by the request's text_tail if any
    bool checks_context;            // a release (DEL) is sent whatever the context
    bool answer_as_attribute_error; // an error answer to a GET is a missing member
    Answer answer;                  // DEL ignores the answer and every failure of the Exception family
};

Borrowed attribute_error() { return Borrowed(PyExc_AttributeError); }
Borrowed runtime_error() { return Borrowed(PyExc_RuntimeError); }

Ref set_payload(const Request& r) { return serializer_to_wire(r.value); }
Ref call_payload(const Request& r);

enum Op { kGet, kGetItem, kSet, kCall, kDel };

// One row per operation: the exception type and the default text of a failed
// answer are read only from here.
const Operation kOperations[] = {
    /* kGet */ {&Names::GET, nullptr, nullptr, nullptr, attribute_error_class, &Names::GET_failed_for, true, true,
                Answer::Result},
    /* kGetItem */ {&Names::GETITEM, nullptr, nullptr, nullptr, attribute_error, &Names::GET_ITEM_failed_for, true,
                    false, Answer::Result},
    /* kSet */ {&Names::SET, nullptr, &Names::value, set_payload, attribute_error, &Names::SET_failed_for, true, false,
                Answer::NoneOnSuccess},
    /* kCall */ {&Names::CALL, &Names::dunder_call, &Names::args, call_payload, runtime_error, &Names::CALL_failed,
                 true, false, Answer::Result},
    /* kDel */ {&Names::DEL, &Names::dunder_del, nullptr, nullptr, nullptr, nullptr, false, false, Answer::Ignored},
};

// {"method", "name", [payload key], "caller"}, in the order the add-in reads.
Ref request_body(const Operation& op, const Request& r, PyObject* payload) {
    Ref caller = getattr(r.self, N._internal_id);
    if (!caller) return caller;
    PyObject* name = r.name ? r.name : N.*op.fixed_name;
    Ref d = Ref::steal(_PyDict_NewPresized(payload ? 4 : 3));
    if (!d || PyDict_SetItem(d.get(), N.method, N.*op.method) < 0 || PyDict_SetItem(d.get(), N.name, name) < 0)
        return Ref();
    if (payload && PyDict_SetItem(d.get(), N.*op.payload_key, payload) < 0) return Ref();
    if (PyDict_SetItem(d.get(), N.caller, caller.get()) < 0) return Ref();
    return d;
}

// The decoded "result" on success; on failure raises the operation's type
// with the add-in's message or the default text. With this module's own
// messaging a failed answer never gets here: on_message fails the waiting
// future and send_request_sync raises. The failure branch only runs when
// user code has replaced send_request_sync by one that returns failed answers.
Ref decode_or_raise(const Operation& op, const Request& r, PyObject* resp) {
    Ref ok = response_get(resp, N.ok, nullptr);
    if (!ok) return ok;
    int truth = PyObject_IsTrue(ok.get());
    if (truth < 0) return Ref();
    if (truth) {
        if (op.answer != Answer::Result) return Ref::borrow(Py_None);
        Ref result = response_get(resp, N.result, nullptr);
        if (!result) return result;
        return serializer_from_wire(result.get());
    }
    Ref empty = Ref::steal(PyDict_New());
    Ref err = empty ? response_get(resp, N.error, empty.get()) : Ref();
    if (!err) return err;
    // The default text is built on this path only: success has to be fast.
    PyObject* prefix = N.*op.failure_text;
    Ref tail = r.text_tail ? format_empty(r.text_tail) : Ref();
    if (r.text_tail && !tail) return Ref();
    Ref dflt = tail ? Ref::steal(PyUnicode_Concat(prefix, tail.get())) : Ref::borrow(prefix);
    Ref text = dflt ? response_get(err.get(), N.message, dflt.get()) : Ref();
    if (text) PyErr_SetObject(op.failure_type().get(), text.get());
    return Ref();
}

// The steps up to the answer: context check, body, send.
Ref send_steps(const Operation& op, const Request& r) {
    Ref msg;
    if (op.checks_context && !(msg = checked_messaging(r.self))) return msg;
    Ref payload;
    if (op.payload && !(payload = op.payload(r))) return payload;
    Ref body = request_body(op, r, payload.get());
    if (!body) return body;
    if (!msg && !(msg = get_global(N.mod_messaging))) return msg;
    // A GET tells an error answer from the other failures; nothing may be
    // left over from an earlier request on this thread.
    if (op.answer_as_attribute_error) messaging_take_answered_failure(nullptr);
    Ref resp = messaging_send(msg.get(), body.get(), op.answer == Answer::Ignored && is_finalizing());
    if (!resp && op.answer_as_attribute_error) reraise_answer_as_attribute_error();
    return resp;
}

// The one request path of every proxy operation.
Ref request(Op which, const Request& r) {
    const Operation& op = kOperations[which];
    Ref resp = send_steps(op, r);
    if (op.answer == Answer::Ignored) {
        if (!resp) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return resp;
            PyErr_Clear();
        }
        return Ref::borrow(Py_None);
    }
    if (!resp) return resp;
    return decode_or_raise(op, r, resp.get());
}

// ------------------------------------------------------------------ operations

New operation_getattr(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* name = a.v[1];
    // The identity attributes are among these: read without a request.
    int here = is_local_name(name);
    if (here < 0) return nullptr;
    if (here) return New(PyObject_GenericGetAttr(self, name));
    return request(kGet, Request{self, name, name}).transfer();
}

Ref index_key(PyObject* index) {
    if (PySlice_Check(index)) {
        auto* sl = reinterpret_cast<PySliceObject*>(index);
        PyObject* parts[3] = {sl->start, sl->stop, sl->step};
        Ref texts[3];
        for (int i = 0; i < 3; ++i) {
            texts[i] = parts[i] == Py_None ? Ref::borrow(N.empty) : format_empty(parts[i]);
            if (!texts[i]) return Ref();
        }
        return Ref::steal(PyUnicode_FromFormat(kSliceKeyFormat, texts[0].get(), texts[1].get(), texts[2].get()));
    }
    if (PyLong_Check(index)) return Ref::steal(PyObject_Str(index));
    PyErr_SetString(PyExc_TypeError, kBadIndex);
    return Ref();
}

New operation_getitem(const FuncSpec&, Bound& a) {
    Ref key = index_key(a.v[1]);
    if (!key) return nullptr;
    return request(kGetItem, Request{a.v[0], key.get(), a.v[1]}).transfer();
}

New operation_setattr(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* name = a.v[1];
    PyObject* const local[] = {N._internal_id, N._internal_typeName, N._msg_guid, N._typ};
    if (is_one_of(name, local)) {
        if (PyObject_GenericSetAttr(self, name, a.v[2]) < 0) return nullptr;
        return none();
    }
    Request r{self, name, name};
    r.value = a.v[2];
    return request(kSet, r).transfer();
}

Ref arg_entry(PyObject* kind, PyObject* name, PyObject* value) {
    Ref d = Ref::steal(_PyDict_NewPresized(3));
    if (!d || PyDict_SetItem(d.get(), N.arg_type, kind) < 0) return Ref();
    if (name && PyDict_SetItem(d.get(), N.name, name) < 0) return Ref();
    Ref wire = serializer_to_wire(value);
    if (!wire || PyDict_SetItem(d.get(), N.value, wire.get()) < 0) return Ref();
    return d;
}

// Only a Function proxy is callable; its arguments in order, placed then named.
Ref call_payload(const Request& r) {
    Ref tname = getattr(r.self, N._internal_typeName);
    if (!tname) return tname;
    int differs = not_equal(tname.get(), N.Function);
    if (differs < 0) return Ref();
    if (differs) {
        PyErr_SetString(PyExc_TypeError, kNotCallable);
        return Ref();
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(r.varargs); ++i) {
        Ref e = arg_entry(N.PLACED, nullptr, PyTuple_GET_ITEM(r.varargs, i));
        if (!e || PyList_Append(list.get(), e.get()) < 0) return Ref();
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(r.varkw, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), val = Ref::borrow(v);
        Ref e = arg_entry(N.NAMED, key.get(), val.get());
        if (!e || PyList_Append(list.get(), e.get()) < 0) return Ref();
    }
    return list;
}

New operation_call(const FuncSpec&, Bound& a) {
    Request r{a.v[0], nullptr, nullptr};
    r.varargs = a.varargs.get();
    r.varkw = a.varkw.get();
    return request(kCall, r).transfer();
}

New operation_del(const FuncSpec&, Bound& a) {
    return request(kDel, Request{a.v[0], nullptr, nullptr}).transfer();
}

constexpr FuncSpec operation_getattr_spec{Fn::operation_getattr, "_cw__getattr__", nullptr,
                                          "Get attribute proxy method for OfficeJsObject.", operation_getattr,
                                          kSelfNameParams};
constexpr FuncSpec operation_getitem_spec{Fn::operation_getitem, "_cw__getitem__", nullptr,
                                          "Get item proxy method for OfficeJsObject.", operation_getitem,
                                          kSelfIndexParams};
constexpr FuncSpec operation_setattr_spec{Fn::operation_setattr, "_cw__setattr__", nullptr,
                                          "Set attribute proxy method for OfficeJsObject.", operation_setattr,
                                          kSelfNameValueParams};
constexpr FuncSpec operation_call_spec{Fn::operation_call, "_cw__call__", nullptr,
                                       "Call proxy method for OfficeJsObject (Function type).", operation_call,
                                       kSelfParams, kStarArgs};
constexpr FuncSpec operation_del_spec{Fn::operation_del, "_cw__del__", nullptr,
                                      "Delete proxy method for OfficeJsObject.", operation_del, kSelfParams};

// Calls the operation bound to the module global `name`.
Ref call_operation(PyObject* name, const FuncSpec& spec, PyObject* const* args, Py_ssize_t nargs) {
    Ref fn = get_global(name);
    if (!fn) return fn;
    return call_rebindable(fn.get(), spec, args, nargs);
}

}  // namespace

// ------------------------------------------------------------------ shared

namespace {

// `cur` without its leading entries in the module's own functions (the names
// of _internal_officejs_names); None or empty when all of them are. Runs with
// no exception set and leaves none.
Ref skip_internal_entries(Ref cur) {
    Ref names = get_global(N.mod_internal_names);
    if (!names) {
        // Without the list nothing is skipped; the lookup error is not ours
        // to report here.
        PyErr_Clear();
        return cur;
    }
    while (cur && cur.get() != Py_None) {
        Ref frame = getattr(cur.get(), N.tb_frame);
        Ref code = frame ? getattr(frame.get(), N.f_code) : Ref();
        Ref co_name = code ? getattr(code.get(), N.co_name) : Ref();
        int skip = co_name ? PySequence_Contains(names.get(), co_name.get()) : -1;
        if (skip <= 0) {
            PyErr_Clear();
            break;
        }
        cur = getattr(cur.get(), N.tb_next);
        if (!cur) {
            PyErr_Clear();
            break;
        }
    }
    return cur;
}

}  // namespace

std::nullptr_t reraise_trimmed() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Caught failure = Caught::fetch();
    failure.normalize();
    if (!failure.value()) {
        failure.restore();
        return nullptr;
    }
    Ref tb = skip_internal_entries(Ref::steal(PyException_GetTraceback(failure.value())));
    if (tb.get() == Py_None) tb.reset();
    PyException_SetTraceback(failure.value(), tb ? tb.get() : Py_None);
    PyException_SetCause(failure.value(), nullptr);  // also sets __suppress_context__
    failure.set_traceback(std::move(tb));
    failure.restore();
    return nullptr;
}

int set_identity(PyObject* self, PyObject* id, PyObject* type_name, PyObject* typ, bool with_cache) {
    if (PyObject_GenericSetAttr(self, N._internal_id, id) < 0) return -1;
    if (PyObject_GenericSetAttr(self, N._internal_typeName, type_name) < 0) return -1;
    Ref msg = get_global(N.mod_messaging);
    Ref guid = msg ? getattr(msg.get(), N._guid) : Ref();
    if (!guid || PyObject_GenericSetAttr(self, N._msg_guid, guid.get()) < 0) return -1;
    if (PyObject_GenericSetAttr(self, N._typ, typ) < 0) return -1;
    if (with_cache) {
        Ref cache = Ref::steal(PyDict_New());
        if (!cache || PyObject_GenericSetAttr(self, N._internal_cache, cache.get()) < 0) return -1;
    }
    return 0;
}

Ref proxy_getattr(PyObject* self, PyObject* name) {
    PyObject* args[2] = {self, name};
    return call_operation(N.mod_cw_getattr, operation_getattr_spec, args, 2);
}

Ref proxy_getitem(PyObject* self, PyObject* index) {
    PyObject* args[2] = {self, index};
    return call_operation(N.mod_cw_getitem, operation_getitem_spec, args, 2);
}

Ref proxy_setattr(PyObject* self, PyObject* name, PyObject* value) {
    PyObject* args[3] = {self, name, value};
    return call_operation(N.mod_cw_setattr, operation_setattr_spec, args, 3);
}

Ref proxy_call(PyObject* self, Ref varargs, Ref varkw) {
    Ref fn = get_global(N.mod_cw_call);
    if (!fn) return fn;
    return call_rebindable(fn.get(), operation_call_spec, &self, 1, std::move(varargs), std::move(varkw));
}

Ref proxy_del(PyObject* self) {
    PyObject* args[1] = {self};
    if (is_finalizing()) {
        // At interpreter exit the module namespace is being torn down; the
        // add-in connection is gone with it, so there is nothing to release.
        Ref fn = get_global_opt(N.mod_cw_del);
        if (!fn || fn.get() == Py_None) {
            PyErr_Clear();
            return Ref::borrow(Py_None);
        }
    }
    return call_operation(N.mod_cw_del, operation_del_spec, args, 1);
}

int body_proxy_functions(PyObject* ns) {
    // Each operation's global, and the proxy-class method that forwards to
    // it: both are left out of the tracebacks the operations raise.
    struct Binding {
        PyObject* name;
        const FuncSpec* spec;
        FastEntry entry;
        PyObject* method;
    };
    const Binding operations[] = {
        {N.mod_cw_getattr, &operation_getattr_spec, builtin_entry<operation_getattr_spec>, N.dunder_getattr},
        {N.mod_cw_getitem, &operation_getitem_spec, builtin_entry<operation_getitem_spec>, N.dunder_getitem},
        {N.mod_cw_setattr, &operation_setattr_spec, builtin_entry<operation_setattr_spec>, N.dunder_setattr},
        {N.mod_cw_call, &operation_call_spec, builtin_entry<operation_call_spec>, N.dunder_call},
        {N.mod_cw_del, &operation_del_spec, builtin_entry<operation_del_spec>, N.dunder_del},
    };
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return -1;
    for (const Binding& op : operations) {
        Ref f = Ref::steal(make_builtin(*op.spec, op.entry));
        if (!f || PyDict_SetItem(ns, op.name, f.get()) < 0 || PyList_Append(names.get(), op.name) < 0) return -1;
    }
    for (const Binding& op : operations) {
        if (PyList_Append(names.get(), op.method) < 0) return -1;
    }
    return PyDict_SetItem(ns, N.mod_internal_names, names.get());
}

int body_root_proxies(PyObject* ns) {
    Ref kwnames = Ref::steal(PyTuple_Pack(2, N.object_id, N.type_name));
    if (!kwnames) return -1;
    for (const FixedRoot& r : kFixedRoots) {
        Ref cls = get_global(N.mod_OfficeJsObject);
        Ref id = Ref::steal(PyLong_FromLong(r.id));
        Ref tn = Ref::steal(PyUnicode_FromString(r.type_name));
        if (!cls || !id || !tn) return -1;
        PyObject* argv[2] = {id.get(), tn.get()};
        Ref proxy = Ref::steal(PyObject_Vectorcall(cls.get(), argv, 0, kwnames.get()));
        if (!proxy || PyDict_SetItem(ns, N.*r.global, proxy.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace com_like
