// The interned names: one row per field of Names.
#include "base/globals.h"

namespace com_like {

namespace {

struct NameText {
    PyObject* Names::*field;
    const char* text;
};

constexpr NameText kNameTexts[] = {
    // module globals
    {&Names::mod_base64, "base64"},
    {&Names::mod_concurrent, "concurrent"},
    {&Names::mod_Union, "Union"},
    {&Names::mod_dt, "dt"},
    {&Names::mod_threading, "threading"},
    {&Names::mod_uuid, "uuid"},
    {&Names::mod_pd, "pd"},
    {&Names::mod_np, "np"},
    {&Names::mod_Any, "Any"},
    {&Names::mod_Dict, "Dict"},
    {&Names::mod_Serializer, "Serializer"},
    {&Names::mod_Messaging, "Messaging"},
    {&Names::mod_cw_getattr, "_cw__getattr__"},
    {&Names::mod_cw_getitem, "_cw__getitem__"},
    {&Names::mod_cw_setattr, "_cw__setattr__"},
    {&Names::mod_cw_call, "_cw__call__"},
    {&Names::mod_cw_del, "_cw__del__"},
    {&Names::mod_internal_names, "_internal_officejs_names"},
    {&Names::mod_OfficeJsObject, "OfficeJsObject"},
    {&Names::mod_OfficeJsArray, "OfficeJsArray"},
    {&Names::mod_OfficeJsDict, "OfficeJsDict"},
    {&Names::mod_UNIQUE_TRANSACTION_ID, "UNIQUE_TRANSACTION_ID"},
    {&Names::mod_OfficeJsTransaction, "OfficeJsTransaction"},
    {&Names::mod_messaging, "messaging"},
    {&Names::mod_Context, "Context"},
    {&Names::mod_Excel, "Excel"},
    {&Names::mod_GetSetting, "GetSetting"},
    {&Names::mod_Intersect, "Intersect"},
    {&Names::mod_OfficeJsAttributeError, "OfficeJsAttributeError"},
    // Messaging attributes
    {&Names::waiters, "waiters"},
    {&Names::_waiters_lock, "_waiters_lock"},
    {&Names::_guid, "_guid"},
    {&Names::_send_handler, "_send_handler"},
    {&Names::loop, "loop"},
    {&Names::loop_thread, "loop_thread"},
    {&Names::_callable_registry, "_callable_registry"},
    {&Names::_callable_lock, "_callable_lock"},
    {&Names::_next_callable_id, "_next_callable_id"},
    // proxy attributes
    {&Names::_internal_id, "_internal_id"},
    {&Names::_internal_typeName, "_internal_typeName"},
    {&Names::_msg_guid, "_msg_guid"},
    {&Names::_typ, "_typ"},
    {&Names::_internal_cache, "_internal_cache"},
    {&Names::object_id, "object_id"},
    {&Names::type_name, "type_name"},
    // transaction attributes
    {&Names::_rollback_at_error, "_rollback_at_error"},
    {&Names::_error_callback, "_error_callback"},
    {&Names::_raiseError, "_raiseError"},
    {&Names::_isInWith, "_isInWith"},
    {&Names::_block_gets, "_block_gets"},
    {&Names::_start, "_start"},
    {&Names::commit, "commit"},
    {&Names::start, "start"},
    {&Names::rollback, "rollback"},
    // message keys and values
    {&Names::requestId, "requestId"},
    {&Names::kind, "kind"},
    {&Names::request, "request"},
    {&Names::ok, "ok"},
    {&Names::result, "result"},
    {&Names::error, "error"},
    {&Names::message, "message"},
    {&Names::method, "method"},
    {&Names::name, "name"},
    {&Names::caller, "caller"},
    {&Names::value, "value"},
    {&Names::args, "args"},
    {&Names::arg_type, "arg_type"},
    {&Names::PLACED, "PLACED"},
    {&Names::NAMED, "NAMED"},
    {&Names::GET, "GET"},
    {&Names::GETITEM, "GETITEM"},
    {&Names::SET, "SET"},
    {&Names::CALL, "CALL"},
    {&Names::DEL, "DEL"},
    {&Names::dunder_call, "__call__"},
    {&Names::dunder_del, "__del__"},
    {&Names::Remote_error, "Remote error"},
    {&Names::missingMember, "missingMember"},
    {&Names::_missingMember, "_missingMember"},
    // default texts of failed proxy operations
    {&Names::GET_failed_for, "GET failed for "},
    {&Names::GET_ITEM_failed_for, "GET ITEM failed for "},
    {&Names::SET_failed_for, "SET failed for "},
    {&Names::CALL_failed, "CALL failed"},
    // other fixed texts of errors raised with a text object
    {&Names::Timed_out_waiting, "Timed out waiting for Office.js response"},
    // wire record keys and tags
    {&Names::type, "type"},
    {&Names::isSpec, "isSpec"},
    {&Names::id, "id"},
    {&Names::Null, "Null"},
    {&Names::Bool, "Bool"},
    {&Names::Int, "Int"},
    {&Names::Float, "Float"},
    {&Names::String, "String"},
    {&Names::Date, "Date"},
    {&Names::Bytes, "Bytes"},
    {&Names::Array, "Array"},
    {&Names::Dict, "Dict"},
    {&Names::Python_Function, "Python_Function"},
    {&Names::Function, "Function"},
    {&Names::Transaction, "Transaction"},
    {&Names::officejs_object, "officejs_object"},
    {&Names::officejs_array, "officejs_array"},
    {&Names::officejs_dict, "officejs_dict"},
    {&Names::officejs_transaction, "officejs_transaction"},
    // attribute and method names of foreign objects
    {&Names::futures, "futures"},
    {&Names::Future, "Future"},
    {&Names::TimeoutError, "TimeoutError"},
    {&Names::uuid4, "uuid4"},
    {&Names::hex, "hex"},
    {&Names::Lock, "Lock"},
    {&Names::acquire, "acquire"},
    {&Names::release, "release"},
    {&Names::set_result, "set_result"},
    {&Names::set_exception, "set_exception"},
    {&Names::done, "done"},
    {&Names::cancel, "cancel"},
    {&Names::get, "get"},
    {&Names::pop, "pop"},
    {&Names::clear, "clear"},
    {&Names::values, "values"},
    {&Names::items, "items"},
    {&Names::keys, "keys"},
    {&Names::extend, "extend"},
    {&Names::update, "update"},
    {&Names::send_request_sync, "send_request_sync"},
    {&Names::register_callable, "register_callable"},
    {&Names::to_wire, "to_wire"},
    {&Names::from_wire, "from_wire"},
    {&Names::dunder_init, "__init__"},
    {&Names::dunder_getattr, "__getattr__"},
    {&Names::dunder_getitem, "__getitem__"},
    {&Names::dunder_setattr, "__setattr__"},
    {&Names::dunder_getattribute, "__getattribute__"},
    {&Names::underscore, "_"},
    {&Names::dunder_dict, "__dict__"},
    {&Names::dunder_name, "__name__"},
    {&Names::dunder_module, "__module__"},
    {&Names::dunder_qualname, "__qualname__"},
    {&Names::dunder_doc, "__doc__"},
    {&Names::dunder_traceback, "__traceback__"},
    {&Names::tb_frame, "tb_frame"},
    {&Names::tb_next, "tb_next"},
    {&Names::f_code, "f_code"},
    {&Names::co_name, "co_name"},
    {&Names::empty, ""},
    // inspect.Signature and __annotations__ of the native functions
    {&Names::inspect, "inspect"},
    {&Names::Parameter, "Parameter"},
    {&Names::Signature, "Signature"},
    {&Names::POSITIONAL_OR_KEYWORD, "POSITIONAL_OR_KEYWORD"},
    {&Names::VAR_POSITIONAL, "VAR_POSITIONAL"},
    {&Names::VAR_KEYWORD, "VAR_KEYWORD"},
    {&Names::kwargs, "kwargs"},
    {&Names::default_, "default"},
    {&Names::annotation, "annotation"},
    {&Names::return_annotation, "return_annotation"},
    {&Names::return_, "return"},
    {&Names::comma_space, ", "},
};
static_assert(sizeof(kNameTexts) / sizeof(kNameTexts[0]) == sizeof(Names) / sizeof(PyObject*),
              "every field of Names has one row here");

}  // namespace

int init_names() {
    if (N.empty) return 0;
    for (const NameText& n : kNameTexts) {
        // With the row count equal to the field count, a repeated row is the
        // only way to leave a field empty.
        if (N.*n.field) return raise(PyExc_SystemError, "a name is listed twice"), -1;
        if (!(N.*n.field = PyUnicode_InternFromString(n.text))) return -1;
    }
    return 0;
}

}  // namespace com_like
