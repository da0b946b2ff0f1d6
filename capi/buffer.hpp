// Raw memory and byte views with scoped lifetimes, for native loops that run
// over Python-owned bytes (possibly without the GIL).
#pragma once

#include "ref.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace lumivex::capi {

// A contiguous read-only view of an object's bytes (buffer protocol). While
// it is held, a bytearray cannot be resized under the loop reading it.
class ByteView {
public:
    ByteView() noexcept = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) noexcept {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
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

// Memory from the raw allocator, usable without the GIL: scratch of a fixed
// size (allocate), or bytes appended at its end as it grows, at least doubling,
// when asked for room (reserve, size, setSize).
class RawBuffer {
public:
    RawBuffer() noexcept = default;
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    ~RawBuffer() { PyMem_RawFree(data_); }
    // `size` bytes of scratch, contents unspecified; raises MemoryError when there is no room.
    bool allocate(size_t size) noexcept { return reserve(size); }
    // Room for `capacity` bytes in all; raises MemoryError when there is none.
    bool reserve(size_t capacity) noexcept {
        if (reserveQuietly(capacity)) return true;
        PyErr_NoMemory();
        return false;
    }
    // reserve without raising: false, the buffer unchanged, when there is no room.
    bool reserveQuietly(size_t capacity) noexcept {
        if (capacity <= capacity_) return true;
        const bool doubles = capacity_ > capacity / 2 && capacity_ <= SIZE_MAX / 2;
        const size_t grown = doubles ? 2 * capacity_ : capacity;
        void* moved = PyMem_RawRealloc(data_, grown);
        if (moved == nullptr) return false;
        data_ = static_cast<uint8_t*>(moved);
        capacity_ = grown;
        return true;
    }
    uint8_t* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }
    // The first `size` bytes (at most the capacity) are the contents.
    void setSize(size_t size) noexcept { size_ = size; }
    void release() noexcept {
        PyMem_RawFree(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Asks the kernel to back a large, freshly allocated buffer with huge pages
// before it is first written: filling a multi-megabyte buffer page by page
// otherwise costs more in page faults than in copying.
inline void adviseHugePages(void* buffer, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t hugePage = uintptr_t(1) << 21;
    uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + hugePage - 1) & ~(hugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~(hugePage - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}

// Gives the pages wholly inside buffer[keep, end) back to the kernel, for a
// buffer shrunk in place whose allocator keeps its old size: the memory stays
// the allocation's, with unspecified contents. MADV_FREE lets the kernel take
// the pages whenever it needs memory, while a later reuse of the allocation
// (the next image's buffer, often) writes them again without a page fault;
// kernels without it drop them at once.
inline void releaseUnusedPages(void* buffer, size_t keep, size_t end) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + keep + page - 1) & ~(page - 1);
    uintptr_t stop = (reinterpret_cast<uintptr_t>(buffer) + end) & ~(page - 1);
    if (stop <= start) return;
#if defined(MADV_FREE)
    if (madvise(reinterpret_cast<void*>(start), stop - start, MADV_FREE) == 0) return;
#endif
    madvise(reinterpret_cast<void*>(start), stop - start, MADV_DONTNEED);
#else
    (void)buffer;
    (void)keep;
    (void)end;
#endif
}

}  // namespace lumivex::capi
