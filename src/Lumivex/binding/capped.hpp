// A decode's terms as the Python-facing readers take them: the pixel cap and
// the exception to raise above it, made by calling `overCap(width, height,
// maxPixels)` (the package's PixelLimitError), and which PNG images are
// decoded. Without `overCap` nothing is capped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/errors.hpp"
#include "../../../codec/bmp/decode.hpp"
#include "../../../codec/limits.hpp"
#include "../../../codec/png/decode.hpp"

namespace lumivex {

struct CappedDecode {
    DecodeLimits limits;
    PyObject* overCap = nullptr;  // borrowed
    png::PngAccepts accepts = png::PngAccepts::rgb8Subset;  // which PNG images are decoded
    bmp::BmpAccepts bmpAccepts = bmp::BmpAccepts::subset;   // which BMP images are decoded
    png::OutputFormat format;  // the pixels asked for: 8-bit RGB unless told
    mutable png::Ihdr used;  // set by the PNG reader: the header it decoded with
    mutable png::PixelShape shape;  // set by the readers: what the pixels are
    mutable int bmpBitCount = 24;  // set by the BMP reader: the bits per pixel it decoded

    // overCap's exception raised for an image of width x height.
    capi::Failure refuse(int64_t width, int64_t height) const noexcept {
        capi::Ref error = capi::Ref::steal(PyObject_CallFunction(overCap, "LLK", static_cast<long long>(width),
                                                                 static_cast<long long>(height),
                                                                 static_cast<unsigned long long>(limits.maxPixels)));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return capi::failed;
    }

    // False, with overCap's exception raised, for an image above the cap.
    bool check(int64_t width, int64_t height) const noexcept {
        return limits.allows(width, height) || refuse(width, height);
    }
};

}  // namespace lumivex
