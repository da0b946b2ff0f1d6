#include "filter.hpp"

#include "filter_row.hpp"
#include "predictors.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#include "../cpu_features.hpp"
#endif

namespace lumivex::png {
namespace {

using rebuild::Row;
#if defined(__SSE2__)
using rebuild::loadPixel;
using rebuild::storePixel;
#endif

// Reconstruct bytes [start, n); bytes before start must already be final in row.out,
// because the left neighbour is read back from the output.
template <int Filter>
void reconstructScalarFrom(const Row& row, size_t start) {
    const size_t bpp = row.bpp, n = row.n;
    const uint8_t* data = row.data;
    const uint8_t* prev = row.prev;
    uint8_t* out = row.out;
    size_t i = start;
    // The first pixel has no left neighbour; after it, the loops test nothing but their end.
    for (; i < n && i < bpp; ++i) out[i] = static_cast<uint8_t>(data[i] + predict<Filter>(0, prev ? prev[i] : 0, 0));
    if (prev != nullptr) {
        for (; i < n; ++i) {
            out[i] = static_cast<uint8_t>(data[i] + predict<Filter>(out[i - bpp], prev[i], prev[i - bpp]));
        }
    } else {
        for (; i < n; ++i) out[i] = static_cast<uint8_t>(data[i] + predict<Filter>(out[i - bpp], 0, 0));
    }
}

void reconstructScalarFrom(int filterType, const Row& row, size_t start) {
    switch (filterType) {
        case kNone: reconstructScalarFrom<kNone>(row, start); break;
        case kSub: reconstructScalarFrom<kSub>(row, start); break;
        case kUp: reconstructScalarFrom<kUp>(row, start); break;
        case kAverage: reconstructScalarFrom<kAverage>(row, start); break;
        case kPaeth: reconstructScalarFrom<kPaeth>(row, start); break;
    }
}

#if defined(__SSE2__)

template <size_t Bpp>
size_t subPixels(Row row) {
    __m128i left = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= row.n; i += Bpp) {
        left = _mm_add_epi8(left, loadPixel(row.data + i));
        storePixel(row.out + i, left);
    }
    return i;
}

// Sub of 6- and 8-byte pixels (16-bit RGB and RGBA), a pixel at a time in the low half of a
// vector; a 6-byte pixel is stored as exactly its 6 bytes, so nothing lands past it.
template <size_t Bpp>
size_t subWidePixels(Row row) {
    static_assert(Bpp == 6 || Bpp == 8);
    __m128i left = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 8 <= row.n; i += Bpp) {
        left = _mm_add_epi8(left, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row.data + i)));
        if constexpr (Bpp == 8) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row.out + i), left);
        } else {
            storePixel(row.out + i, left);
            const uint16_t last = static_cast<uint16_t>(_mm_extract_epi16(left, 2));
            std::memcpy(row.out + i + 4, &last, 2);
        }
    }
    return i;
}

// Sub a vector at a time: the running sum over the pixels of a vector in log steps, plus the
// vector before's last pixel in every pixel's place. With Bpp 3 a vector holds five pixels and
// a junk 16th byte, which the next step overwrites; the last bytes are left to the scalar code.
template <size_t Bpp>
__attribute__((target("ssse3"))) size_t subVectors(Row row) {
    const __m128i lastPixel =
        Bpp == 4   ? _mm_setr_epi8(12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15)
        : Bpp == 3 ? _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12)
        : Bpp == 2 ? _mm_setr_epi8(14, 15, 14, 15, 14, 15, 14, 15, 14, 15, 14, 15, 14, 15, 14, 15)
                   : _mm_set1_epi8(15);
    __m128i carry = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= row.n; i += Bpp == 3 ? 15 : 16) {
        __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data + i));
        sum = _mm_add_epi8(sum, _mm_slli_si128(sum, Bpp));
        sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 2 * Bpp));
        if constexpr (Bpp <= 3) sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 4 * Bpp));
        if constexpr (Bpp == 1) sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 8));
        sum = _mm_add_epi8(sum, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row.out + i), sum);
        carry = _mm_shuffle_epi8(sum, lastPixel);
    }
    return i;
}

template <size_t Bpp, bool HasPrev>
size_t averagePixels(Row row) {
    const __m128i lowBit = _mm_set1_epi8(1);
    __m128i left = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= row.n; i += Bpp) {
        const __m128i up = HasPrev ? loadPixel(row.prev + i) : _mm_setzero_si128();
        // avg_epu8 rounds up; subtracting the dropped low bit gives the floor without widening.
        const __m128i roundedUp = _mm_avg_epu8(left, up);
        const __m128i mean = _mm_sub_epi8(roundedUp, _mm_and_si128(_mm_xor_si128(left, up), lowBit));
        left = _mm_add_epi8(loadPixel(row.data + i), mean);
        storePixel(row.out + i, left);
    }
    return i;
}

size_t upBlocks(Row row) {
    size_t i = 0;
    for (; i + 16 <= row.n; i += 16) {
        const __m128i filtered = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data + i));
        const __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.prev + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row.out + i), _mm_add_epi8(filtered, up));
    }
    return i;
}

template <size_t Bpp>
size_t reconstructPixels(int filterType, const Row& row) {
    switch (filterType) {
        case kSub: return row.kernels == WideKernels::sse41 ? subVectors<Bpp>(row) : subPixels<Bpp>(row);
        case kAverage: return row.prev ? averagePixels<Bpp, true>(row) : averagePixels<Bpp, false>(row);
        // With no row above, up = upLeft = 0 and Paeth always picks left: it is Sub.
        case kPaeth:
            if (!row.prev) return row.kernels == WideKernels::sse41 ? subVectors<Bpp>(row) : subPixels<Bpp>(row);
            return rebuild::paethPixelsWide(row);
    }
    return 0;
}

#endif  // __SSE2__

// Reconstruct a leading part of the row with wide operations; returns how many bytes are done.
// Every wide step loads its filtered bytes before it stores, and its stores (a pixel's junk
// fourth byte included) reach at most one byte past its loads, so an output that starts at
// least one byte before the filtered bytes never overwrites bytes still to be loaded; only
// the plain copy needs to know.
size_t reconstructWide(int filterType, const Row& row, bool overlapping) {
    if (filterType == kNone || (filterType == kUp && !row.prev)) {
        if (overlapping) {
            std::memmove(row.out, row.data, row.n);
        } else {
            std::memcpy(row.out, row.data, row.n);
        }
        return row.n;
    }
#if defined(__SSE2__)
    if (filterType == kUp) return upBlocks(row);
    if (row.bpp == 3) return reconstructPixels<3>(filterType, row);
    if (row.bpp == 4) return reconstructPixels<4>(filterType, row);
    // Sub of one- and two-byte pixels (and Paeth with no row above, which is Sub).
    const bool sub = filterType == kSub || (filterType == kPaeth && !row.prev);
    if (sub && row.kernels == WideKernels::sse41 && row.bpp == 1) return subVectors<1>(row);
    if (sub && row.kernels == WideKernels::sse41 && row.bpp == 2) return subVectors<2>(row);
    if (sub && row.bpp == 6) return subWidePixels<6>(row);
    if (sub && row.bpp == 8) return subWidePixels<8>(row);
#endif
    return 0;
}

// The row's vector kernels where they apply, then the scalar code for whatever they leave.
// `overlapping`: out may start before rowData and run over it (see reconstructRowInPlace).
bool reconstructWith(int filterType, const Row& row, bool overlapping) {
    if (row.n == 0) return true;
    if (!isKnownFilter(filterType)) return false;
    const size_t done = row.kernels == WideKernels::scalar ? 0 : reconstructWide(filterType, row, overlapping);
    reconstructScalarFrom(filterType, row, done);
    return true;
}

}  // namespace

WideKernels bestWideKernels() noexcept {
#if defined(__SSE2__)
    return cpu::hasSse41() ? WideKernels::sse41 : WideKernels::sse2;
#else
    return WideKernels::scalar;
#endif
}

bool reconstructRowScalar(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                          uint8_t* out) noexcept {
    return reconstructWith(filterType, Row{rowData, prevRow, n, bpp, out, WideKernels::scalar}, false);
}

bool reconstructRowWith(WideKernels kernels, int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n,
                        size_t bpp, uint8_t* out) noexcept {
    return reconstructWith(filterType, Row{rowData, prevRow, n, bpp, out, kernels}, true);
}

bool reconstructRow(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                    uint8_t* out) noexcept {
    return reconstructWith(filterType, Row{rowData, prevRow, n, bpp, out, bestWideKernels()}, false);
}

bool reconstructRowInPlace(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                           uint8_t* out) noexcept {
    return reconstructRowWith(bestWideKernels(), filterType, rowData, prevRow, n, bpp, out);
}

}  // namespace lumivex::png
