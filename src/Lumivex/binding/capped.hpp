// A decode's limits as the Python-facing readers take them: the pixel cap and
// the exception to raise above it, made by calling `overCap(width, height,
// maxPixels)` (the package's PixelLimitError). Without `overCap` nothing is capped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/errors.hpp"
#include "../../../codec/limits.hpp"

namespace lumivex {

struct CappedDecode {
    DecodeLimits limits;
    PyObject* overCap = nullptr;  // borrowed
    mutable int32_t colorType = -1;  // set by the PNG reader: the colour type of the header it used

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
