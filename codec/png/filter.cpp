#include "filter.hpp"

#include "predictors.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>
#endif

namespace lumivex::png {
namespace {

struct Row {
    const uint8_t* data;
    const uint8_t* prev;  // nullptr on the first row
    size_t n;
    size_t bpp;
    uint8_t* out;
    WideKernels kernels;
};

// Reconstruct bytes [start, n); bytes before start must already be final in row.out,
// because the left neighbour is read back from the output.
template <int Filter>
void reconstructScalarFrom(const Row& row, size_t start) {
    for (size_t i = start; i < row.n; ++i) {
        const bool hasLeft = i >= row.bpp;
        const int left = hasLeft ? row.out[i - row.bpp] : 0;
        const int up = row.prev ? row.prev[i] : 0;
        const int upLeft = row.prev && hasLeft ? row.prev[i - row.bpp] : 0;
        row.out[i] = static_cast<uint8_t>(row.data[i] + predict<Filter>(left, up, upLeft));
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

// Pixel kernels move 4 bytes per pixel even for bpp 3: the fourth lane carries junk that never
// mixes into the other lanes, and the byte it stores is overwritten by the next pixel. The loops
// therefore stop while 4 bytes remain in bounds and leave the last pixel to the scalar code.
__m128i loadPixel(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm_cvtsi32_si128(v);
}

void storePixel(uint8_t* p, __m128i v) {
    const int32_t bytes = _mm_cvtsi128_si32(v);
    std::memcpy(p, &bytes, sizeof bytes);
}

// Branchless Paeth on 16-bit lanes. With e = up - upLeft and d = left - upLeft the distances are
// pa = |e|, pb = |d|, pc = |d + e|. Left wins (pa <= pb and pa <= pc) exactly when left is outside the open
// interval between up and 3*upLeft - 2*up; otherwise up wins (pb <= pc) when 2*left >= 3*upLeft - up for
// e > 0, or 2*left <= 3*upLeft - up for e < 0. The thresholds depend only on the row above, so the chain
// from one pixel to the next is a few compares and a select.
struct PaethInputs {
    __m128i leftLow;          // left <= leftLow or left >= leftHigh: left is the predictor
    __m128i leftHigh;
    __m128i upSplit;          // otherwise left > upSplit chooses between up and upLeft
    __m128i sumAtOrBelow;     // filtered + the predictor chosen when left <= upSplit
    __m128i sumUpXorUpLeft;   // (filtered + up) ^ (filtered + upLeft): flips sumAtOrBelow to the other one
    __m128i filtered;
};

// Byte adds on 16-bit lanes keep each lane's high byte zero and give the sum modulo 256.
inline PaethInputs paethInputs(__m128i filtered, __m128i up, __m128i upLeft) {
    const __m128i e = _mm_sub_epi16(up, upLeft);
    const __m128i upNotBelow = _mm_cmpgt_epi16(e, _mm_set1_epi16(-1));
    const __m128i q = _mm_sub_epi16(_mm_add_epi16(upLeft, upLeft), e);  // 3*upLeft - up
    const __m128i mirror = _mm_sub_epi16(q, up);                          // 3*upLeft - 2*up
    // For e >= 0, 2*left < q is left <= (q - 1) >> 1; for e < 0, 2*left > q is left > q >> 1.
    const __m128i upSplit = _mm_srai_epi16(_mm_add_epi16(q, upNotBelow), 1);
    const __m128i sumUp = _mm_add_epi8(filtered, up);
    const __m128i sumUpXorUpLeft = _mm_xor_si128(sumUp, _mm_add_epi8(filtered, upLeft));
    const __m128i sumAtOrBelow = _mm_xor_si128(sumUp, _mm_and_si128(upNotBelow, sumUpXorUpLeft));
    return PaethInputs{_mm_min_epi16(up, mirror), _mm_max_epi16(up, mirror), upSplit, sumAtOrBelow, sumUpXorUpLeft,
                       filtered};
}

// Returns filtered + Paeth predictor for the pixel whose left neighbour is `left`.
inline __m128i paethSum(__m128i left, const PaethInputs& in) {
    const __m128i notLeft = _mm_and_si128(_mm_cmpgt_epi16(left, in.leftLow), _mm_cmpgt_epi16(in.leftHigh, left));
    const __m128i above = _mm_cmpgt_epi16(left, in.upSplit);
    const __m128i sumOther = _mm_xor_si128(in.sumAtOrBelow, _mm_and_si128(above, in.sumUpXorUpLeft));
    const __m128i sumLeft = _mm_add_epi8(in.filtered, left);
    return _mm_or_si128(_mm_and_si128(notLeft, sumOther), _mm_andnot_si128(notLeft, sumLeft));
}

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

// Sub a vector at a time: the running sum over the pixels of a vector in log steps, plus the
// vector before's last pixel in every pixel's place. With Bpp 3 a vector holds five pixels and
// a junk 16th byte, which the next step overwrites; the last bytes are left to the scalar code.
template <size_t Bpp>
__attribute__((target("ssse3"))) size_t subVectors(Row row) {
    const __m128i lastPixel = Bpp == 4 ? _mm_setr_epi8(12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15)
                                       : _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12);
    __m128i carry = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= row.n; i += Bpp == 4 ? 16 : 15) {
        __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data + i));
        sum = _mm_add_epi8(sum, _mm_slli_si128(sum, Bpp));
        sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 2 * Bpp));
        if (Bpp == 3) sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 4 * Bpp));
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

inline __m128i widen(__m128i bytes) { return _mm_unpacklo_epi8(bytes, _mm_setzero_si128()); }

// Two neighbouring pixels in 16-bit lanes: the first in lanes 0-3, the second in lanes 4-7.
template <size_t Bpp>
__m128i loadPixelPair(const uint8_t* p) {
    if constexpr (Bpp == 4) return widen(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return widen(_mm_unpacklo_epi32(loadPixel(p), loadPixel(p + Bpp)));
}

// Stores two pixels held in 16-bit lanes: the first in lanes 0-3, the second in lanes 4-7.
template <size_t Bpp>
void storePixelPair(uint8_t* p, __m128i lanes) {
    const __m128i bytes = _mm_packus_epi16(lanes, _mm_setzero_si128());
    if constexpr (Bpp == 4) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
    } else {
        storePixel(p, bytes);
        storePixel(p + Bpp, _mm_srli_si128(bytes, 4));
    }
}

// One pixel on its own: the first of the row (no upLeft yet) or an odd one at the end.
template <size_t Bpp>
__m128i paethPixel(const Row& row, size_t i, __m128i left) {
    const __m128i upLeft = i >= Bpp ? widen(loadPixel(row.prev + i - Bpp)) : _mm_setzero_si128();
    left = paethSum(left, paethInputs(widen(loadPixel(row.data + i)), widen(loadPixel(row.prev + i)), upLeft));
    storePixel(row.out + i, _mm_packus_epi16(left, _mm_setzero_si128()));
    return left;
}

// Pixels go in pairs so that the work that does not wait for `left` is shared by two of them.
// Continues the row from pixel i >= Bpp, whose left neighbour is `left`.
template <size_t Bpp>
size_t paethPairsFrom(const Row& row, size_t i, __m128i left) {
    for (; i + Bpp + 4 <= row.n; i += 2 * Bpp) {
        const PaethInputs in = paethInputs(loadPixelPair<Bpp>(row.data + i), loadPixelPair<Bpp>(row.prev + i),
                                           loadPixelPair<Bpp>(row.prev + i - Bpp));
        const __m128i first = paethSum(left, in);                        // valid in lanes 0-3
        const __m128i second = paethSum(_mm_slli_si128(first, 8), in);   // valid in lanes 4-7
        storePixelPair<Bpp>(row.out + i,
                            _mm_castpd_si128(_mm_move_sd(_mm_castsi128_pd(second), _mm_castsi128_pd(first))));
        left = _mm_srli_si128(second, 8);
    }
    if (i + 4 <= row.n) {
        paethPixel<Bpp>(row, i, left);
        i += Bpp;
    }
    return i;
}

template <size_t Bpp>
size_t paethPixels(Row row) {
    if (row.n < 4) return 0;
    return paethPairsFrom<Bpp>(row, Bpp, paethPixel<Bpp>(row, 0, _mm_setzero_si128()));
}

inline __m128i highHalf(__m128i v) { return _mm_unpackhi_epi64(v, v); }

// SSE4.1's byte blend chooses between the sums directly: both candidates other than left are
// ready before `left` is, and from `left` to the sum there are three dependent steps.
struct PaethBlendInputs {
    __m128i leftLow, leftHigh, upSplit, filtered;
    __m128i sumAtOrBelow;  // filtered + the predictor chosen when left <= upSplit
    __m128i sumAbove;      // filtered + the other one
};

__attribute__((target("sse4.1"))) inline PaethBlendInputs paethBlendInputs(__m128i filtered, __m128i up,
                                                                          __m128i upLeft) {
    const PaethInputs in = paethInputs(filtered, up, upLeft);
    return PaethBlendInputs{in.leftLow, in.leftHigh, in.upSplit, filtered, in.sumAtOrBelow,
                            _mm_xor_si128(in.sumAtOrBelow, in.sumUpXorUpLeft)};
}

__attribute__((target("sse4.1"))) inline __m128i paethSumBlend(__m128i left, const PaethBlendInputs& in) {
    const __m128i notLeft = _mm_and_si128(_mm_cmpgt_epi16(left, in.leftLow), _mm_cmpgt_epi16(in.leftHigh, left));
    const __m128i sumOther = _mm_blendv_epi8(in.sumAtOrBelow, in.sumAbove, _mm_cmpgt_epi16(left, in.upSplit));
    return _mm_blendv_epi8(_mm_add_epi8(in.filtered, left), sumOther, notLeft);
}

// Byte shuffle that widens two pixels, at 0 and Bpp, into the 16-bit lanes of a pair (with the
// byte after each pixel as its fourth lane when Bpp is 3); `from` moves the pair along.
template <size_t Bpp>
__attribute__((target("ssse3"))) __m128i pairLanes(__m128i bytes, int from) {
    alignas(16) int8_t order[16];
    for (int lane = 0; lane < 8; ++lane) {
        order[2 * lane] = static_cast<int8_t>(from + (lane < 4 ? lane : static_cast<int>(Bpp) + lane - 4));
        order[2 * lane + 1] = -1;  // high byte zero
    }
    return _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i*>(order)));
}

// One pair at i through paethSumBlend, both pixels on the same inputs: the first pass gets the
// first pixel right (its left is known), the second, with that pixel moved into the second's
// place, both. Returns the second pixel in the low lanes.
template <size_t Bpp>
__attribute__((target("sse4.1"), always_inline)) inline __m128i paethPairSse41(const Row& row, size_t i, __m128i left) {
    const __m128i above = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.prev + i - Bpp));
    const __m128i filtered = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data + i));
    const PaethBlendInputs in =
        paethBlendInputs(pairLanes<Bpp>(filtered, 0), pairLanes<Bpp>(above, Bpp), pairLanes<Bpp>(above, 0));
    const __m128i first = paethSumBlend(left, in);
    const __m128i pair = paethSumBlend(_mm_unpacklo_epi64(left, first), in);
    storePixelPair<Bpp>(row.out + i, pair);
    return highHalf(pair);
}

// One pair at i rebuilt as Sub rebuilds it; returns the second pixel in the low lanes.
template <size_t Bpp>
__attribute__((target("ssse3"), always_inline)) inline __m128i subPair(const Row& row, size_t i, __m128i left) {
    const __m128i filtered = pairLanes<Bpp>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data + i)), 0);
    const __m128i first = _mm_add_epi8(filtered, left);
    const __m128i second = _mm_add_epi8(highHalf(filtered), first);
    storePixelPair<Bpp>(row.out + i, _mm_unpacklo_epi64(first, second));
    return second;
}

// Whether prev[k - Bpp] == prev[k] for the 32 bytes from `prev`: then every pixel there has
// up == upLeft, so pa is 0 and Paeth picks left, as flat pictures often have it.
template <size_t Bpp>
bool levelAbove(const uint8_t* prev) {
    const auto at = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(at(prev - Bpp), at(prev)),
                                       _mm_cmpeq_epi8(at(prev + 16 - Bpp), at(prev + 16)));
    return _mm_movemask_epi8(same) == 0xFFFF;
}

// Whether the 8 * Bpp filtered bytes from `data` are all zero. Loads every byte of the block,
// so that a block written over them afterwards (in place) has read them first.
template <size_t Bpp>
__attribute__((target("sse4.1"))) bool zeroBlock(const uint8_t* data) {
    const auto at = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i both = _mm_or_si128(at(data), at(data + 8 * Bpp - 16));
    return _mm_testz_si128(both, both);
}

// Eight copies of `left` (a pixel in 16-bit lanes) at out: a block of zero filtered bytes
// under a level stretch, where every pixel's predictor is its left neighbour.
template <size_t Bpp>
__attribute__((target("sse4.1"))) void repeatPixel(uint8_t* out, __m128i left) {
    const __m128i bytes = _mm_packus_epi16(left, left);
    __m128i first, second;
    if constexpr (Bpp == 4) {
        first = second = _mm_shuffle_epi32(bytes, 0);
    } else {
        first = _mm_shuffle_epi8(bytes, _mm_setr_epi8(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0));
        second = _mm_shuffle_epi8(bytes, _mm_setr_epi8(2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * Bpp - 16), second);
}

// Blocks of eight pixels (four pairs) with one 16-byte load of each row per pair, widened by
// byte shuffles; a block under a level stretch of the row above goes the cheaper way of Sub,
// or is its left pixel repeated when its filtered bytes are zero (decided per block, so that
// mixed content costs few mispredicted branches). The last pixels, too close to the end for
// 16-byte loads, go through paethPairsFrom.
template <size_t Bpp>
__attribute__((target("sse4.1"))) size_t paethPixelsSse41(Row row) {
    if (row.n < 4) return 0;
    __m128i left = paethPixel<Bpp>(row, 0, _mm_setzero_si128());
    size_t i = Bpp;
    for (; i + 8 * Bpp + 16 <= row.n; i += 8 * Bpp) {
        if (levelAbove<Bpp>(row.prev + i)) {
            if (zeroBlock<Bpp>(row.data + i)) {
                repeatPixel<Bpp>(row.out + i, left);
                continue;
            }
            for (size_t pair = 0; pair < 4; ++pair) left = subPair<Bpp>(row, i + 2 * Bpp * pair, left);
        } else {
            for (size_t pair = 0; pair < 4; ++pair) left = paethPairSse41<Bpp>(row, i + 2 * Bpp * pair, left);
        }
    }
    for (; i + 16 <= row.n; i += 2 * Bpp) left = paethPairSse41<Bpp>(row, i, left);
    return paethPairsFrom<Bpp>(row, i, left);
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
            return row.kernels == WideKernels::sse41 ? paethPixelsSse41<Bpp>(row) : paethPixels<Bpp>(row);
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
    return __builtin_cpu_supports("sse4.1") ? WideKernels::sse41 : WideKernels::sse2;
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
