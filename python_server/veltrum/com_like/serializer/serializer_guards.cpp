// Depth and stack guard, and the hidden-container list, of the serializer.
#include "serializer/serializer_guards.h"

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#elif defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace com_like {
namespace ser {
namespace {

constexpr int kMaxDepth = 4000;
constexpr uintptr_t kStackReserve = 512 * 1024;
// Per-thread: each thread walks its own values on its own stack.
thread_local int t_depth = 0;
thread_local uintptr_t t_stack_floor = 0;  // lowest safe frame address; 1 = unknown

// The current thread's stack as its lowest address and its size; false
// where the platform does not say, which leaves the depth cap and
// CPython's own recursion check as the only guards.
bool thread_stack(uintptr_t& low, size_t& size) {
#if defined(_WIN32)
    ULONG_PTR lo = 0, hi = 0;
    GetCurrentThreadStackLimits(&lo, &hi);  // Windows 8 on, as CPython 3.9 on
    low = static_cast<uintptr_t>(lo);
    size = static_cast<size_t>(hi - lo);
    return hi > lo;
#elif defined(__APPLE__)
    // The stack grows down from the address that is reported.
    pthread_t self = pthread_self();
    const uintptr_t top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    size = pthread_get_stacksize_np(self);
    low = top - size;
    return size > 0 && top > size;
#elif defined(__linux__)
    // glibc and musl both have it.
    bool known = false;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t sz = 0;
        if (pthread_attr_getstack(&attr, &addr, &sz) == 0) {
            low = reinterpret_cast<uintptr_t>(addr);
            size = sz;
            known = sz > 0;
        }
        pthread_attr_destroy(&attr);
    }
    return known;
#else
    (void)low;
    (void)size;
    return false;
#endif
}

bool guards_stack_nearly_full() {
    if (t_stack_floor == 0) {
        t_stack_floor = 1;
        uintptr_t low = 0;
        size_t size = 0;
        if (thread_stack(low, size)) {
            // Half of a small stack (a non-Python thread's 512 KiB on macOS,
            // musl's 128 KiB), so that it too is guarded.
            const uintptr_t reserve = size / 2 < kStackReserve ? size / 2 : kStackReserve;
            t_stack_floor = low + reserve;
        }
    }
    // An address in this frame, compared against the floor.
#if defined(__GNUC__) || defined(__clang__)
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#elif defined(_MSC_VER)
    const uintptr_t here = reinterpret_cast<uintptr_t>(_AddressOfReturnAddress());
#else
    // A local's address: near enough the frame for a reserve of kilobytes.
    volatile char probe = 0;
    const uintptr_t here = reinterpret_cast<uintptr_t>(&probe);
#endif
    return t_stack_floor > 1 && here < t_stack_floor;
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
