// Interned strings used as keys, attribute names and fixed texts. They are
// created once at start-up (process-wide, like the module object) so that no
// hot path builds a string.
//
// Each name is a field here and one row of kNameTexts (names.cpp); a
// static_assert keeps the two the same length and init_names() checks that
// every field was filled, so a name without its text cannot build or start.
#pragma once

#include "base/ref.h"

namespace com_like {

struct Names {
    // module globals
    PyObject* mod_base64;
    PyObject* mod_concurrent;
    PyObject* mod_Union;
    PyObject* mod_dt;
    PyObject* mod_threading;
    PyObject* mod_uuid;
    PyObject* mod_pd;
    PyObject* mod_np;
    PyObject* mod_Any;
    PyObject* mod_Dict;
    PyObject* mod_Serializer;
    PyObject* mod_Messaging;
    PyObject* mod_cw_getattr;
    PyObject* mod_cw_getitem;
    PyObject* mod_cw_setattr;
    PyObject* mod_cw_call;
    PyObject* mod_cw_del;
    PyObject* mod_internal_names;
    PyObject* mod_OfficeJsObject;
    PyObject* mod_OfficeJsArray;
    PyObject* mod_OfficeJsDict;
    PyObject* mod_UNIQUE_TRANSACTION_ID;
    PyObject* mod_OfficeJsTransaction;
    PyObject* mod_messaging;
    PyObject* mod_Context;
    PyObject* mod_Excel;
    PyObject* mod_GetSetting;
    PyObject* mod_Intersect;
    PyObject* mod_OfficeJsAttributeError;
    // Messaging attributes
    PyObject* waiters;
    PyObject* _waiters_lock;
    PyObject* _guid;
    PyObject* _send_handler;
    PyObject* loop;
    PyObject* loop_thread;
    PyObject* _callable_registry;
    PyObject* _callable_lock;
    PyObject* _next_callable_id;
    // proxy attributes
    PyObject* _internal_id;
    PyObject* _internal_typeName;
    PyObject* _msg_guid;
    PyObject* _typ;
    PyObject* _internal_cache;
    PyObject* object_id;
    PyObject* type_name;
    // transaction attributes
    PyObject* _rollback_at_error;
    PyObject* _error_callback;
    PyObject* _raiseError;
    PyObject* _isInWith;
    PyObject* _block_gets;
    PyObject* _start;
    PyObject* commit;
    PyObject* start;
    PyObject* rollback;
    // message keys and values
    PyObject* requestId;
    PyObject* kind;
    PyObject* request;
    PyObject* ok;
    PyObject* result;
    PyObject* error;
    PyObject* message;
    PyObject* method;
    PyObject* name;
    PyObject* caller;
    PyObject* value;
    PyObject* args;
    PyObject* arg_type;
    PyObject* PLACED;
    PyObject* NAMED;
    PyObject* GET;
    PyObject* GETITEM;
    PyObject* SET;
    PyObject* CALL;
    PyObject* DEL;
    PyObject* dunder_call;
    PyObject* dunder_del;
    PyObject* Remote_error;
    PyObject* missingMember;
    PyObject* _missingMember;
    // default texts of failed proxy operations
    PyObject* GET_failed_for;
    PyObject* GET_ITEM_failed_for;
    PyObject* SET_failed_for;
    PyObject* CALL_failed;
    // other fixed texts of errors raised with a text object
    PyObject* Timed_out_waiting;
    // wire record keys and tags
    PyObject* type;
    PyObject* isSpec;
    PyObject* id;
    PyObject* Null;
    PyObject* Bool;
    PyObject* Int;
    PyObject* Float;
    PyObject* String;
    PyObject* Date;
    PyObject* Bytes;
    PyObject* Array;
    PyObject* Dict;
    PyObject* Python_Function;
    PyObject* Function;
    PyObject* Transaction;
    PyObject* officejs_object;
    PyObject* officejs_array;
    PyObject* officejs_dict;
    PyObject* officejs_transaction;
    // attribute and method names of foreign objects
    PyObject* futures;
    PyObject* Future;
    PyObject* TimeoutError;
    PyObject* uuid4;
    PyObject* hex;
    PyObject* Lock;
    PyObject* acquire;
    PyObject* release;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* done;
    PyObject* cancel;
    PyObject* get;
    PyObject* pop;
    PyObject* clear;
    PyObject* values;
    PyObject* items;
    PyObject* keys;
    PyObject* extend;
    PyObject* update;
    PyObject* send_request_sync;
    PyObject* register_callable;
    PyObject* to_wire;
    PyObject* from_wire;
    PyObject* dunder_init;
    PyObject* dunder_getattr;
    PyObject* dunder_getitem;
    PyObject* dunder_setattr;
    PyObject* dunder_getattribute;
    PyObject* underscore;
    PyObject* dunder_dict;
    PyObject* dunder_name;
    PyObject* dunder_module;
    PyObject* dunder_qualname;
    PyObject* dunder_doc;
    PyObject* dunder_traceback;
    PyObject* tb_frame;
    PyObject* tb_next;
    PyObject* f_code;
    PyObject* co_name;
    PyObject* empty;
    // inspect.Signature and __annotations__ of the native functions
    PyObject* inspect;
    PyObject* Parameter;
    PyObject* Signature;
    PyObject* POSITIONAL_OR_KEYWORD;
    PyObject* VAR_POSITIONAL;
    PyObject* VAR_KEYWORD;
    PyObject* kwargs;
    PyObject* default_;
    PyObject* annotation;
    PyObject* return_annotation;
    PyObject* return_;
    PyObject* comma_space;
};

// Creates the interned names once per process. Returns -1 with an exception set.
int init_names();

}  // namespace com_like
