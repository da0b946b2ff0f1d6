#include "bmp_codec.hpp"

namespace lumivex::bmp {

PyObject* loadBmp(PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "BMP decoding");
    return nullptr;
}

}  // namespace lumivex::bmp
