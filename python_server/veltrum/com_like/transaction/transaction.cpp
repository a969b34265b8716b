// OfficeJsTransaction: brackets set operations in a batch of the add-in's
// transaction object, through the ordinary proxy operations.
#include "functions/function_params.h"
#include "proxies/proxies.h"
#include "base/fixed_roots.h"
#include "base/subsystems.h"

namespace com_like {
namespace {

constexpr const char kReprFormat[] = "<OfficeJsTransaction id=%U>";
constexpr const char kClassDoc[] =
    "\n    Transaction object to batch multiple set operations into a single request.\n    ";

int truth_of_attr(PyObject* self, PyObject* name) {
    Ref v = getattr(self, name);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

New transaction_init(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref tid = get_global(N.mod_UNIQUE_TRANSACTION_ID);
    if (!tid || set_identity(self, tid.get(), N.Transaction, N.officejs_transaction, false) < 0) return nullptr;
    if (PyObject_SetAttr(self, N._rollback_at_error, a.v[1]) < 0 ||
        PyObject_SetAttr(self, N._error_callback, a.v[3]) < 0 || PyObject_SetAttr(self, N._raiseError, a.v[2]) < 0 ||
        PyObject_SetAttr(self, N._isInWith, Py_False) < 0 || PyObject_SetAttr(self, N._block_gets, a.v[4]) < 0)
        return nullptr;
    return none();
}

New transaction_start(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref fn = proxy_getattr(self, N.start);
    if (!fn) return nullptr;
    Ref ctx = get_global(N.mod_Context);
    Ref block = ctx ? getattr(self, N._block_gets) : Ref();
    Ref r = block ? call2(fn.get(), ctx.get(), block.get()) : Ref();
    if (!r) return nullptr;
    return none();
}

New transaction_commit(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref fn = proxy_getattr(self, N.commit);  // held until we return
    if (!fn) return nullptr;
    if (!call0(fn.get())) return nullptr;
    int inside = truth_of_attr(self, N._isInWith);
    if (inside < 0) return nullptr;
    if (inside && !call_method(self, N._start)) return nullptr;
    return none();
}

// Discards the add-in's open batch, as commit applies it: GET "rollback", then
// a call without arguments. An add-in that cannot roll back must not replace
// the block's own exception, so failures of the Exception family are dropped.
int transaction_send_rollback(PyObject* self) {
    Ref fn = proxy_getattr(self, N.rollback);
    Ref r = fn ? call0(fn.get()) : Ref();
    if (r) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

New transaction_enter(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    if (PyObject_SetAttr(self, N._isInWith, Py_True) < 0) return nullptr;
    if (!call_method(self, N._start)) return nullptr;
    return Ref::borrow(self).transfer();
}

New transaction_exit(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    if (PyObject_SetAttr(self, N._isInWith, Py_False) < 0) return nullptr;
    if (a.v[1] == Py_None) {
        if (!call_method(self, N.commit)) return nullptr;
        return none();
    }
    int rollback = truth_of_attr(self, N._rollback_at_error);
    if (rollback < 0) return nullptr;
    if (rollback) {
        if (transaction_send_rollback(self) < 0) return nullptr;
    } else if (!call_method(self, N.commit)) {
        return nullptr;
    }
    Ref cb = getattr(self, N._error_callback);
    if (!cb) return nullptr;
    int has_cb = PyObject_IsTrue(cb.get());
    if (has_cb < 0) return nullptr;
    if (has_cb) {
        PyObject* argv[4] = {nullptr, a.v[1], a.v[2], a.v[3]};
        Ref ignored = Ref::steal(PyObject_Vectorcall(cb.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!ignored) return nullptr;
    }
    int raise_error = truth_of_attr(self, N._raiseError);
    if (raise_error < 0) return nullptr;
    return New(PyBool_FromLong(!raise_error));
}

New transaction_del(const FuncSpec&, Bound& a) {
    Ref r = proxy_del(a.v[0]);
    return r ? r.transfer() : reraise_trimmed();
}

New transaction_repr(const FuncSpec&, Bound& a) {
    Ref oid = getattr(a.v[0], N._internal_id);
    Ref text = oid ? format_empty(oid.get()) : Ref();
    if (!text) return nullptr;
    return New(PyUnicode_FromFormat(kReprFormat, text.get()));
}

constexpr Param kInit[] = {{"self"},
                           {"roolback_at_error", Check::Any, defaults_to(false)},
                           {"raiseError", Check::Any, defaults_to(true)},
                           {"error_callback", Check::Any, kDefaultsToNone},
                           {"block_gets", Check::Any, defaults_to(false)}};
constexpr Param kExit[] = {{"self"}, {"exc_type"}, {"exc_val"}, {"exc_tb"}};

constexpr FuncSpec transaction_init_spec{Fn::transaction_init, "__init__", "OfficeJsTransaction", "",
                                         transaction_init, kInit};
constexpr FuncSpec transaction_start_spec{Fn::transaction_start, "_start", "OfficeJsTransaction", "",
                                          transaction_start, kSelfParams};
constexpr FuncSpec transaction_commit_spec{Fn::transaction_commit, "commit", "OfficeJsTransaction", "",
                                           transaction_commit, kSelfParams};
constexpr FuncSpec transaction_enter_spec{Fn::transaction_enter, "__enter__", "OfficeJsTransaction", "",
                                          transaction_enter, kSelfParams};
constexpr FuncSpec transaction_exit_spec{Fn::transaction_exit, "__exit__", "OfficeJsTransaction", "",
                                         transaction_exit, kExit};
constexpr FuncSpec transaction_del_spec{Fn::transaction_del, "__del__", "OfficeJsTransaction", "", transaction_del,
                                        kSelfParams};
constexpr FuncSpec transaction_repr_spec{Fn::transaction_repr, "__repr__", "OfficeJsTransaction", "",
                                         transaction_repr, kSelfParams};

}  // namespace

int body_transaction(PyObject* ns) {
    Ref id = Ref::steal(PyLong_FromLong(kTransactionId));
    if (!id || PyDict_SetItem(ns, N.mod_UNIQUE_TRANSACTION_ID, id.get()) < 0) return -1;
    const Member members[] = {{&transaction_init_spec}, {&transaction_start_spec}, {&transaction_commit_spec},
                              {&transaction_enter_spec}, {&transaction_exit_spec}, {&transaction_del_spec},
                              {&transaction_repr_spec}};
    // The class is named as the module global it is bound to.
    const char* name = PyUnicode_AsUTF8(N.mod_OfficeJsTransaction);
    Ref cls = name ? Ref::steal(build_class(name, reinterpret_cast<PyObject*>(&PyBaseObject_Type), kClassDoc, members))
                   : Ref();
    if (!cls) return -1;
    return PyDict_SetItem(ns, N.mod_OfficeJsTransaction, cls.get());
}

}  // namespace com_like
