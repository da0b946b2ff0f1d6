#include "context.hpp"

namespace lumivex::capi {

Ref enterOpenFile(PyObject* path, const char* mode, Ref* exitMethod) noexcept {
    Ref modeText = Ref::steal(PyUnicode_FromString(mode));
    if (!modeText) return Ref();
    Ref file = Ref::steal(PyObject_CallFunctionObjArgs(builtin(Builtin::open), path, modeText.get(), nullptr));
    if (!file) return Ref();
    *exitMethod = Ref::steal(PyObject_GetAttr(file.get(), name(Name::exit)));
    if (!*exitMethod) return Ref();
    Ref enter = Ref::steal(PyObject_GetAttr(file.get(), name(Name::enter)));
    if (!enter) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(enter.get(), nullptr));
}

bool exitContext(PyObject* exitMethod, bool succeeded) noexcept {
    if (succeeded) {
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(exitMethod, Py_None, Py_None, Py_None, nullptr));
        return static_cast<bool>(result);
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(exitMethod, type, value != nullptr ? value : Py_None,
                                                         traceback != nullptr ? traceback : Py_None, nullptr));
    if (!result) {
        // An error while closing replaces the body's, as in a with statement.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return false;
    }
    // Files never suppress exceptions, so the body's error goes on.
    PyErr_Restore(type, value, traceback);
    return false;
}

}  // namespace lumivex::capi
