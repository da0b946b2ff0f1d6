// Where a decoder's bytes come from: read in order, seeked to absolute
// positions. The decoders ask nothing else of a source, so the same chunk
// walk runs over memory, a file read natively, or whatever a binding wraps.
// Pure: no Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace lumivex {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `n` bytes from the current position into `into`, moving past
    // them; fewer (*got) only at the end of the data. False when the source
    // failed: whoever made it knows why.
    virtual bool read(uint8_t* into, size_t n, size_t* got) noexcept = 0;
    // Moves to `position` from the start; past the end, reads find nothing.
    virtual bool seek(uint64_t position) noexcept = 0;
    // The current position.
    virtual uint64_t position() const noexcept = 0;
    // How many bytes are left, when the source knows (UINT64_MAX otherwise):
    // a declared length is only a claim, and room is reserved for no more
    // than is there.
    virtual uint64_t remaining() const noexcept { return UINT64_MAX; }
    // The next `n` bytes where they already lie, moving past them, for a
    // source in memory; null (nothing moved) for any other, or fewer left.
    virtual const uint8_t* view(size_t n) noexcept {
        (void)n;
        return nullptr;
    }
};

// Bytes in memory that nothing changes while they are read.
class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t length, size_t start = 0) noexcept
        : data_(data), length_(length), at_(std::min(start, length)) {}

    bool read(uint8_t* into, size_t n, size_t* got) noexcept override {
        const size_t count = std::min(n, length_ - at_);
        if (count != 0) std::memcpy(into, data_ + at_, count);
        at_ += count;
        *got = count;
        return true;
    }
    bool seek(uint64_t position) noexcept override {
        at_ = static_cast<size_t>(std::min<uint64_t>(position, length_));
        beyond_ = position > length_ ? position - length_ : 0;
        return true;
    }
    uint64_t position() const noexcept override { return at_ + beyond_; }
    uint64_t remaining() const noexcept override { return length_ - at_; }
    const uint8_t* view(size_t n) noexcept override {
        if (n > length_ - at_) return nullptr;
        at_ += n;
        return data_ + at_ - n;
    }

private:
    const uint8_t* data_;
    size_t length_;
    size_t at_;
    uint64_t beyond_ = 0;  // how far a seek went past the end
};

}  // namespace lumivex
