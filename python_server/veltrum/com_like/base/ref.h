// Reference ownership for the whole module.
//
// Rules of use:
//  * `Ref` owns exactly one strong reference (or nothing). It releases it when
//    it goes out of scope, so every early return on an error path is leak-free.
//  * `Borrowed` (or a raw `PyObject*` parameter or local) is BORROWED: never
//    decref it, and do not keep it past the call that lent it unless you take
//    a `Ref::borrow`.
//  * Functions that create objects return `Ref`; an empty `Ref` means failure
//    and a Python exception is set. This is the one error convention of the
//    module: nullptr / empty Ref (or -1 for int results) with the error
//    indicator set.
//  * `New` is a new reference in transit, for functions on hot paths: a `Ref`
//    has a destructor, so the ABI returns it through memory, which shows on
//    the serializer's recursion; `New` is trivially copyable and comes back
//    in a register. It owns nothing by itself: adopt it at once with
//    `Ref::steal(new_ref)`, or hand it on to the C API with `release()`.
//  * No C++ exceptions: GCC and clang build the module with -fno-exceptions,
//    so a forced unwind (pthread_exit of a daemon thread at interpreter exit)
//    runs no destructor that would drop references without the GIL (a thread
//    that Windows ends is not unwound at all), and every failure travels by
//    the error convention above.
//  * Chaining: each step runs only when the one before succeeded, and the
//    first empty result ends the chain with its error still set:
//        Ref a = f();
//        Ref b = a ? g(a.get()) : Ref();
//        if (!b) return Ref();
//  * Only C-API slots (tp_* and getset functions, the module's create step,
//    PyMethodDef entries) return a bare `PyObject*`, and it is then the C
//    API's new reference or NULL. The native bodies behind them return `New`.
//  * At the C-API boundary hand the reference over with `release()`.
//  * `Ref::steal(p)` adopts a new reference returned by the C API (p may be
//    NULL; the Ref is then empty). `Ref::borrow(p)` takes an extra reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace com_like {

// A new reference in transit (see the rules above): adopt it or release it.
// Dropping one unused would leak it, hence [[nodiscard]].
class [[nodiscard]] New {
public:
    New() noexcept = default;
    // Failure, as `return nullptr;` with an error set.
    New(std::nullptr_t) noexcept {}
    explicit New(PyObject* p) noexcept : p_(p) {}
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// A reference that someone else owns, valid while its lender holds it.
class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref steal(New p) noexcept { return Ref(p.release()); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Hands the reference on as a New (for a function returning one).
    New transfer() noexcept { return New(release()); }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference to None, as Py_RETURN_NONE gives it.
inline New none() noexcept { return New(Py_NewRef(Py_None)); }

// An exception taken out of the error indicator and owned here until it is
// put back with restore(); dropped with its references otherwise. For code
// that inspects, chains or replaces the error in flight.
class Caught {
public:
    Caught() noexcept = default;
    Caught(Caught&&) noexcept = default;
    Caught& operator=(Caught&&) noexcept = default;

    // Takes the error in flight as it is (empty when there is none).
    static Caught fetch() noexcept {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Caught c;
        c.type_ = Ref::steal(type);
        c.value_ = Ref::steal(value);
        c.tb_ = Ref::steal(tb);
        return c;
    }
    // Makes the value an exception instance carrying its traceback, as an
    // `except` clause would see it. Call with no error set.
    void normalize() noexcept {
        if (!type_) return;
        PyObject *type = type_.release(), *value = value_.release(), *tb = tb_.release();
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && tb) PyException_SetTraceback(value, tb);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        tb_ = Ref::steal(tb);
    }

    explicit operator bool() const noexcept { return bool(type_); }
    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* exc) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_.get(), exc); }

    // The value alone (the type and traceback are dropped), e.g. to become
    // the __context__ of another error.
    Ref take_value() noexcept {
        type_.reset();
        tb_.reset();
        return std::move(value_);
    }
    // Replaces the traceback (`tb` may be empty).
    void set_traceback(Ref tb) noexcept { tb_ = std::move(tb); }
    // Puts it back as the error in flight; with nothing caught this clears
    // the indicator, as PyErr_Restore does.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }

private:
    Ref type_;
    Ref value_;
    Ref tb_;
};

// Saves the pending exception and puts it back on scope exit, for cleanup
// code that must run Python operations while an error is in flight.
class ErrorStash {
public:
    ErrorStash() noexcept : kept_(Caught::fetch()) {}
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() { kept_.restore(); }

private:
    Caught kept_;
};

}  // namespace com_like
