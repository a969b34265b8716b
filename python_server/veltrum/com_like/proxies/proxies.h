// Proxy operations as the other subsystems call them: through the module
// globals, natively while those still hold this module's own functions.
#pragma once

#include "base/globals.h"

namespace com_like {

// The proxy operations through their module globals (_cw__getattr__ ...),
// natively while those still hold this module's own functions.
Ref proxy_getattr(PyObject* self, PyObject* name);
Ref proxy_getitem(PyObject* self, PyObject* index);
Ref proxy_setattr(PyObject* self, PyObject* name, PyObject* value);
Ref proxy_call(PyObject* self, Ref varargs, Ref varkw);
Ref proxy_del(PyObject* self);

// With an exception of the Exception family set: cut the leading traceback
// entries whose code name is in _internal_officejs_names, drop the cause and
// context display, and leave the same exception set. Always returns nullptr.
std::nullptr_t reraise_trimmed();

// object.__setattr__ for the identity attributes the constructors store.
int set_identity(PyObject* self, PyObject* id, PyObject* type_name, PyObject* typ, bool with_cache);

// OfficeJsAttributeError (AttributeError before the module body made it).
Borrowed attribute_error_class();

// 1 when `name` (a str) begins with "_": Python's own protocol probes
// (numpy, pandas, copy, pickle ...) and the private probes of IPython and
// pandas (_repr_html_, _fields ...). No Office.js member begins with "_",
// so these never cost a request. 0 otherwise; -1 with an error set.
int is_local_name(PyObject* name);

// With the failure of a GET's send set: the add-in's error answer becomes an
// OfficeJsAttributeError with the same arguments, so that hasattr() and
// getattr() with a default see a missing member; an answer marked
// "missingMember": false (the read failed for another reason), and everything else
// (time-out, cancellation, no handler, a failing handler), passes unchanged.
// Returns nullptr.
std::nullptr_t reraise_answer_as_attribute_error();

// Gives a class that defines __getattr__ a dispatcher that finds the instance
// miss without raising (getattr_fallback.cpp). -1 with an error set.
int use_fast_getattr_fallback(PyObject* cls);

}  // namespace com_like
