#include "errors.hpp"

#include <cstdarg>

namespace lumivex::capi {

Failure raise(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return failed;
}

Failure raiseFormat(PyObject* type, const char* format, ...) noexcept {
    va_list values;
    va_start(values, format);
    PyErr_FormatV(type, format, values);
    va_end(values);
    return failed;
}

Failure raiseNoMemory() noexcept {
    PyErr_NoMemory();
    return failed;
}

}  // namespace lumivex::capi
