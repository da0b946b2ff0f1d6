#include "file_source.hpp"

#include <cerrno>
#include <climits>

#include <unistd.h>

namespace lumivex {

bool FileSource::readAt(uint64_t offset, uint8_t* into, size_t n, size_t* got) noexcept {
    size_t have = 0;
    while (have < n) {
        const size_t ask = std::min<size_t>(n - have, size_t(1) << 30);
        const ssize_t count = pread(fd_, into + have, ask, static_cast<off_t>(offset + have));
        if (count < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return false;
        }
        if (count == 0) break;
        have += static_cast<size_t>(count);
    }
    *got = have;
    return true;
}

bool FileSource::fillBlock() noexcept {
    if (!block_.reserve(blockSize)) {
        error_ = ENOMEM;
        return false;
    }
    blockStart_ = at_;
    return readAt(at_, block_.data(), blockSize, &blockLength_);
}

bool FileSource::read(uint8_t* into, size_t n, size_t* got) noexcept {
    size_t have = 0;
    while (have < n) {
        if (!(at_ >= blockStart_ && at_ < blockStart_ + blockLength_)) {
            // Long reads go straight to their destination.
            if (n - have >= blockSize / 2) {
                size_t direct;
                if (!readAt(at_, into + have, n - have, &direct)) return false;
                have += direct;
                at_ += direct;
                break;
            }
            if (!fillBlock()) return false;
            if (blockLength_ == 0) break;
        }
        const size_t offset = static_cast<size_t>(at_ - blockStart_);
        const size_t count = std::min(n - have, blockLength_ - offset);
        std::memcpy(into + have, block_.data() + offset, count);
        have += count;
        at_ += count;
    }
    *got = have;
    return true;
}

bool FileSource::seek(uint64_t position) noexcept {
    at_ = position;
    return true;
}

}  // namespace lumivex
