#include "png_codec.hpp"

namespace lumivex::png {

const char signatureBytes[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

PyObject* loadPng(PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "PNG decoding");
    return nullptr;
}

}  // namespace lumivex::png
