// `with open(path, mode) as stream:` through the built-in open taken at
// initialisation: the file is closed on every exit, before the exception
// (if any) reaches the caller.
#pragma once

#include "names.hpp"

namespace lumivex::capi {

// Leaves the context after the body ran; `succeeded` tells whether it raised.
// Returns false with the exception to propagate set.
bool exitContext(PyObject* exitMethod, bool succeeded) noexcept;

// Opens the file; on success fills `exitMethod` and returns the stream that
// __enter__ gave, else an empty Ref with the exception set.
Ref enterOpenFile(PyObject* path, const char* mode, Ref* exitMethod) noexcept;

// Runs body(stream) -> bool inside the context. The body signals failure by
// returning false with an exception set.
template <typename Body>
bool withOpenFile(PyObject* path, const char* mode, Body&& body) noexcept {
    Ref exitMethod;
    Ref stream = enterOpenFile(path, mode, &exitMethod);
    if (!stream) return false;
    bool succeeded = body(stream.get());
    return exitContext(exitMethod.get(), succeeded) && succeeded;
}

}  // namespace lumivex::capi
