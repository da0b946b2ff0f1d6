// Generic start-up of a single-phase-per-process extension module: the one
// state struct, the creation and execution slots with their guards, and the
// importing and binding of names into the module namespace.
#pragma once

#include "names.hpp"

#include <cstdint>
#include <initializer_list>

namespace lumivex::capi {

// Everything the module keeps for the life of the process.
struct ModuleState {
    // Belong to the module object: set by a successful execution slot and
    // cleared by a failed one, so nothing refers to a discarded module.
    PyObject* module = nullptr;   // owned
    PyObject* globals = nullptr;  // the module's namespace, borrowed from it
    // Outlive any one module object (a failed import keeps them).
    int64_t owningInterpreter = -1;  // the interpreter that first created the module
    PyTypeObject* functionType = nullptr;   // the static types, once readied
    PyTypeObject* imageType = nullptr;
};

ModuleState& state() noexcept;

// The object bound to `which` in the module namespace now, or NameError
// "name 'X' is not defined".
Ref lookupGlobal(Name which) noexcept;

// Who the module is, for its messages: "rasterCore_ext", "Lumivex.rasterCore_ext".
struct ModuleIdentity {
    const char* name;
    const char* qualifiedName;
};

// The creation slot: refuses a second interpreter, hands out the existing
// module object if there is one, else makes one from the import system's record
// of the module (name, loader, file, package, search path).
PyObject* createModule(PyObject* importRecord) noexcept;

// The execution slot around `body`: runs it once per process, for the first
// module object only, after the version check; a failure clears what belongs
// to the module object and leaves an exception set.
int executeModule(PyObject* module, const ModuleIdentity& identity, bool (*body)(PyObject* globals)) noexcept;

// globals[key] = value; false (exception set) when value is null or binding fails.
bool bind(PyObject* globals, Name key, PyObject* value) noexcept;
// import <module>, bound under its own name.
bool importModule(PyObject* globals, Name module) noexcept;
// from <module> import <names...>, asking for and binding them in this order.
bool importNamesFrom(PyObject* globals, const char* module, std::initializer_list<Name> names) noexcept;

}  // namespace lumivex::capi
