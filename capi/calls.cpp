#include "calls.hpp"

#include "args.hpp"

#include <cstring>

namespace lumivex::capi {
namespace {

// A tuple of the given objects; empty when one of them is null (an argument
// whose construction failed, with its exception set).
Ref tupleOf(PyObject* first, std::initializer_list<PyObject*> rest) {
    Py_ssize_t size = static_cast<Py_ssize_t>(rest.size()) + (first != nullptr ? 1 : 0);
    Ref tuple = Ref::steal(PyTuple_New(size));
    if (!tuple) return Ref();
    Py_ssize_t i = 0;
    if (first != nullptr) {
        Py_INCREF(first);
        PyTuple_SET_ITEM(tuple.get(), i++, first);
    }
    for (PyObject* item : rest) {
        if (item == nullptr) return Ref();
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

Ref callWithTuple(PyObject* object, Name method, Ref args) {
    if (!args) return Ref();
    Ref callable = Ref::steal(PyObject_GetAttr(object, name(method)));
    return callable ? Ref::steal(PyObject_Call(callable.get(), args.get(), nullptr)) : Ref();
}

}  // namespace

Ref callMethod(PyObject* object, Name method, std::initializer_list<PyObject*> args) noexcept {
    return callWithTuple(object, method, tupleOf(nullptr, args));
}

Ref readFrom(PyObject* stream, long long size) noexcept {
    Ref sizeObject = newInt(size);
    return sizeObject ? callMethod(stream, Name::read, {sizeObject.get()}) : Ref();
}

Ref callMethodWithFirst(PyObject* object, Name method, PyObject* first, std::initializer_list<PyObject*> rest) noexcept {
    return first != nullptr ? callWithTuple(object, method, tupleOf(first, rest)) : Ref();
}

bool equalsBytes(PyObject* object, const char* text, Py_ssize_t length, bool* result) noexcept {
    if (PyBytes_CheckExact(object)) {
        *result = PyBytes_GET_SIZE(object) == length && memcmp(PyBytes_AS_STRING(object), text, length) == 0;
        return true;
    }
    Ref expected = Ref::steal(PyBytes_FromStringAndSize(text, length));
    if (!expected) return false;
    int equal = PyObject_RichCompareBool(object, expected.get(), Py_EQ);
    *result = equal > 0;
    return equal >= 0;
}

bool startsWithBytes(PyObject* object, const char* text, Py_ssize_t length, bool* result) noexcept {
    Ref head = Ref::steal(PySequence_GetSlice(object, 0, length));
    return head && equalsBytes(head.get(), text, length, result);
}

Ref asByteArray(PyObject* pixels) noexcept {
    if (PyByteArray_Check(pixels)) return Ref::borrow(pixels);
    return Ref::steal(PyByteArray_FromObject(pixels));
}

}  // namespace lumivex::capi
