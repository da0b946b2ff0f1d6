// Calls into Python objects.
#pragma once

#include "names.hpp"

#include <initializer_list>

namespace lumivex::capi {

// object.method(*args)
Ref callMethod(PyObject* object, Name method, std::initializer_list<PyObject*> args) noexcept;
// stream.read(size)
Ref readFrom(PyObject* stream, long long size) noexcept;
// object.method(first, *rest); empty when `first` is null (its construction failed).
Ref callMethodWithFirst(PyObject* object, Name method, PyObject* first, std::initializer_list<PyObject*> rest) noexcept;

// object == bytes(text): exact bytes compared directly, anything else with
// the interpreter's generic equality.
bool equalsBytes(PyObject* object, const char* text, Py_ssize_t length, bool* result) noexcept;
// object[:length] == bytes(text), slicing generically.
bool startsWithBytes(PyObject* object, const char* text, Py_ssize_t length, bool* result) noexcept;

// The pixel buffer a writer works on: a bytearray (or subclass) as it is, any
// other object converted with bytearray().
Ref asByteArray(PyObject* pixels) noexcept;

// A new int, for building argument lists.
inline Ref newInt(long long value) noexcept { return Ref::steal(PyLong_FromLongLong(value)); }

}  // namespace lumivex::capi
