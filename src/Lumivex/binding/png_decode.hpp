// The PNG reader over a byte source, for Python: the chunk walk and the
// image decode of the codec, the image's buffer a new bytearray, each
// problem raised as its exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capped.hpp"

#include "../../../codec/byte_source.hpp"
#include "../../../codec/png/header.hpp"

namespace lumivex::binding {

// Where the decode starts: at the signature, or just after it (the caller
// has read and checked it).
enum class PngStart { signature, chunks };

// Decodes the PNG at the source's position into (width, height, pixels).
// `nativeSource`: the source calls no Python (memory, a file read natively),
// so its reads run with the GIL released. Null with the exception set; the
// source is left just after the last byte read, as reading it chunk by chunk
// through the module's _readChunk would have left the stream.
PyObject* decodePng(ByteSource& source, bool nativeSource, PngStart start, const CappedDecode& capped) noexcept;

// Inflates idat[0, length) (which nothing changes meanwhile) and rebuilds the
// image `plan` describes into (width, height, pixels).
PyObject* decodeIdat(const uint8_t* idat, size_t length, const png::PngPlan& plan) noexcept;

// The plan for an 8-bit RGB or RGBA image of `layout` read through the
// module's names, whose inflated size is `inflatedSize`.
png::PngPlan subsetPlan(const png::RowLayout& layout, int64_t inflatedSize) noexcept;

}  // namespace lumivex::binding
