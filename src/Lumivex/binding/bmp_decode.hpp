// The BMP reader over a byte source, for Python: the codec's header and row
// reads, the image's buffer a new bytearray, each problem raised as its exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capped.hpp"

#include "../../../codec/byte_source.hpp"

namespace lumivex::binding {

// Decodes the BMP at the source's position into (width, height, pixels).
// `nativeSource`: the source calls no Python, so its rows are read with the
// GIL released. Null with the exception set.
PyObject* decodeBmp(ByteSource& source, bool nativeSource, const CappedDecode& capped) noexcept;

}  // namespace lumivex::binding
