// The module's one argument parser: the calling conventions shared by every
// Python-callable function, method and the constructor.
//
// - every parameter is positional-or-keyword;
// - a wrong count raises "f() takes exactly N positional argument(s) (M given)",
//   where M counts the arguments bound before the first missing one;
// - unknown, duplicated and non-string keywords raise their own TypeErrors;
// - then each parameter is checked or converted, left to right: exact
//   built-in types (subclasses refused, with a note) and 32-bit integers.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::capi {

enum class ParamKind { Any, Int32, ExactStr, ExactBytes, ExactTuple };

struct Param {
    const char* name;
    ParamKind kind;
};

// How many arguments parseArgs binds at most: the size of its callers' Arg arrays.
constexpr int maxParams = 6;

// A parameter list with its length taken from the array it is built from.
struct Params {
    const Param* items = nullptr;
    int count = 0;
};
template <size_t N>
constexpr Params params(const Param (&items)[N]) noexcept {
    static_assert(N <= maxParams, "parseArgs binds at most maxParams arguments");
    return {items, static_cast<int>(N)};
}
constexpr Params noParams{};

struct Signature {
    constexpr Signature(const char* name, Params list) noexcept
        : name(name), params(list.items), count(list.count) {}
    const char* name;  // the name used in messages ("save", "__cinit__")
    const Param* params;
    int count;
};

// One parsed argument: the object as passed (borrowed from the call) and,
// for Int32 parameters, its converted value.
struct Arg {
    PyObject* object;
    int32_t int32;
};

// Binds `positional` and `keywords` (a dict or null) to the signature and
// converts them into `out[0..count)`. False with a TypeError/OverflowError set.
bool parseArgs(const Signature& signature, PyObject* const* positional, Py_ssize_t positionalCount,
               PyObject* keywords, Arg (&out)[maxParams]) noexcept;

// The 32-bit integer argument rule: an int (subclasses too) by value, any
// other object through its __int__ (so floats truncate); "an integer is
// required" without one, OverflowError outside the signed 32-bit range.
bool toInt32(PyObject* object, int32_t* out) noexcept;

// The exact-type rule for a parameter of a built-in type: its type must be
// `expected` itself. Raises the "Argument 'x' has incorrect type" TypeError.
bool checkExactType(PyObject* object, PyTypeObject* expected, const char* paramName) noexcept;

// Unpacks `object` into exactly `count` new references, with the
// interpreter's unpacking messages: exact tuples and lists by length, any
// other object by iteration.
bool unpackExactly(PyObject* object, Py_ssize_t count, Ref* out) noexcept;

}  // namespace lumivex::capi
