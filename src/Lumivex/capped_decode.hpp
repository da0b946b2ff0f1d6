// The package's capped decode, bound into Lumivex._native (see capped_decode.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumivex::native {

// The execution slot's part for the readers: binds decodeCapped and the names
// the readers look up into the module. 0, or -1 with an exception set.
int bindCappedDecode(PyObject* module) noexcept;

}  // namespace lumivex::native
