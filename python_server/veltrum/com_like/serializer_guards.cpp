// Depth and stack guard, and the hidden-container list, of the serializer.
#include "serializer_guards.h"

#include <pthread.h>

#include <cstdint>

namespace com_like {
namespace ser {
namespace {

constexpr int kMaxDepth = 4000;
constexpr uintptr_t kStackReserve = 512 * 1024;
// Per-thread: each thread walks its own values on its own stack.
thread_local int t_depth = 0;
thread_local uintptr_t t_stack_floor = 0;  // lowest safe frame address; 1 = unknown

bool guards_stack_nearly_full() {
    if (t_stack_floor == 0) {
        t_stack_floor = 1;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 2 * kStackReserve) {
                t_stack_floor = reinterpret_cast<uintptr_t>(addr) + kStackReserve;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return t_stack_floor > 1 && reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < t_stack_floor;
}

}  // namespace

int DepthGuard::enter(const char* where) {
    if (t_depth >= kMaxDepth || guards_stack_nearly_full()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    if (Py_EnterRecursiveCall(where)) return -1;
    ++t_depth;
    entered_ = true;
    return 0;
}

void DepthGuard::leave() {
    --t_depth;
    Py_LeaveRecursiveCall();
}

void Hidden::reveal() {
    for (size_t i = 0; i < size_; ++i) {
        if (!PyObject_GC_IsTracked(objects_[i])) PyObject_GC_Track(objects_[i]);
    }
    const size_t n = size_;
    size_ = 0;
    for (size_t i = 0; i < n; ++i) Ref::steal(objects_[i]);  // the reference push() took
}

// From 3.12 on, a collection that our allocations set off waits for the
// eval loop's next check, which would come just after the result is
// revealed and traverse all of it. PyErr_CheckSignals, the check that
// long-running native code is asked to make, runs it here instead, where it
// finds the result hidden, together with any signal handler the eval loop
// would have run next. Before 3.12 collections run during the allocations.
int Hidden::run_pending_collection() {
#if PY_VERSION_HEX >= 0x030C0000
    if (size_ > 0) return PyErr_CheckSignals();
#endif
    return 0;
}

int Hidden::grow() {
    size_t cap = cap_ ? cap_ * 2 : 64;
    auto* grown = static_cast<PyObject**>(PyMem_Realloc(objects_, cap * sizeof(PyObject*)));
    if (!grown) {
        PyErr_NoMemory();
        return -1;
    }
    objects_ = grown;
    cap_ = cap;
    return 0;
}

}  // namespace ser
}  // namespace com_like
