// The Python-facing BMP reader and writer (24-bit, BITMAPINFOHEADER); the
// header checks and sizes are in header.hpp, the messages in messages.hpp,
// the row swizzles in rows.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capped.hpp"

#include <cstdint>

namespace lumivex::bmp {

// Decodes a BMP stream positioned at its file header into (width, height, pixels);
// with a cap, an image above it is refused before its pixels are allocated.
PyObject* loadBmp(PyObject* stream, const CappedDecode& capped = {}) noexcept;
// _writeBmp: writes an uncompressed bottom-up 24-bit BMP file; returns None.
PyObject* writeBmp(PyObject* path, int32_t width, int32_t height, PyObject* pixels) noexcept;

}  // namespace lumivex::bmp
