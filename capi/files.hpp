// Recognising the file objects the built-in open() returns, whose reads run
// no Python code: reading them in pieces cannot be told from one read.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace lumivex::capi {

// Whether `method` of `object` is the built-in method `type` defines under
// that name, bound to `object`, and not something set on the instance.
bool isOwnMethod(PyObject* object, PyObject* type, const char* method) noexcept;

// Exactly an io.BufferedReader, reading through that type's own read.
bool isPlainBufferedReader(PyObject* stream) noexcept;

// A file as the built-in open() returns it for reading: a plain
// io.BufferedReader, with its own read and readinto, over an io.FileIO with
// its own readinto.
bool isPlainFile(PyObject* stream) noexcept;

// Exactly an io.BytesIO, with its own read, seek, tell and getbuffer.
bool isPlainBytesIO(PyObject* stream) noexcept;

// The descriptor of the regular file under `stream` (through its fileno())
// and the file's size; false (no error set) when the stream is over anything else.
bool regularFile(PyObject* stream, int* fd, size_t* size) noexcept;

}  // namespace lumivex::capi
