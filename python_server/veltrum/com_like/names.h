// Interned strings used as keys, attribute names and fixed texts. They are
// created once at start-up (process-wide, like the module object) so that no
// hot path builds a string.
#pragma once

#include "ref.h"

namespace com_like {

// X(identifier, "text")
#define COM_LIKE_NAMES(X)                                   \
    /* module globals */                                    \
    X(g_base64, "base64")                                   \
    X(g_concurrent, "concurrent")                           \
    X(g_Union, "Union")                                     \
    X(g_dt, "dt")                                           \
    X(g_threading, "threading")                             \
    X(g_uuid, "uuid")                                       \
    X(g_pd, "pd")                                           \
    X(g_np, "np")                                           \
    X(g_Any, "Any")                                         \
    X(g_Dict, "Dict")                                       \
    X(g_Serializer, "Serializer")                           \
    X(g_Messaging, "Messaging")                             \
    X(g_cw_getattr, "_cw__getattr__")                       \
    X(g_cw_getitem, "_cw__getitem__")                       \
    X(g_cw_setattr, "_cw__setattr__")                       \
    X(g_cw_call, "_cw__call__")                             \
    X(g_cw_del, "_cw__del__")                               \
    X(g_internal_names, "_internal_officejs_names")         \
    X(g_OfficeJsObject, "OfficeJsObject")                   \
    X(g_OfficeJsArray, "OfficeJsArray")                     \
    X(g_OfficeJsDict, "OfficeJsDict")                       \
    X(g_UNIQUE_TRANSACTION_ID, "UNIQUE_TRANSACTION_ID")     \
    X(g_OfficeJsTransaction, "OfficeJsTransaction")         \
    X(g_messaging, "messaging")                             \
    X(g_Context, "Context")                                 \
    X(g_Excel, "Excel")                                     \
    X(g_GetSetting, "GetSetting")                           \
    X(g_Intersect, "Intersect")                             \
    X(g_OfficeJsAttributeError, "OfficeJsAttributeError")   \
    /* Messaging attributes */                              \
    X(waiters, "waiters")                                   \
    X(_waiters_lock, "_waiters_lock")                       \
    X(_guid, "_guid")                                       \
    X(_send_handler, "_send_handler")                       \
    X(loop, "loop")                                         \
    X(loop_thread, "loop_thread")                           \
    X(_callable_registry, "_callable_registry")             \
    X(_callable_lock, "_callable_lock")                     \
    X(_next_callable_id, "_next_callable_id")               \
    /* proxy attributes */                                  \
    X(_internal_id, "_internal_id")                         \
    X(_internal_typeName, "_internal_typeName")             \
    X(_msg_guid, "_msg_guid")                               \
    X(_typ, "_typ")                                         \
    X(_internal_cache, "_internal_cache")                   \
    /* transaction attributes */                            \
    X(_rollback_at_error, "_rollback_at_error")             \
    X(_error_callback, "_error_callback")                   \
    X(_raiseError, "_raiseError")                           \
    X(_isInWith, "_isInWith")                               \
    X(_block_gets, "_block_gets")                           \
    X(_start, "_start")                                     \
    X(commit, "commit")                                     \
    X(start, "start")                                       \
    X(rollback, "rollback")                                 \
    /* message keys and values */                           \
    X(requestId, "requestId")                               \
    X(kind, "kind")                                         \
    X(request, "request")                                   \
    X(ok, "ok")                                             \
    X(result, "result")                                     \
    X(error, "error")                                       \
    X(message, "message")                                   \
    X(method, "method")                                     \
    X(name, "name")                                         \
    X(caller, "caller")                                     \
    X(value, "value")                                       \
    X(args, "args")                                         \
    X(arg_type, "arg_type")                                 \
    X(PLACED, "PLACED")                                     \
    X(NAMED, "NAMED")                                       \
    X(GET, "GET")                                           \
    X(GETITEM, "GETITEM")                                   \
    X(SET, "SET")                                           \
    X(CALL, "CALL")                                         \
    X(DEL, "DEL")                                           \
    X(dunder_call, "__call__")                              \
    X(dunder_del, "__del__")                                \
    X(Remote_error, "Remote error")                         \
    /* default texts of failed proxy operations */          \
    X(GET_failed_for, "GET failed for ")                    \
    X(GET_ITEM_failed_for, "GET ITEM failed for ")          \
    X(SET_failed_for, "SET failed for ")                    \
    X(CALL_failed, "CALL failed")                           \
    /* wire record keys and tags */                         \
    X(type, "type")                                         \
    X(isSpec, "isSpec")                                     \
    X(id, "id")                                             \
    X(Null, "Null")                                         \
    X(Bool, "Bool")                                         \
    X(Int, "Int")                                           \
    X(Float, "Float")                                       \
    X(String, "String")                                     \
    X(Date, "Date")                                         \
    X(Bytes, "Bytes")                                       \
    X(Array, "Array")                                       \
    X(Dict, "Dict")                                         \
    X(Python_Function, "Python_Function")                   \
    X(Function, "Function")                                 \
    X(Transaction, "Transaction")                           \
    X(officejs_object, "officejs_object")                   \
    X(officejs_array, "officejs_array")                     \
    X(officejs_dict, "officejs_dict")                       \
    X(officejs_transaction, "officejs_transaction")         \
    /* attribute and method names of foreign objects */     \
    X(futures, "futures")                                   \
    X(Future, "Future")                                     \
    X(TimeoutError, "TimeoutError")                         \
    X(uuid4, "uuid4")                                       \
    X(hex, "hex")                                           \
    X(Lock, "Lock")                                         \
    X(acquire, "acquire")                                   \
    X(release, "release")                                   \
    X(set_result, "set_result")                             \
    X(set_exception, "set_exception")                       \
    X(done, "done")                                         \
    X(cancel, "cancel")                                     \
    X(get, "get")                                           \
    X(pop, "pop")                                           \
    X(clear, "clear")                                       \
    X(values, "values")                                     \
    X(items, "items")                                       \
    X(keys, "keys")                                         \
    X(extend, "extend")                                     \
    X(update, "update")                                     \
    X(send_request_sync, "send_request_sync")               \
    X(register_callable, "register_callable")               \
    X(to_wire, "to_wire")                                   \
    X(from_wire, "from_wire")                               \
    X(dunder_init, "__init__")                              \
    X(dunder_getattr, "__getattr__")                        \
    X(dunder_getattribute, "__getattribute__")              \
    X(dunder_affix, "__")                                   \
    X(dunder_name, "__name__")                              \
    X(dunder_module, "__module__")                          \
    X(dunder_qualname, "__qualname__")                      \
    X(dunder_doc, "__doc__")                                \
    X(dunder_traceback, "__traceback__")                    \
    X(tb_frame, "tb_frame")                                 \
    X(tb_next, "tb_next")                                   \
    X(f_code, "f_code")                                     \
    X(co_name, "co_name")                                   \
    X(empty, "")

struct Names {
#define COM_LIKE_DECLARE_NAME(ident, text) PyObject* ident;
    COM_LIKE_NAMES(COM_LIKE_DECLARE_NAME)
#undef COM_LIKE_DECLARE_NAME
};

// Filled by init_names(); valid for the life of the process.
extern Names N;

// Creates the interned names once per process. Returns -1 with an exception set.
int init_names();

}  // namespace com_like
