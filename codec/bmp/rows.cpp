#include "rows.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <tmmintrin.h>
#include "../cpu_features.hpp"
#endif

namespace lumivex::bmp {
namespace {

#if defined(__SSE2__)
// Five pixels (15 bytes) per 16-byte step; the 16th byte is passed through unchanged and rewritten by the
// next step, so the loop stops while a whole 16 bytes are still in bounds on both sides.
__attribute__((target("ssse3"))) size_t swapRedBlueSsse3(const uint8_t* src, size_t width, uint8_t* dst) {
    const __m128i swap = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    const size_t bytes = 3 * width;
    size_t offset = 0;
    for (; offset + 16 <= bytes; offset += 15) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + offset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + offset), _mm_shuffle_epi8(pixels, swap));
    }
    return offset / 3;
}
#endif

// BGR -> RGB and RGB -> BGR are the same exchange of the first and third byte of each pixel.
void swapRedBlue(const uint8_t* src, size_t width, uint8_t* dst) {
    size_t done = 0;
#if defined(__SSE2__)
    if (cpu::hasSsse3()) done = swapRedBlueSsse3(src, width, dst);
#endif
    for (size_t x = done; x < width; ++x) {
        dst[3 * x] = src[3 * x + 2];
        dst[3 * x + 1] = src[3 * x + 1];
        dst[3 * x + 2] = src[3 * x];
    }
}

}  // namespace

int64_t storedRowStride(int64_t width) noexcept {
    const int64_t bytes = 3 * width + 3;
    // C++ division truncates toward zero; step down once more for negative inexact quotients.
    const int64_t quads = bytes / 4 - (bytes % 4 < 0 ? 1 : 0);
    return 4 * quads;
}

void storedRowToRgb(const uint8_t* stored, size_t width, uint8_t* rgb) noexcept { swapRedBlue(stored, width, rgb); }

void rgbToStoredRow(const uint8_t* rgb, size_t width, size_t padBytes, uint8_t* stored) noexcept {
    swapRedBlue(rgb, width, stored);
    if (padBytes > 0) std::memset(stored + 3 * width, 0, padBytes);
}

size_t storeRowsBottomUp(const uint8_t* rgb, size_t width, size_t padBytes, StoredRowsCursor* at, uint8_t* out,
                         size_t capacity) noexcept {
    const size_t rowBytes = 3 * width;
    size_t used = 0;
    while (at->row >= 0) {
        if (at->pixel < width) {
            const size_t pixels = std::min(width - at->pixel, (capacity - used) / 3);
            if (pixels == 0) break;
            swapRedBlue(rgb + static_cast<size_t>(at->row) * rowBytes + 3 * at->pixel, pixels, out + used);
            used += 3 * pixels;
            at->pixel += pixels;
            if (at->pixel < width) break;
        }
        if (capacity - used < padBytes) break;
        if (padBytes > 0) std::memset(out + used, 0, padBytes);
        used += padBytes;
        at->pixel = 0;
        --at->row;
    }
    return used;
}

}  // namespace lumivex::bmp
