// Raw memory and byte views with scoped lifetimes, for native loops that run
// over Python-owned bytes (possibly without the GIL).
#pragma once

#include "ref.hpp"

#include "../codec/buffer.hpp"

#include <cstdint>

namespace lumivex::capi {

// A contiguous read-only view of an object's bytes (buffer protocol). While
// it is held, a bytearray cannot be resized under the loop reading it.
class ByteView {
public:
    ByteView() noexcept = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { release(); }
    bool acquire(PyObject* object) noexcept {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const uint8_t* data() const noexcept { return static_cast<const uint8_t*>(view_.buf); }
    Py_ssize_t length() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A new bytearray of `size` bytes, contents unspecified, for the caller to
// fill. Made empty and then resized, so that a failed allocation raises only
// MemoryError (or OverflowError) and prints nothing: creating it at its full
// size can, on CPython 3.8, also print a spurious SystemError to stderr.
inline Ref newPixelBuffer(Py_ssize_t size) noexcept {
    Ref buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!buffer || PyByteArray_Resize(buffer.get(), size) < 0) return Ref();
    return buffer;
}

// Native scratch and growing buffers that raise MemoryError when there is no room.
class RawBuffer : public ByteBuffer {
public:
    // `size` bytes of scratch, contents unspecified.
    bool allocate(size_t size) noexcept { return reserve(size); }
    bool reserve(size_t capacity) noexcept {
        if (ByteBuffer::reserve(capacity)) return true;
        PyErr_NoMemory();
        return false;
    }
};

using lumivex::adviseHugePages;
using lumivex::releaseUnusedPages;

}  // namespace lumivex::capi
