#include "module.hpp"

#include "errors.hpp"

#include <cstdlib>

namespace lumivex::capi {
namespace {

ModuleState processState;

int64_t currentInterpreterId() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The module can live in one interpreter per process: the first to create it owns it.
bool claimInterpreter() {
    int64_t interpreter = currentInterpreterId();
    if (interpreter == -1) return false;
    int64_t& owner = processState.owningInterpreter;
    if (owner == -1) owner = interpreter;
    if (interpreter == owner) return true;
    return raise(PyExc_ImportError,
                 "Interpreter change detected - this module can only be loaded into one interpreter per process.");
}

// Copies one attribute of what the import system passes for the module onto
// the module; a missing one is skipped.
bool copyImportAttribute(PyObject* importRecord, PyObject* dict, Name from, const char* to, bool skipNone) {
    Ref value = Ref::steal(PyObject_GetAttr(importRecord, name(from)));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skipNone && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

bool parseVersion(const char* text, int* major, int* minor) {
    char* end;
    *major = static_cast<int>(strtol(text, &end, 10));
    if (*end != '.') return false;
    *minor = static_cast<int>(strtol(end + 1, &end, 10));
    return true;
}

// A module built for one major.minor runtime warns when loaded into another.
bool warnOnVersionMismatch(const char* qualifiedName) {
    int major, minor;
    if (!parseVersion(Py_GetVersion(), &major, &minor)) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof(message), "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, qualifiedName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool initialise(PyObject* module, const ModuleIdentity& identity, bool (*body)(PyObject* globals)) {
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr || !internNames()) return false;
    processState.globals = globals;
    return warnOnVersionMismatch(identity.qualifiedName) && cacheBuiltins() && body(globals);
}

}  // namespace

ModuleState& state() noexcept { return processState; }

Ref lookupGlobal(Name which) noexcept {
    PyObject* key = name(which);
    // A module whose execution failed has no namespace: nothing is defined.
    PyObject* globals = processState.globals;
    if (globals == nullptr) return raiseNameError(key);
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value == nullptr && !PyErr_Occurred()) return raiseNameError(key);
    return Ref::borrow(value);
}


PyObject* createModule(PyObject* importRecord) noexcept {
    if (!claimInterpreter()) return nullptr;
    if (processState.module != nullptr) return Ref::borrow(processState.module).release();
    if (!internNames()) return nullptr;
    Ref moduleName = Ref::steal(PyObject_GetAttr(importRecord, name(Name::name)));
    Ref module = moduleName ? Ref::steal(PyModule_NewObject(moduleName.get())) : Ref();
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (dict == nullptr || !copyImportAttribute(importRecord, dict, Name::loader, "__loader__", false) ||
        !copyImportAttribute(importRecord, dict, Name::origin, "__file__", false) ||
        !copyImportAttribute(importRecord, dict, Name::parent, "__package__", false) ||
        !copyImportAttribute(importRecord, dict, Name::submoduleSearchLocations, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

int executeModule(PyObject* module, const ModuleIdentity& identity, bool (*body)(PyObject* globals)) noexcept {
    if (processState.module != nullptr) {
        if (processState.module == module) return 0;
        return raiseFormat(PyExc_RuntimeError,
                           "Module '%s' has already been imported. Re-initialisation is not supported.",
                           identity.name);
    }
    processState.module = Ref::borrow(module).release();
    if (initialise(module, identity, body)) return 0;
    processState.globals = nullptr;
    Py_CLEAR(processState.module);
    if (!PyErr_Occurred()) return raiseFormat(PyExc_ImportError, "init %s", identity.qualifiedName);
    return -1;
}

bool bind(PyObject* globals, Name key, PyObject* value) noexcept {
    return value != nullptr && PyDict_SetItem(globals, name(key), value) == 0;
}

bool importModule(PyObject* globals, Name module) noexcept {
    Ref imported = Ref::steal(PyImport_Import(name(module)));
    return bind(globals, module, imported.get());
}

bool importNamesFrom(PyObject* globals, const char* module, std::initializer_list<Name> names) noexcept {
    Ref fromList = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromList) return false;
    Py_ssize_t i = 0;
    for (Name each : names) PyTuple_SET_ITEM(fromList.get(), i++, Ref::borrow(name(each)).release());
    Ref imported = Ref::steal(PyImport_ImportModuleLevel(module, globals, nullptr, fromList.get(), 0));
    if (!imported) return false;
    for (Name each : names) {
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name(each)));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            return raiseFormat(PyExc_ImportError, "cannot import name %S", name(each));
        }
        if (!bind(globals, each, value.get())) return false;
    }
    return true;
}

}  // namespace lumivex::capi
