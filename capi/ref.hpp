// Owned-reference handle for CPython objects.
//
// A Ref owns exactly one reference (or none). Ownership is explicit at the
// point a reference enters: Ref::steal for new references returned by the
// C API, Ref::borrow for borrowed ones. release() hands the reference on to
// a caller or to an API that steals it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumivex::capi {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference; null (a failed API call) makes an empty Ref.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership without decrementing: the caller now owns it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Replaces the held reference with a new (owned) one.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(object_, owned);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace lumivex::capi
