#include "files.hpp"

#include <sys/stat.h>

namespace lumivex::capi {
namespace {

PyObject* readerType = nullptr;  // io.BufferedReader, for the life of the process
PyObject* fileType = nullptr;    // io.FileIO, likewise
PyObject* bytesIOType = nullptr; // io.BytesIO, likewise

// Looks the types up once; false (no exception set) if that fails.
bool lookUpFileTypes() noexcept {
    if (readerType != nullptr) return true;
    Ref io = Ref::steal(PyImport_ImportModule("_io"));
    Ref reader = io ? Ref::steal(PyObject_GetAttrString(io.get(), "BufferedReader")) : Ref();
    Ref file = reader ? Ref::steal(PyObject_GetAttrString(io.get(), "FileIO")) : Ref();
    Ref bytesIO = file ? Ref::steal(PyObject_GetAttrString(io.get(), "BytesIO")) : Ref();
    if (!bytesIO || !PyType_Check(reader.get()) || !PyType_Check(file.get()) || !PyType_Check(bytesIO.get())) {
        PyErr_Clear();
        return false;
    }
    readerType = reader.release();
    fileType = file.release();
    bytesIOType = bytesIO.release();
    return true;
}

}  // namespace

bool isOwnMethod(PyObject* object, PyObject* type, const char* method) noexcept {
    Ref bound = Ref::steal(PyObject_GetAttrString(object, method));
    Ref descriptor = bound ? Ref::steal(PyObject_GetAttrString(type, method)) : Ref();
    if (!descriptor) {
        PyErr_Clear();  // the plain call reports it
        return false;
    }
    return PyCFunction_Check(bound.get()) && PyCFunction_GET_SELF(bound.get()) == object &&
           Py_TYPE(descriptor.get()) == &PyMethodDescr_Type &&
           PyCFunction_GET_FUNCTION(bound.get()) ==
               reinterpret_cast<PyMethodDescrObject*>(descriptor.get())->d_method->ml_meth;
}

bool isPlainBufferedReader(PyObject* stream) noexcept {
    // The type is built in: looking its method up runs no Python code.
    return lookUpFileTypes() && reinterpret_cast<PyObject*>(Py_TYPE(stream)) == readerType &&
           isOwnMethod(stream, readerType, "read");
}

bool isPlainFile(PyObject* stream) noexcept {
    if (!isPlainBufferedReader(stream) || !isOwnMethod(stream, readerType, "readinto")) return false;
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == fileType && isOwnMethod(raw.get(), fileType, "readinto");
}

bool isPlainBytesIO(PyObject* stream) noexcept {
    return lookUpFileTypes() && reinterpret_cast<PyObject*>(Py_TYPE(stream)) == bytesIOType &&
           isOwnMethod(stream, bytesIOType, "read") && isOwnMethod(stream, bytesIOType, "seek") &&
           isOwnMethod(stream, bytesIOType, "tell") && isOwnMethod(stream, bytesIOType, "getbuffer");
}

bool regularFile(PyObject* stream, int* fd, size_t* size) noexcept {
    *fd = PyObject_AsFileDescriptor(stream);
    struct stat info;
    if (*fd < 0 || fstat(*fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        PyErr_Clear();
        return false;
    }
    *size = static_cast<size_t>(info.st_size);
    return true;
}

}  // namespace lumivex::capi
