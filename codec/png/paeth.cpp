// Paeth reconstruction with SSE2 and SSE4.1: the predictor's choice made branch-free on
// 16-bit lanes, pixels in pairs, and cheap paths for flat stretches of the row above.
#include "filter_row.hpp"

#if defined(__SSE2__)
#include <smmintrin.h>
#include <tmmintrin.h>

namespace lumivex::png::rebuild {
namespace {

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

// Whether `left` (a pixel in 16-bit lanes) equals the pixel of the row above at `upLeft`. Then
// every byte's pb is 0 and Paeth picks up (or left, equal to it), so a block of zero filtered
// bytes repeats the row above and its last pixel equals the one above it in turn.
template <size_t Bpp>
__attribute__((target("sse4.1"))) bool leftIsUpLeft(__m128i left, const uint8_t* upLeft) {
    const __m128i same = _mm_cmpeq_epi8(_mm_packus_epi16(left, left), loadPixel(upLeft));
    constexpr int pixelBytes = (1 << Bpp) - 1;
    return (_mm_movemask_epi8(same) & pixelBytes) == pixelBytes;
}

// The block of eight pixels above, copied to out; returns its last pixel in 16-bit lanes.
template <size_t Bpp>
__attribute__((target("sse4.1"))) __m128i copyAbove(uint8_t* out, const uint8_t* above) {
    const auto at = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i first = at(above), second = at(above + 8 * Bpp - 16);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * Bpp - 16), second);
    return widen(_mm_srli_si128(second, 16 - Bpp));
}

// Blocks of eight pixels (four pairs) with one 16-byte load of each row per pair, widened by
// byte shuffles. A block of zero filtered bytes is its left pixel repeated under a level
// stretch of the row above, and a copy of the row above when its left pixel equals the one
// above that; any other block under a level stretch goes the cheaper way of Sub. (Decided per
// block, so that mixed content costs few mispredicted branches.) The last pixels, too close to
// the end for 16-byte loads, go through paethPairsFrom.
template <size_t Bpp>
__attribute__((target("sse4.1"))) size_t paethPixelsSse41(Row row) {
    if (row.n < 4) return 0;
    __m128i left = paethPixel<Bpp>(row, 0, _mm_setzero_si128());
    size_t i = Bpp;
    for (; i + 8 * Bpp + 16 <= row.n; i += 8 * Bpp) {
        const bool level = levelAbove<Bpp>(row.prev + i);
        if (zeroBlock<Bpp>(row.data + i)) {
            if (level) {
                repeatPixel<Bpp>(row.out + i, left);
                continue;
            }
            if (leftIsUpLeft<Bpp>(left, row.prev + i - Bpp)) {
                left = copyAbove<Bpp>(row.out + i, row.prev + i);
                continue;
            }
        }
        if (level) {
            for (size_t pair = 0; pair < 4; ++pair) left = subPair<Bpp>(row, i + 2 * Bpp * pair, left);
        } else {
            for (size_t pair = 0; pair < 4; ++pair) left = paethPairSse41<Bpp>(row, i + 2 * Bpp * pair, left);
        }
    }
    for (; i + 16 <= row.n; i += 2 * Bpp) left = paethPairSse41<Bpp>(row, i, left);
    return paethPairsFrom<Bpp>(row, i, left);
}

template <size_t Bpp>
size_t paethPixelsWith(Row row) {
    return row.kernels == WideKernels::sse41 ? paethPixelsSse41<Bpp>(row) : paethPixels<Bpp>(row);
}

}  // namespace

size_t paethPixelsWide(Row row) noexcept {
    if (row.bpp == 3) return paethPixelsWith<3>(row);
    if (row.bpp == 4) return paethPixelsWith<4>(row);
    return 0;
}

}  // namespace lumivex::png::rebuild

#endif  // __SSE2__
