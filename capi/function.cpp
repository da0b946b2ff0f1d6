#include "function.hpp"

namespace lumivex::capi {
namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyTypeObject* owner;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;
};

FunctionObject* asFunction(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

// Checks the implicit first argument of a method; returns it (borrowed) or null.
PyObject* takeSelf(FunctionObject* function, PyObject* const* positional, Py_ssize_t count) {
    if (count < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
        return nullptr;
    }
    PyObject* self = positional[0];
    if (function->def->binding == Binding::Method && !PyObject_TypeCheck(self, function->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' requires a '%.100s' object but received a '%.100s'",
                     function->name, function->owner->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return self;
}

PyObject* callFunction(PyObject* callable, PyObject* args, PyObject* keywords) {
    FunctionObject* function = asFunction(callable);
    const FunctionDef& def = *function->def;
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    PyObject* self = nullptr;
    if (def.binding != Binding::Function) {
        self = takeSelf(function, positional, count);
        if (self == nullptr) return nullptr;
        ++positional;
        --count;
    }
    Arg parsed[maxParams];
    if (!parseArgs(def.signature, positional, count, keywords, parsed)) return nullptr;
    return def.impl(self, parsed);
}

// Binds like a Python function: looked up on an instance it becomes a bound
// method; looked up on the class it is returned as it is.
PyObject* bindFunction(PyObject* function, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(function);
        return function;
    }
    return PyMethod_New(function, instance);
}

int traverseFunction(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(asFunction(self)->annotations);
    return 0;
}

int clearFunction(PyObject* self) {
    Py_CLEAR(asFunction(self)->annotations);
    return 0;
}

void deallocFunction(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* function = asFunction(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->annotations);
    PyObject_GC_Del(self);
}

PyObject* reprFunction(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", asFunction(self)->qualname, self);
}

PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* getAnnotations(PyObject* self, void*) {
    FunctionObject* function = asFunction(self);
    if (function->annotations == nullptr) function->annotations = PyDict_New();
    Py_XINCREF(function->annotations);
    return function->annotations;
}

int setAnnotations(PyObject* self, PyObject* value, void*) {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(asFunction(self)->annotations, value);
    return 0;
}

PyObject* getName(PyObject* self, void*) { return Ref::borrow(asFunction(self)->name).release(); }
PyObject* getQualname(PyObject* self, void*) { return Ref::borrow(asFunction(self)->qualname).release(); }
PyObject* getModule(PyObject* self, void*) { return Ref::borrow(asFunction(self)->module).release(); }

PyGetSetDef functionGetSets[] = {
    {const_cast<char*>("__name__"), getName, nullptr, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), getQualname, nullptr, nullptr, nullptr},
    {const_cast<char*>("__module__"), getModule, nullptr, nullptr, nullptr},
    {const_cast<char*>("__doc__"), getNone, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), getAnnotations, setAnnotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject functionType;

bool readyFunctionType() {
    if (functionType.tp_flags & Py_TPFLAGS_READY) return true;
    reinterpret_cast<PyObject*>(&functionType)->ob_refcnt = 1;
    functionType.tp_name = "Lumivex.rasterCore_ext.function";
    functionType.tp_basicsize = sizeof(FunctionObject);
    functionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    functionType.tp_call = callFunction;
    functionType.tp_descr_get = bindFunction;
    functionType.tp_traverse = traverseFunction;
    functionType.tp_clear = clearFunction;
    functionType.tp_dealloc = deallocFunction;
    functionType.tp_repr = reprFunction;
    functionType.tp_getset = functionGetSets;
    return PyType_Ready(&functionType) == 0;
}

Ref buildAnnotations(const FunctionDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return annotations;
    for (int i = 0; i < def.annotationCount; ++i) {
        Ref text = Ref::steal(PyUnicode_FromString(def.annotations[i].text));
        if (!text || PyDict_SetItemString(annotations.get(), def.annotations[i].key, text.get()) < 0) {
            return Ref();
        }
    }
    return annotations;
}

}  // namespace

PyObject* newFunction(const FunctionDef& def, PyObject* moduleName, PyTypeObject* owner) noexcept {
    if (!readyFunctionType()) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(def.signature.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
    Ref annotations = buildAnnotations(def);
    if (!name || !qualname || !annotations) return nullptr;
    FunctionObject* function = PyObject_GC_New(FunctionObject, &functionType);
    if (function == nullptr) return nullptr;
    function->def = &def;
    function->owner = owner;
    function->name = name.release();
    function->qualname = qualname.release();
    Py_INCREF(moduleName);
    function->module = moduleName;
    function->annotations = annotations.release();
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace lumivex::capi
