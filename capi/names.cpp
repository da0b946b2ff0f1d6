#include "names.hpp"

namespace lumivex::capi {
namespace {

constexpr const char* nameTexts[] = {
    "PNG_SIGNATURE", "BytesIO", "Path", "_readChunk", "struct", "zlib", "_writePng", "_writeBmp",
    "List", "Sequence", "Tuple", "Union",
    "read", "seek", "write", "pack", "unpack", "crc32", "compress", "decompress", "decompressobj",
    "eof", "startswith", "join", "__enter__", "__exit__", "_streamToImage", "loader", "origin", "parent",
    "submodule_search_locations", "name",
};
constexpr int nameCount = static_cast<int>(Name::count_);
static_assert(sizeof(nameTexts) / sizeof(nameTexts[0]) == nameCount, "one text per Name");

constexpr const char* builtinTexts[] = {"open", "staticmethod"};
constexpr int builtinCount = static_cast<int>(Builtin::count_);
static_assert(sizeof(builtinTexts) / sizeof(builtinTexts[0]) == builtinCount, "one text per Builtin");

// Process-wide: the module can live in one interpreter only, and lives as
// long as the process, so these are never released.
PyObject* internedNames[nameCount];
PyObject* cachedBuiltins[builtinCount];
PyObject* moduleNamespace;

void raiseNameError(PyObject* missing) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", missing);
}

}  // namespace

bool internNames() noexcept {
    for (int i = 0; i < nameCount; ++i) {
        if (internedNames[i] == nullptr) {
            internedNames[i] = PyUnicode_InternFromString(nameTexts[i]);
            if (internedNames[i] == nullptr) return false;
        }
    }
    return true;
}

PyObject* name(Name which) noexcept { return internedNames[static_cast<int>(which)]; }

void setModuleNamespace(PyObject* dict) noexcept { moduleNamespace = dict; }

Ref lookupGlobal(Name which) noexcept {
    PyObject* key = name(which);
    PyObject* value = PyDict_GetItemWithError(moduleNamespace, key);
    if (value == nullptr && !PyErr_Occurred()) raiseNameError(key);
    return Ref::borrow(value);
}

bool cacheBuiltins() noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    for (int i = 0; i < builtinCount; ++i) {
        Ref key = Ref::steal(PyUnicode_InternFromString(builtinTexts[i]));
        if (!key) return false;
        Ref value = Ref::steal(PyObject_GetAttr(builtins.get(), key.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            raiseNameError(key.get());
            return false;
        }
        Py_XSETREF(cachedBuiltins[i], value.release());
    }
    return true;
}

PyObject* builtin(Builtin which) noexcept { return cachedBuiltins[static_cast<int>(which)]; }

}  // namespace lumivex::capi
