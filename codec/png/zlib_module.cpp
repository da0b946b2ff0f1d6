#include "zlib_module.hpp"

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

}  // namespace

bool isGenuineZlib(PyObject* zlib) noexcept {
    if (!PyModule_CheckExact(zlib)) return false;
    PyModuleDef* definition = PyModule_GetDef(zlib);
    if (definition == nullptr || definition->m_name == nullptr || std::strcmp(definition->m_name, "zlib") != 0) {
        return false;
    }
    return isOwnBuiltin(zlib, "decompressobj") && isOwnBuiltin(zlib, "decompress") && isOwnBuiltin(zlib, "crc32");
}

}  // namespace lumivex::png
