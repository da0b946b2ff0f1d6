// The module's PNG functions: they talk to streams and files, call through
// the module namespace, own the buffers and raise the exceptions. The format
// logic they run is the codec's (codec/png).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capped.hpp"

#include <cstdint>

namespace lumivex::png {

// _readChunk(stream): (chunkType, data), or (b"", b"") at a clean end. An
// IDAT chunk declaring more than `idatRoom` bytes is refused as malformed
// as soon as its head is read (the module's function has no such bound).
PyObject* readChunk(PyObject* stream, size_t idatRoom = SIZE_MAX) noexcept;
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
