#include "names.hpp"

#include "errors.hpp"

namespace lumivex::capi {
namespace {

#define LUMIVEX_NAME_TEXT(id, text) text,
constexpr const char* nameTexts[] = {LUMIVEX_NAMES(LUMIVEX_NAME_TEXT)};
constexpr const char* builtinTexts[] = {LUMIVEX_BUILTINS(LUMIVEX_NAME_TEXT)};
#undef LUMIVEX_NAME_TEXT

PyObject* interned[nameCount] = {};        // never released
PyObject* builtinObjects[builtinCount] = {};  // taken from builtins during execution

}  // namespace

Failure raiseNameError(PyObject* missing) noexcept {
    return raiseFormat(PyExc_NameError, "name '%U' is not defined", missing);
}

bool internNames() noexcept {
    PyObject** names = interned;
    for (int i = 0; i < nameCount; ++i) {
        if (names[i] == nullptr) {
            names[i] = PyUnicode_InternFromString(nameTexts[i]);
            if (names[i] == nullptr) return false;
        }
    }
    return true;
}

PyObject* name(Name which) noexcept { return interned[static_cast<int>(which)]; }


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
            return raiseNameError(key.get());
        }
        Py_XSETREF(builtinObjects[i], value.release());
    }
    return true;
}

PyObject* builtin(Builtin which) noexcept { return builtinObjects[static_cast<int>(which)]; }

}  // namespace lumivex::capi
