// The module's function object: a callable with a name, qualified name,
// module and string annotations, which binds like a Python function when
// stored in a class (so staticmethod/classmethod wrap it as usual).
#pragma once

#include "args.hpp"

namespace lumivex::capi {

enum class Binding {
    Function,  // module function or static method: no implicit first argument
    Method,    // instance method: first argument must be an instance of the owner type
    ClassMethod,  // first argument is the class it was looked up on
};

// `self` is the instance or class for methods, null otherwise; `args` holds
// the parsed parameters in signature order.
using Impl = PyObject* (*)(PyObject* self, const Arg* args);

struct Annotation {
    const char* key;
    const char* text;
};

struct FunctionDef {
    const char* qualname;
    Binding binding;
    Signature signature;  // signature.name is the function's __name__
    Impl impl;
    const Annotation* annotations;
    int annotationCount;
};

// A new function object for `def`; `owner` is the type whose instances a
// Method accepts as self (null for the others).
PyObject* newFunction(const FunctionDef& def, PyObject* moduleName, PyTypeObject* owner) noexcept;

}  // namespace lumivex::capi
