// Four-byte pixels narrowed to three: RGBA -> RGB for the PNG reader's rows,
// any three bytes of four for BMP's 32-bit pixels.
#include "filter.hpp"

#if defined(__SSE2__)
#include <tmmintrin.h>
#include "../cpu_features.hpp"
#endif

namespace lumivex::png {
namespace {

#if defined(__SSE2__)
// 16 pixels per step: four 12-byte narrowings stitched into three full 16-byte stores.
__attribute__((target("ssse3"))) size_t pickThreeSsse3(const uint8_t* quads, size_t pixelCount, const uint8_t order[3],
                                                       uint8_t* rgb) {
    const char r = static_cast<char>(order[0]), g = static_cast<char>(order[1]), bl = static_cast<char>(order[2]);
    const __m128i pick = _mm_setr_epi8(r, g, bl, char(4 + r), char(4 + g), char(4 + bl), char(8 + r), char(8 + g),
                                       char(8 + bl), char(12 + r), char(12 + g), char(12 + bl), -1, -1, -1, -1);
    size_t i = 0;
    for (; i + 16 <= pixelCount; i += 16) {
        const uint8_t* src = quads + 4 * i;
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), pick);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), pick);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), pick);
        const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48)), pick);
        __m128i* dst = reinterpret_cast<__m128i*>(rgb + 3 * i);
        _mm_storeu_si128(dst, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(dst + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(dst + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    return i;
}
#endif

}  // namespace

void pickThreeOfFour(const uint8_t* quads, size_t pixelCount, const uint8_t order[3], uint8_t* rgb) noexcept {
    size_t done = 0;
#if defined(__SSE2__)
    if (cpu::hasSsse3()) done = pickThreeSsse3(quads, pixelCount, order, rgb);
#endif
    for (size_t i = done; i < pixelCount; ++i) {
        rgb[3 * i] = quads[4 * i + order[0]];
        rgb[3 * i + 1] = quads[4 * i + order[1]];
        rgb[3 * i + 2] = quads[4 * i + order[2]];
    }
}

void rgbaToRgb(const uint8_t* rgba, size_t pixelCount, uint8_t* rgb) noexcept {
    static constexpr uint8_t firstThree[3] = {0, 1, 2};
    pickThreeOfFour(rgba, pixelCount, firstThree, rgb);
}


}  // namespace lumivex::png
