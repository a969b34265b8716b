// Messaging's registry of Python callables that the add-in may call back:
// ids handed out under _callable_lock, entries released after it.
#include "messaging/callable_registry.h"

namespace com_like {
namespace {

// "pyfunc_<first 8 of the guid>_<counter>"
constexpr const char kIdFormat[] = "pyfunc_%S_%S";
constexpr Py_ssize_t kIdGuidChars = 8;
constexpr const char kNotCallableFormat[] = "Object must be callable, got %S";

// The next id (kIdFormat), advancing the counter. Under the lock.
Ref next_callable_id(PyObject* self) {
    Ref guid = getattr(self, N._guid);
    if (!guid) return guid;
    Ref prefix = Ref::steal(PySequence_GetSlice(guid.get(), 0, kIdGuidChars));
    if (!prefix) return prefix;
    Ref counter = getattr(self, N._next_callable_id);
    if (!counter) return counter;
    Ref id = Ref::steal(PyUnicode_FromFormat(kIdFormat, prefix.get(), counter.get()));
    if (!id) return id;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = one ? Ref::steal(PyNumber_Add(counter.get(), one.get())) : Ref();
    if (!next || PyObject_SetAttr(self, N._next_callable_id, next.get()) < 0) return Ref();
    return id;
}

New messaging_register_callable(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    PyObject* obj = a.v[1];
    if (!PyCallable_Check(obj)) {
        Ref tname = getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), N.dunder_name);
        if (tname) PyErr_Format(PyExc_TypeError, kNotCallableFormat, tname.get());
        return nullptr;
    }
    Ref replaced;  // an entry under the same id (the counter was rewound): released after the lock
    Ref id;
    int rc = with_lock(self, N._callable_lock, [&] {
        id = next_callable_id(self);
        Ref registry = id ? getattr(self, N._callable_registry) : Ref();
        if (!registry) return -1;
        if (PyDict_CheckExact(registry.get())) {
            replaced = Ref::borrow(PyDict_GetItemWithError(registry.get(), id.get()));
            if (!replaced && PyErr_Occurred()) return -1;
        }
        return mapping_set(registry.get(), id.get(), obj);
    });
    return rc < 0 ? New() : id.transfer();
}

New messaging_get_callable(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref found;
    int rc = with_lock(self, N._callable_lock, [&] {
        Ref registry = getattr(self, N._callable_registry);
        if (!registry) return -1;
        found = PyDict_CheckExact(registry.get()) ? dict_get(registry.get(), a.v[1])
                                                  : call_method(registry.get(), N.get, a.v[1]);
        return found ? 0 : -1;
    });
    return rc < 0 ? New() : found.transfer();
}

New messaging_unregister_callable(const FuncSpec&, Bound& a) {
    PyObject* self = a.v[0];
    Ref popped;  // released after the lock, see TakenEntries
    int rc = with_lock(self, N._callable_lock, [&] {
        Ref registry = getattr(self, N._callable_registry);
        return registry && (popped = mapping_pop(registry.get(), a.v[1])) ? 0 : -1;
    });
    if (rc < 0) return nullptr;
    return none();
}

constexpr Param kRegister[] = {{"self"}, {"callable_obj", Check::Any, kRequired, "Any"}};

}  // namespace

extern constexpr FuncSpec messaging_register_callable_spec{
    Fn::messaging_register_callable, "register_callable", "Messaging",
    "Register a Python callable and return its ID.\n\n"
    "Args:\n    callable_obj: The callable to register (function, lambda, method, etc.)\n\n"
    "Returns:\n    String ID that can be used to invoke the callable from Excel.\n    \n"
    "Raises:\n    TypeError: If callable_obj is not callable\n    \n"
    "Threading Note: This method is thread-safe due to _callable_lock.\n"
    "Can be called from any thread (worker or listener).",
    messaging_register_callable, kRegister, returns("str")};
extern constexpr FuncSpec messaging_get_callable_spec{
    Fn::messaging_get_callable, "get_callable", "Messaging",
    "Retrieve a registered callable by its ID.\n\n"
    "Args:\n    callable_id: The ID returned by register_callable.\n\n"
    "Returns:\n    The callable object, or None if not found.\n    \n"
    "Threading Note: This method is thread-safe due to _callable_lock.\n"
    "Can be called from any thread (worker or listener).",
    messaging_get_callable, kSelfCallableIdParams, returns("Any")};
extern constexpr FuncSpec messaging_unregister_callable_spec{
    Fn::messaging_unregister_callable, "unregister_callable", "Messaging",
    "Remove a callable from the registry.\n\n"
    "Args:\n    callable_id: The ID of the callable to remove.\n    \n"
    "Threading Note: This method is thread-safe due to _callable_lock.\n"
    "Can be called from any thread (worker or listener).",
    messaging_unregister_callable, kSelfCallableIdParams};

}  // namespace com_like
