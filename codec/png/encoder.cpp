#include "png_codec.hpp"

namespace lumivex::png {

PyObject* writePng(PyObject*, int32_t, int32_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "PNG encoding");
    return nullptr;
}

}  // namespace lumivex::png
