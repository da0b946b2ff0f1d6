// Every call the readers, the writers and SimpleImage's open and save make
// through the module namespace, in one place. Each name is looked up at its
// use, so a caller may rebind or delete it (NameError then), and whether the
// codec may stand in for the names is decided here too.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/names.hpp"
#include "../../../capi/ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace lumivex::binding {

// PNG_SIGNATURE
capi::Ref pngSignature() noexcept;
// zlib
capi::Ref moduleZlib() noexcept;
// Path
capi::Ref pathType() noexcept;
// BytesIO(data)
capi::Ref newBytesIO(PyObject* data) noexcept;
// _writePng or _writeBmp (`writer`)(path, width, height, pixels)
capi::Ref callWriter(capi::Name writer, PyObject* path, PyObject* width, PyObject* height, PyObject* pixels) noexcept;
// _readChunk(stream): run natively when it is the module's own (an IDAT chunk
// of more than idatRoom bytes then refused at its head), else called.
capi::Ref readChunkThroughName(PyObject* stream, size_t idatRoom) noexcept;
// struct.pack(format, *values)
capi::Ref structPack(const char* format, std::initializer_list<PyObject*> values) noexcept;
// struct.unpack(format, data), unpacked into exactly `count` values.
bool structUnpack(const char* format, PyObject* data, Py_ssize_t count, capi::Ref* out) noexcept;

// Whether the codec may stand in for the names a PNG decode uses: the
// module's own _readChunk and the interpreter's own struct and zlib.
bool ownPngReadersInForce() noexcept;
// The same for a BMP decode: the interpreter's own struct.
bool ownBmpReadersInForce() noexcept;

}  // namespace lumivex::binding
