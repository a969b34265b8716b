// The steps of the module body, one per subsystem, in binding order. Each
// binds its names in the module namespace `ns` and returns -1 with an
// exception set on failure.
#pragma once

#include "base/globals.h"

namespace com_like {

int body_serializer(PyObject* ns);          // Serializer
int body_messaging_class(PyObject* ns);     // Messaging
int body_proxy_functions(PyObject* ns);     // _cw__getattr__ ... _internal_officejs_names
int body_proxy_classes(PyObject* ns);       // OfficeJsObject, OfficeJsArray, OfficeJsDict
int body_transaction(PyObject* ns);         // UNIQUE_TRANSACTION_ID, OfficeJsTransaction
int body_messaging_instance(PyObject* ns);  // messaging
int body_root_proxies(PyObject* ns);        // Context, Excel, GetSetting, Union, Intersect
int body_python_protocols(PyObject* ns);     // OfficeJsAttributeError; copy reducers

}  // namespace com_like
