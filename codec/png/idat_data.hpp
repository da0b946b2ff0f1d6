// The IDAT data a PNG reader gathers, held in one place whichever way it was
// read: natively, straight into a buffer, or as the objects a chunk reader
// called through Python returned.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "idat_ahead.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/ref.hpp"

namespace lumivex::png {

// The IDAT data in stream order. Over a plain file the module's own chunk
// reader puts it straight into `gathered`; what a chunk reader called through
// Python returns is kept as objects, to be joined once, the gathered bytes
// before each turned into an object first so that the order holds.
class IdatData {
public:
    capi::RawBuffer gathered;
    IdatReadAhead ahead;

    bool append(PyObject* data) {
        objectBytes_ += bytesLength(data);
        return takeGathered() && addObject(data);
    }

    // How much has been gathered so far (objects that are not bytes-like count nothing).
    size_t size() const { return gathered.size() + objectBytes_; }

    // Once every chunk is read: with objects, b"".join of them all (the one
    // object itself when it is exactly bytes), releasing the list.
    bool finish() {
        if (!objects_) return true;
        if (!takeGathered()) return false;
        joined_ = joinChunks(objects_.get());
        objects_.reset();
        return bool(joined_);
    }

    // The data's bytes where they lie, if natively readable; null otherwise.
    const uint8_t* bytes(size_t* length) const {
        if (!joined_) {
            *length = gathered.size();
            return gathered.data() != nullptr ? gathered.data() : reinterpret_cast<const uint8_t*>("");
        }
        if (!PyBytes_CheckExact(joined_.get())) return nullptr;
        *length = static_cast<size_t>(PyBytes_GET_SIZE(joined_.get()));
        return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(joined_.get()));
    }

    // The data as one object (after finish; borrowed), held once.
    PyObject* object() {
        if (!joined_) joined_ = gatheredAsBytes();
        return joined_.get();
    }

private:
    capi::Ref objects_;
    capi::Ref joined_;
    size_t objectBytes_ = 0;

    static size_t bytesLength(PyObject* data) {
        if (PyBytes_Check(data)) return static_cast<size_t>(PyBytes_GET_SIZE(data));
        if (PyByteArray_Check(data)) return static_cast<size_t>(PyByteArray_GET_SIZE(data));
        return 0;
    }

    // The gathered bytes moved into a bytes object.
    capi::Ref gatheredAsBytes() {
        objectBytes_ += gathered.size();
        capi::Ref copy = capi::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(gathered.data()),
                                                        static_cast<Py_ssize_t>(gathered.size())));
        gathered.release();
        return copy;
    }

    bool addObject(PyObject* data) {
        if (!objects_) objects_ = capi::Ref::steal(PyList_New(0));
        return objects_ && PyList_Append(objects_.get(), data) == 0;
    }

    bool takeGathered() {
        if (gathered.size() == 0) return true;
        capi::Ref piece = gatheredAsBytes();
        return piece && addObject(piece.get());
    }

    // b"".join(chunks), or the single chunk itself when it is exactly bytes.
    static capi::Ref joinChunks(PyObject* chunks) {
        if (PyList_GET_SIZE(chunks) == 1 && PyBytes_CheckExact(PyList_GET_ITEM(chunks, 0))) {
            return capi::Ref::borrow(PyList_GET_ITEM(chunks, 0));
        }
        capi::Ref empty = capi::Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (!empty) return capi::Ref();
        return capi::callMethod(empty.get(), capi::Name::join, {chunks});
    }
};

}  // namespace lumivex::png
