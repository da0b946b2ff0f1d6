// RGBA -> RGB narrowing of the PNG reader's rows.
#include "filter.hpp"

#if defined(__SSE2__)
#include <tmmintrin.h>
#endif

namespace lumivex::png {
namespace {

#if defined(__SSE2__)
// 16 pixels per step: four 12-byte narrowings stitched into three full 16-byte stores.
__attribute__((target("ssse3"))) size_t rgbaToRgbSsse3(const uint8_t* rgba, size_t pixelCount, uint8_t* rgb) {
    const __m128i dropAlpha = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    size_t i = 0;
    for (; i + 16 <= pixelCount; i += 16) {
        const uint8_t* src = rgba + 4 * i;
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), dropAlpha);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), dropAlpha);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), dropAlpha);
        const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48)), dropAlpha);
        __m128i* dst = reinterpret_cast<__m128i*>(rgb + 3 * i);
        _mm_storeu_si128(dst, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(dst + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(dst + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    return i;
}
#endif

}  // namespace

void rgbaToRgb(const uint8_t* rgba, size_t pixelCount, uint8_t* rgb) noexcept {
    size_t done = 0;
#if defined(__SSE2__)
    if (__builtin_cpu_supports("ssse3")) done = rgbaToRgbSsse3(rgba, pixelCount, rgb);
#endif
    for (size_t i = done; i < pixelCount; ++i) {
        rgb[3 * i] = rgba[4 * i];
        rgb[3 * i + 1] = rgba[4 * i + 1];
        rgb[3 * i + 2] = rgba[4 * i + 2];
    }
}


}  // namespace lumivex::png
