#include "function.hpp"

#include "errors.hpp"
#include "module.hpp"

#include <cstring>

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
    if (count < 1) return raiseFormat(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
    PyObject* self = positional[0];
    Kind kind = function->def->kind;
    if ((kind == Kind::Method || kind == Kind::TypeHook) && !PyObject_TypeCheck(self, function->owner)) {
        return raiseFormat(PyExc_TypeError, "descriptor '%U' requires a '%.100s' object but received a '%.100s'",
                           function->name, function->owner->tp_name, Py_TYPE(self)->tp_name);
    }
    return self;
}

PyObject* callFunction(PyObject* callable, PyObject* args, PyObject* keywords) {
    FunctionObject* function = asFunction(callable);
    const FunctionDef& def = *function->def;
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    PyObject* self = nullptr;
    if (def.kind != Kind::ModuleFunction && def.kind != Kind::StaticMethod) {
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
PyObject* bindToInstance(PyObject* function, PyObject* instance, PyObject*) {
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
    if (value != nullptr && !PyDict_Check(value)) return raise(PyExc_TypeError, "__annotations__ must be set to a dict object");
    Py_XINCREF(value);
    Py_XSETREF(asFunction(self)->annotations, value);
    return 0;
}

PyObject* getName(PyObject* self, void*) { return Ref::borrow(asFunction(self)->name).release(); }
PyObject* getQualname(PyObject* self, void*) { return Ref::borrow(asFunction(self)->qualname).release(); }
PyObject* getModule(PyObject* self, void*) { return Ref::borrow(asFunction(self)->module).release(); }

// The argument a kind of callable receives from binding, ahead of its parameters.
const char* implicitArgument(Kind kind) {
    switch (kind) {
        case Kind::Method:
        case Kind::TypeHook:
            return "$self";
        case Kind::ClassMethod:
            return "$cls";
        case Kind::ModuleFunction:
        case Kind::StaticMethod:
            break;
    }
    return nullptr;
}

// "(a, b)" or "($self, a)": what inspect.signature parses for this callable.
PyObject* getTextSignature(PyObject* self, void*) {
    const FunctionDef& def = *asFunction(self)->def;
    Params list{def.signature.params, def.signature.count};
    const char* implicit = implicitArgument(def.kind);
    TextSink counter;
    putTextSignature(counter, list, implicit);
    // Parameter names are ASCII identifiers: one byte per character.
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(counter.length), 127);
    if (text == nullptr) return nullptr;
    TextSink writer{reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)), 0};
    putTextSignature(writer, list, implicit);
    return text;
}

PyGetSetDef functionGetSets[] = {
    {"__name__", getName, nullptr, nullptr, nullptr},
    {"__qualname__", getQualname, nullptr, nullptr, nullptr},
    {"__module__", getModule, nullptr, nullptr, nullptr},
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__text_signature__", getTextSignature, nullptr, nullptr, nullptr},
    {"__annotations__", getAnnotations, setAnnotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A static type, as every version from 3.8 builds it; the fields not named are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject functionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Lumivex.rasterCore_ext.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = deallocFunction,
    .tp_repr = reprFunction,
    .tp_call = callFunction,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = traverseFunction,
    .tp_clear = clearFunction,
    .tp_getset = functionGetSets,
    .tp_descr_get = bindToInstance,
};
#pragma GCC diagnostic pop

bool readyFunctionType() {
    ModuleState& process = state();
    if (process.functionType != nullptr) return true;
    if (PyType_Ready(&functionType) < 0) return false;
    process.functionType = &functionType;
    return true;
}

Ref buildAnnotations(const FunctionDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return annotations;
    for (int i = 0; i < def.annotations.count; ++i) {
        const Annotation& note = def.annotations.items[i];
        Ref text = Ref::steal(PyUnicode_FromString(note.text));
        if (!text || PyDict_SetItemString(annotations.get(), note.key, text.get()) < 0) {
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
    FunctionObject* function = PyObject_GC_New(FunctionObject, state().functionType);
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

bool isOwnFunction(PyObject* object, const char* qualname) noexcept {
    return state().functionType != nullptr && Py_TYPE(object) == state().functionType &&
           std::strcmp(asFunction(object)->def->qualname, qualname) == 0;
}

bool bindFunction(PyObject* globals, const FunctionDef& def, PyObject* moduleName) noexcept {
    Ref function = Ref::steal(newFunction(def, moduleName, nullptr));
    return function && PyDict_SetItemString(globals, def.signature.name, function.get()) == 0;
}

bool attachMember(PyTypeObject* owner, const FunctionDef& def, PyObject* moduleName) noexcept {
    Ref member = Ref::steal(newFunction(def, moduleName, owner));
    if (member && def.kind == Kind::StaticMethod) {
        member = Ref::steal(PyObject_CallFunctionObjArgs(builtin(Builtin::staticmethod), member.get(), nullptr));
    } else if (member && def.kind == Kind::ClassMethod) {
        member = Ref::steal(PyClassMethod_New(member.get()));
    }
    return member && PyDict_SetItemString(owner->tp_dict, def.signature.name, member.get()) == 0;
}

PyObject* notYetAttached(PyObject* self, PyObject*) noexcept {
    return raiseFormat(PyExc_NotImplementedError, "%s is not initialised", unqualified(Py_TYPE(self)->tp_name));
}

}  // namespace lumivex::capi
