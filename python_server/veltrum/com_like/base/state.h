// The native process-wide state of the module, in one place: the interned
// names (`N`, names.h), the serializer's names and record templates (`S`,
// serializer_names.h), what is learned from other libraries, and what is made
// for each native function. `N` and `S` are short names for two of its
// members.
//
// Lifetime: the module is made once per process and never re-initialised.
// state_init() and then the serializer's serializer_records_init(), called by
// the execute step before the module body runs, fill every field that does
// not depend on the body; the body then sets the objects it makes
// (attribute_error, saved_getattro, and what is made for each native function
// as its class or global is built). Every reference here is
// strong and kept for the life of the process: objects of the module can
// outlive its namespace at interpreter exit. What is learned from other
// libraries (threading.Lock, concurrent.futures.Future) is checked once, at
// start-up; if it does not look as expected the field stays empty and the
// fast path that reads it is off, so the ordinary Python calls run instead.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/function_ids.h"
#include "base/names.h"
#include "base/serializer_names.h"

namespace com_like {

inline constexpr const char kFullName[] = "veltrum_master.python_server.veltrum.com_like";
// The name the module is imported under.
inline constexpr const char kShortName[] = "com_like";

struct FuncSpec;

// What is made for one native function (function_ids.h) from its immutable
// declaration, once, when its method object or built-in is first made.
struct FunctionState {
    const FuncSpec* declared = nullptr;      // the one declaration with this id
    PyObject* interned[kMaxParams] = {};     // parameter names
    PyObject* defaults[kMaxParams] = {};     // default values, null for required ones
    PyObject* annotations[kMaxParams] = {};  // str annotations, null where none
    PyObject* return_annotation = nullptr;
    int nrequired = 0;
    PyObject* doc = nullptr;  // __doc__: the signature line and the free text
    // The class that defines a method, as a zero-argument super() sees it.
    PyObject* defining_class = nullptr;
    // The newest function object made for it: the one the fast paths recognise.
    PyObject* object = nullptr;
    PyMethodDef def = {};  // the definition of a module-level built-in
};

struct ProcessState {
    Names names;              // filled by init_names(), first
    ser::SerNames serializer;  // filled by serializer_records_init(), after state_init()

    // Written by the first create step; atomic because interpreters with a
    // GIL of their own may run their create steps at the same moment.
    std::atomic<int64_t> interpreter_id{-1};
    PyObject* module = nullptr;       // the one module object
    PyObject* module_dict = nullptr;  // its namespace
    PyObject* full_name = nullptr;    // its dotted name, the __module__ of everything made here

    // threading.Lock's type and its two method descriptors, so that the
    // common case calls the C methods without building bound methods.
    PyTypeObject* lock_type = nullptr;
    PyObject* lock_acquire = nullptr;
    PyObject* lock_release = nullptr;

    // concurrent.futures.Future keeps its state in plain instance attributes
    // and its done() and result() only read them under its own condition; an
    // exact Future's are read directly (futures.cpp).
    PyTypeObject* future_type = nullptr;
    PyObject* future_state = nullptr;      // "_state"
    PyObject* future_result = nullptr;     // "_result"
    PyObject* future_exception = nullptr;  // "_exception"
    PyObject* finished = nullptr;
    PyObject* cancelled = nullptr;
    PyObject* cancelled_notified = nullptr;

    // The interpreter's __getattr__ dispatcher that the proxy classes replace
    // (getattr_fallback.cpp), saved from the first class seen.
    getattrofunc saved_getattro = nullptr;

    // OfficeJsAttributeError, once the module body made it.
    PyObject* attribute_error = nullptr;
    // Its reconstructor for pickle (module global _rebuild_OfficeJsAttributeError).
    PyObject* attribute_error_rebuild = nullptr;

    // The native functions, by id.
    FunctionState functions[kFunctionCount];
};

extern ProcessState P;
inline Names& N = P.names;
namespace ser {
inline SerNames& S = P.serializer;
}

// Interns the names and learns the foreign layouts; -1 with an error set.
int state_init();

}  // namespace com_like
