#include "standard_modules.hpp"

#include <cstring>

namespace lumivex::png {
namespace {

// module.<name> is a built-in function bound to the module itself. Looked up
// in the module's dictionary: a genuine extension module has no __getattr__
// worth consulting, and a missing name means it has been tampered with.
bool isOwnBuiltin(PyObject* module, const char* name) {
    PyObject* function = PyDict_GetItemString(PyModule_GetDict(module), name);
    return function != nullptr && PyCFunction_Check(function) && PyCFunction_GET_SELF(function) == module;
}

// An extension module made from the definition named `name`.
bool isExtensionModule(PyObject* module, const char* name) {
    if (!PyModule_CheckExact(module)) return false;
    PyModuleDef* definition = PyModule_GetDef(module);
    return definition != nullptr && definition->m_name != nullptr && std::strcmp(definition->m_name, name) == 0;
}

}  // namespace

bool isGenuineZlib(PyObject* zlib) noexcept {
    if (!isExtensionModule(zlib, "zlib")) return false;
    return isOwnBuiltin(zlib, "decompressobj") && isOwnBuiltin(zlib, "decompress") && isOwnBuiltin(zlib, "crc32");
}

bool isGenuineStruct(PyObject* structModule) noexcept {
    if (!PyModule_CheckExact(structModule)) return false;
    PyObject* unpack = PyDict_GetItemString(PyModule_GetDict(structModule), "unpack");
    if (unpack == nullptr || !PyCFunction_Check(unpack)) return false;
    PyObject* owner = PyCFunction_GET_SELF(unpack);
    return owner != nullptr && isExtensionModule(owner, "_struct");
}

}  // namespace lumivex::png
