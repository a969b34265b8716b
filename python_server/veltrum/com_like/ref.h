// Reference ownership for the whole module.
//
// Rules of use:
//  * `Ref` owns exactly one strong reference (or nothing). It releases it when
//    it goes out of scope, so every early return on an error path is leak-free.
//  * A raw `PyObject*` parameter or local is BORROWED: never decref it, and do
//    not keep it past the call that lent it unless you take a `Ref::borrow`.
//  * Functions that create objects return `Ref`; an empty `Ref` means failure
//    and a Python exception is set. This is the one error convention of the
//    module: nullptr / empty Ref (or -1 for int results) with the error
//    indicator set. No C++ exceptions cross our code.
//  * At the C-API boundary hand the reference over with `release()`.
//  * `Ref::steal(p)` adopts a new reference returned by the C API (p may be
//    NULL; the Ref is then empty). `Ref::borrow(p)` takes an extra reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace com_like {

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
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Saves the pending exception and puts it back on scope exit, for cleanup
// code that must run Python operations while an error is in flight.
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace com_like
