// Memory owned by native code: a buffer that grows at its end, and hints to
// the kernel about large buffers. Pure: no Python, usable on any thread.
#pragma once

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace lumivex {

// Scratch of a fixed size (reserve), or bytes appended at its end as it
// grows, at least doubling, when asked for room (reserve, size, setSize).
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    // Room for `capacity` bytes in all; false, the buffer unchanged, when there is none.
    bool reserve(size_t capacity) noexcept {
        if (capacity <= capacity_) return true;
        const bool doubles = capacity_ > capacity / 2 && capacity_ <= SIZE_MAX / 2;
        const size_t grown = doubles ? 2 * capacity_ : capacity;
        void* moved = std::realloc(data_, grown);
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
        std::free(data_);
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

}  // namespace lumivex
