// The one home of raising: every helper sets the exception and returns a
// Failure, which converts to the failure value of whatever the caller
// returns, so that raising and returning is one statement:
//
//     return raise(PyExc_ValueError, "...");   // in a PyObject*, bool, Ref or int function
//
// The conversions yield only failure values: null, false, an empty Ref and
// -1 (the int slots: setters, the module execution slot). A return type with
// no failure value of its own (a size, an int64_t) does not compile.
#pragma once

#include "ref.hpp"

namespace lumivex::capi {

struct [[nodiscard]] Failure {
    constexpr operator PyObject*() const noexcept { return nullptr; }
    constexpr operator bool() const noexcept { return false; }
    constexpr operator int() const noexcept { return -1; }
    operator Ref() const noexcept { return Ref(); }
};

// An exception is already set (by the interpreter or a callee).
constexpr Failure failed{};

// PyErr_SetString(type, message).
Failure raise(PyObject* type, const char* message) noexcept;
// PyErr_Format(type, format, ...), with the interpreter's format codes.
Failure raiseFormat(PyObject* type, const char* format, ...) noexcept;
// MemoryError, for sizes that cannot be allocated.
Failure raiseNoMemory() noexcept;

}  // namespace lumivex::capi
