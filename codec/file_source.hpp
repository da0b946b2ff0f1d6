// A regular file read natively with pread, from a given position: small
// reads (chunk heads, CRCs) are served from a buffer filled a block at a
// time, large ones go straight to their destination. The descriptor's own
// offset is never moved, so the file object that owns it can be left where
// the reads ended with one seek. Pure: no Python.
#pragma once

#include "buffer.hpp"
#include "byte_source.hpp"

namespace lumivex {

class FileSource final : public ByteSource {
public:
    // `size`: the file's size when it was opened (reads stop at the real end
    // either way; the size only bounds what is reserved).
    FileSource(int fd, uint64_t start, uint64_t size) noexcept : fd_(fd), at_(start), size_(size) {}

    bool read(uint8_t* into, size_t n, size_t* got) noexcept override;
    bool seek(uint64_t position) noexcept override;
    uint64_t position() const noexcept override { return at_; }
    uint64_t remaining() const noexcept override { return size_ > at_ ? size_ - at_ : 0; }
    // The errno of the read that failed.
    int error() const noexcept { return error_; }

private:
    // Small: a chunk head's block also takes the start of the chunk's data,
    // which is then copied a second time on its way to the caller.
    static constexpr size_t blockSize = 4 * 1024;

    int fd_;
    uint64_t at_;
    uint64_t size_;
    int error_ = 0;
    ByteBuffer block_;
    uint64_t blockStart_ = 0;  // the file offset block_ holds bytes from
    size_t blockLength_ = 0;

    // pread until `n` bytes or the end of the file; false on an error.
    bool readAt(uint64_t offset, uint8_t* into, size_t n, size_t* got) noexcept;
    bool fillBlock() noexcept;
};

}  // namespace lumivex
