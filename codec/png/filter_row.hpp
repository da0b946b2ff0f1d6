// What the PNG row reconstruction kernels share inside codec/png (filter.cpp and
// paeth.cpp): the row being rebuilt and the vector kernels' pixel loads and stores.
// Not an interface for code outside the codec.
#pragma once

#include "wide_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivex::png::rebuild {

struct Row {
    const uint8_t* data;
    const uint8_t* prev;  // nullptr on the first row
    size_t n;
    size_t bpp;
    uint8_t* out;
    WideKernels kernels;
};

#if defined(__SSE2__)

// Pixel kernels move 4 bytes per pixel even for bpp 3: the fourth lane carries junk that never
// mixes into the other lanes, and the byte it stores is overwritten by the next pixel. The loops
// therefore stop while 4 bytes remain in bounds and leave the last pixel to the scalar code.
inline __m128i loadPixel(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm_cvtsi32_si128(v);
}

inline void storePixel(uint8_t* p, __m128i v) {
    const int32_t bytes = _mm_cvtsi128_si32(v);
    std::memcpy(p, &bytes, sizeof bytes);
}

// Rebuilds a leading part of a Paeth row that has a row above it, for bpp 3 or 4, with
// row.kernels' vector kernels (SSE2 or SSE4.1); returns how many bytes are done. Same
// in-place guarantees as the other wide kernels (see reconstructWide in filter.cpp).
size_t paethPixelsWide(Row row) noexcept;

#endif  // __SSE2__

}  // namespace lumivex::png::rebuild
