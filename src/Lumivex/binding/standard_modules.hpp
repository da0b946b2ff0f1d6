// Whether the module's `zlib` and `struct` names are the interpreter's own
// modules, so that the PNG reader may inflate, checksum and unpack natively
// without anyone being able to tell: any replacement (a module of another
// kind, a Python stand-in, a patched function) makes the reader call through
// the name instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumivex::png {

// True when `zlib` is the zlib extension module itself (a module made from a
// definition named "zlib") and its decompressobj, decompress and crc32 are
// still that module's own built-in functions. Never raises.
bool isGenuineZlib(PyObject* zlib) noexcept;

// True when `structModule`'s unpack is the built-in function of the _struct
// extension module (what the struct module exports). Never raises.
bool isGenuineStruct(PyObject* structModule) noexcept;

}  // namespace lumivex::png
