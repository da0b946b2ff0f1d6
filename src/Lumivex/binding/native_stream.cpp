#include "native_stream.hpp"

#include "../../../capi/calls.hpp"
#include "../../../capi/errors.hpp"
#include "../../../capi/files.hpp"

#include <new>

using namespace lumivex::capi;

namespace lumivex::binding {
namespace {

// stream.tell() as an offset; false with the exception set.
bool position(PyObject* stream, uint64_t* at) {
    Ref told = callMethod(stream, Name::tell, {});
    if (!told) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(told.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *at = value;
    return true;
}

bool isNativeFile(PyObject* stream) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(stream));
    return isPlainFile(stream) && isOwnMethod(stream, type, "seek") && isOwnMethod(stream, type, "tell");
}

}  // namespace

bool NativeStream::open(PyObject* stream) noexcept {
    stream_ = stream;
    uint64_t start;
    int fd;
    size_t fileSize;
    if (isNativeFile(stream) && regularFile(stream, &fd, &fileSize)) {
        if (!position(stream, &start)) return false;
        source_.reset(new (std::nothrow) FileSource(fd, start, fileSize));
    } else if (isPlainBytesIO(stream)) {
        if (!position(stream, &start)) return false;
        buffer_ = Ref::steal(PyObject_CallMethod(stream, "getbuffer", nullptr));
        if (!buffer_ || !view_.acquire(buffer_.get())) return false;
        source_.reset(new (std::nothrow) MemorySource(view_.data(), static_cast<size_t>(view_.length())));
        if (source_) source_->seek(start);  // a BytesIO may stand past its end
    } else {
        return false;
    }
    return source_ != nullptr || raiseNoMemory();
}

bool NativeStream::leave() noexcept {
    // The BytesIO's buffer must not stay exported, or it could not grow.
    view_.release();
    buffer_.reset();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(source_->position()));
    Ref moved = offset ? callMethod(stream_, Name::seek, {offset.get()}) : Ref();
    if (type == nullptr) return bool(moved);
    PyErr_Restore(type, value, traceback);  // the decode's own error wins
    return false;
}

}  // namespace lumivex::binding
