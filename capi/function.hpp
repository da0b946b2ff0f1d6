// The module's function object: a callable with a name, qualified name,
// module and string annotations, which binds like a Python function when
// stored in a class (so staticmethod/classmethod wrap it as usual).
//
// Each callable is declared once, as a FunctionDef row of a constant table;
// its __name__, its parameter count, its annotation count and the
// placeholder that reserves its place in a class are derived from that row.
#pragma once

#include "args.hpp"

#include <array>

namespace lumivex::capi {

// Where a callable goes and what its first argument is.
enum class Kind {
    ModuleFunction,  // bound in the module namespace; no implicit first argument
    StaticMethod,    // class member wrapped in staticmethod; no implicit first argument
    ClassMethod,     // class member wrapped in classmethod; first argument is the class
    Method,          // class member; first argument must be an instance of the class
    TypeHook,        // a Method attached as soon as the type is readied, before the module body
};

constexpr bool isClassMember(Kind kind) noexcept { return kind != Kind::ModuleFunction; }

// `self` is the instance or class for methods, null otherwise; `args` holds
// the parsed parameters in signature order.
using Impl = PyObject* (*)(PyObject* self, const Arg* args);

struct Annotation {
    const char* key;
    const char* text;
};

struct Annotations {
    const Annotation* items = nullptr;
    int count = 0;
};
template <size_t N>
constexpr Annotations notes(const Annotation (&items)[N]) noexcept {
    return {items, static_cast<int>(N)};
}
constexpr Annotations noNotes{};

// The part of a qualified name after its last dot: "SimpleImage.save" -> "save".
constexpr const char* unqualified(const char* qualname) noexcept {
    const char* name = qualname;
    for (const char* at = qualname; *at != '\0'; ++at) {
        if (*at == '.') name = at + 1;
    }
    return name;
}

// --- inspectable signatures
//
// inspect.signature reads a native callable's parameters from its
// __text_signature__, "(a, b)", and a native class's from its tp_doc written
// as "Name(a, b)\n--\n\nDocstring" (the interpreter strips that head from
// __doc__). Both are rendered from the same Params the argument parser uses,
// so the names cannot drift apart.

// Appends text to `out` when it is not null; counts the characters either way.
struct TextSink {
    char* out = nullptr;
    size_t length = 0;
    constexpr void put(const char* text) noexcept {
        for (; *text != '\0'; ++text, ++length) {
            if (out != nullptr) out[length] = *text;
        }
    }
};

// "(a, b)"; `implicit` ("$self", "$cls") leads as the argument that binding
// supplies, which inspect drops from bound methods; null for none.
constexpr void putTextSignature(TextSink& sink, Params list, const char* implicit) noexcept {
    sink.put("(");
    const char* separator = "";
    if (implicit != nullptr) {
        sink.put(implicit);
        separator = ", ";
    }
    for (int i = 0; i < list.count; ++i, separator = ", ") {
        sink.put(separator);
        sink.put(list.items[i].name);
    }
    sink.put(")");
}

template <size_t N>
struct FixedText {
    char text[N];
};

// A type's tp_doc carrying its constructor's signature. Use it as
//   constexpr TypeDoc doc{...};  constexpr auto text = doc.render<doc.size()>();
struct TypeDoc {
    const char* typeName;  // tp_name; its part after the last dot leads the text
    Params constructor;
    const char* docstring;

    constexpr void put(TextSink& sink) const noexcept {
        sink.put(unqualified(typeName));
        putTextSignature(sink, constructor, nullptr);
        sink.put("\n--\n\n");
        sink.put(docstring);
    }
    constexpr size_t size() const noexcept {  // with the terminating zero
        TextSink counter;
        put(counter);
        return counter.length + 1;
    }
    template <size_t N>
    constexpr FixedText<N> render() const noexcept {
        FixedText<N> rendered{};
        TextSink sink{rendered.text, 0};
        put(sink);
        return rendered;
    }
};

struct FunctionDef {
    constexpr FunctionDef(const char* qualname, Kind kind, Params list, Impl impl, Annotations annotations) noexcept
        : qualname(qualname), kind(kind), signature(unqualified(qualname), list), impl(impl), annotations(annotations) {}
    const char* qualname;
    Kind kind;
    Signature signature;  // signature.name is the function's __name__
    Impl impl;
    Annotations annotations;
};

// A new function object for `def`; `owner` is the type whose instances a
// Method accepts as self.
PyObject* newFunction(const FunctionDef& def, PyObject* moduleName, PyTypeObject* owner) noexcept;

// Whether `object` is one of the module's own function objects made from the
// row named `qualname`: calling it runs that row's native code and nothing
// else (the type cannot be instantiated or changed from Python).
bool isOwnFunction(PyObject* object, const char* qualname) noexcept;

// globals[def's name] = a new function object.
bool bindFunction(PyObject* globals, const FunctionDef& def, PyObject* moduleName) noexcept;

// owner.__dict__[def's name] = a new function object, wrapped as its kind
// says, replacing what the dictionary held there. The caller invalidates the
// type's attribute cache (PyType_Modified) once it has attached them all.
bool attachMember(PyTypeObject* owner, const FunctionDef& def, PyObject* moduleName) noexcept;

// Stands in a class member's place until attachMember replaces it.
PyObject* notYetAttached(PyObject* self, PyObject* args) noexcept;

// The tp_methods of a type whose members are attached later: one placeholder
// per class member of `table`, in table order, so that the type's dictionary
// lists the members in that order. Null-terminated (the spare slots are zero).
template <size_t N>
constexpr std::array<PyMethodDef, N + 1> memberPlaceholders(const FunctionDef (&table)[N]) noexcept {
    std::array<PyMethodDef, N + 1> methods{};
    size_t used = 0;
    for (const FunctionDef& def : table) {
        if (isClassMember(def.kind)) methods[used++] = {def.signature.name, notYetAttached, METH_VARARGS, nullptr};
    }
    return methods;
}

}  // namespace lumivex::capi
