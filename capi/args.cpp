#include "args.hpp"

#include "errors.hpp"

namespace lumivex::capi {
namespace {

const char subclassNote[] =
    "Note that parameters annotated with a built-in type are enforced strictly: "
    "instances of its subclasses are rejected.";

Failure raiseArity(const Signature& signature, Py_ssize_t given) noexcept {
    return raiseFormat(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                       signature.name, "exactly", static_cast<Py_ssize_t>(signature.count),
                       signature.count == 1 ? "" : "s", given);
}

int paramIndex(const Signature& signature, PyObject* key) noexcept {
    for (int i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.params[i].name) == 0) return i;
    }
    return -1;
}

// Keywords left over once every parameter is bound: each must name a
// parameter that was bound by keyword.
bool checkLeftoverKeywords(const Signature& signature, Py_ssize_t positionalCount,
                           PyObject* keywords) noexcept {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(keywords, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            return raiseFormat(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
        }
        int index = paramIndex(signature, key);
        if (index < 0) {
            return raiseFormat(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, key);
        }
        if (index < positionalCount) {
            return raiseFormat(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                               signature.name, key);
        }
    }
    return true;
}

bool bindArgs(const Signature& signature, PyObject* const* positional, Py_ssize_t positionalCount,
              PyObject* keywords, Arg* out) noexcept {
    if (positionalCount > signature.count) return raiseArity(signature, positionalCount);
    for (Py_ssize_t i = 0; i < positionalCount; ++i) out[i].object = positional[i];
    bool hasKeywords = keywords != nullptr && PyDict_GET_SIZE(keywords) != 0;
    Py_ssize_t boundByKeyword = 0;
    for (Py_ssize_t i = positionalCount; i < signature.count; ++i) {
        PyObject* value = nullptr;
        if (hasKeywords) {
            value = PyDict_GetItemString(keywords, signature.params[i].name);
        }
        if (value == nullptr) return raiseArity(signature, i);
        out[i].object = value;
        ++boundByKeyword;
    }
    if (hasKeywords && PyDict_GET_SIZE(keywords) > boundByKeyword) {
        return checkLeftoverKeywords(signature, positionalCount, keywords);
    }
    return true;
}

bool convertArg(const Param& param, Arg& arg) noexcept {
    switch (param.kind) {
        case ParamKind::Any: return true;
        case ParamKind::Int32: return toInt32(arg.object, &arg.int32);
        case ParamKind::ExactStr: return checkExactType(arg.object, &PyUnicode_Type, param.name);
        case ParamKind::ExactBytes: return checkExactType(arg.object, &PyBytes_Type, param.name);
        case ParamKind::ExactTuple: return checkExactType(arg.object, &PyTuple_Type, param.name);
    }
    return true;
}

bool int32FromLong(PyObject* number, int32_t* out) noexcept {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        return raise(PyExc_OverflowError, "value too large to convert to int");
    }
    *out = static_cast<int32_t>(value);
    return true;
}

Failure raiseUnpackShort(Py_ssize_t found) noexcept {
    return raiseFormat(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

Failure raiseUnpackLong(Py_ssize_t expected) noexcept {
    return raiseFormat(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

bool unpackByIteration(PyObject* object, Py_ssize_t count, Ref* out) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) return PyErr_Occurred() ? failed : raiseUnpackShort(i);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return raiseUnpackLong(count);
    return !PyErr_Occurred();
}

}  // namespace

bool parseArgs(const Signature& signature, PyObject* const* positional, Py_ssize_t positionalCount,
               PyObject* keywords, Arg (&out)[maxParams]) noexcept {
    if (!bindArgs(signature, positional, positionalCount, keywords, out)) return false;
    for (int i = 0; i < signature.count; ++i) {
        if (!convertArg(signature.params[i], out[i])) return false;
    }
    return true;
}

bool toInt32(PyObject* object, int32_t* out) noexcept {
    if (PyLong_Check(object)) return int32FromLong(object, out);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) return raise(PyExc_TypeError, "an integer is required");
    Ref converted = Ref::steal(number->nb_int(object));
    if (!converted) return false;
    if (!PyLong_Check(converted.get())) {
        return raiseFormat(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
    }
    return int32FromLong(converted.get(), out);
}

bool checkExactType(PyObject* object, PyTypeObject* expected, const char* paramName) noexcept {
    if (Py_TYPE(object) == expected) return true;
    bool isSubclass = PyObject_TypeCheck(object, expected);
    return raiseFormat(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s",
                       paramName, expected->tp_name, Py_TYPE(object)->tp_name, isSubclass ? ". " : "",
                       isSubclass ? subclassNote : "");
}

bool unpackExactly(PyObject* object, Py_ssize_t count, Ref* out) noexcept {
    if (!PyTuple_CheckExact(object) && !PyList_CheckExact(object)) {
        return unpackByIteration(object, count, out);
    }
    Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    if (size > count) return raiseUnpackLong(count);
    if (size < count) return raiseUnpackShort(size);
    PyObject** items = PySequence_Fast_ITEMS(object);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::borrow(items[i]);
    return true;
}

}  // namespace lumivex::capi
