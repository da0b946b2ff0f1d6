// The Python-facing PNG reader and writer: they talk to streams and files,
// own the buffers and raise the exceptions (messages.hpp); the header checks
// and sizes are in header.hpp, the byte work in filter.hpp and rows.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "framing.hpp"
#include "idat_ahead.hpp"

#include "../../src/Lumivex/binding/capped.hpp"

#include "../../capi/buffer.hpp"

#include <cstdint>

namespace lumivex::png {


// _readChunk(stream): (chunkType, data), or (b"", b"") at a clean end. An
// IDAT chunk declaring more than `idatRoom` bytes is refused as malformed
// as soon as its head is read (the module's function has no such bound).
PyObject* readChunk(PyObject* stream, size_t idatRoom = SIZE_MAX) noexcept;
// What _readChunk does, for the reader over a plain file (capi/files.hpp):
// an IDAT chunk's data is read straight onto the end of `idat` (read ahead
// with the run after it, see idat_ahead.hpp) and *data is left empty; any
// other chunk's data comes back in *data. *chunkType is b"" at a clean end.
// False with the exception _readChunk would raise, or as readChunk's bound.
bool readChunkGathering(PyObject* stream, capi::RawBuffer& idat, IdatReadAhead& ahead, size_t idatRoom,
                        capi::Ref* chunkType, capi::Ref* data) noexcept;
// _makeChunk(chunkType, data): the framed chunk as bytes.
PyObject* makeChunk(PyObject* chunkType, PyObject* data) noexcept;
// Decodes a PNG stream positioned at its signature into (width, height, pixels).
// IDAT data beyond what can belong to the image is refused as malformed
// before more is read; with a cap, so is an image above it, before any
// allocation for its pixels.
PyObject* loadPng(PyObject* stream, const CappedDecode& capped = {}) noexcept;
// _writePng: writes an 8-bit RGB PNG file; returns None.
PyObject* writePng(PyObject* path, int32_t width, int32_t height, PyObject* pixels) noexcept;

}  // namespace lumivex::png
