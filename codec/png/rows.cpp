#include "rows.hpp"

#include <cstring>

namespace lumivex::png {

bool assembledLength(size_t pixelsLen, uint64_t rowStride, uint64_t height, size_t* length) noexcept {
    // When height * rowStride overflows it is certainly larger than the buffer, which then bounds the data.
    uint64_t wanted;
    const bool wantedFits = !__builtin_mul_overflow(height, rowStride, &wanted);
    const uint64_t pixelBytes = wantedFits && wanted < pixelsLen ? wanted : pixelsLen;
    size_t total;
    if (__builtin_add_overflow(height, pixelBytes, &total)) return false;
    *length = total;
    return true;
}

void assembleRows(const uint8_t* pixels, size_t pixelsLen, uint64_t rowStride, uint64_t height,
                  uint8_t* out) noexcept {
    size_t offset = 0;
    uint64_t y = 0;
    for (; y < height && offset < pixelsLen; ++y) {
        const size_t remaining = pixelsLen - offset;
        const size_t rowLen = rowStride < remaining ? static_cast<size_t>(rowStride) : remaining;
        *out++ = 0;
        std::memcpy(out, pixels + offset, rowLen);
        out += rowLen;
        offset += rowLen;
    }
    // Once the buffer is used up, each remaining row is its filter byte alone.
    if (y < height) std::memset(out, 0, static_cast<size_t>(height - y));
}

}  // namespace lumivex::png
