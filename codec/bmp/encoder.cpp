#include "bmp_codec.hpp"

namespace lumivex::bmp {

PyObject* writeBmp(PyObject*, int32_t, int32_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "BMP encoding");
    return nullptr;
}

}  // namespace lumivex::bmp
