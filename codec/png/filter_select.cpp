#include "filter_select.hpp"

#include "predictors.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivex::png {
namespace {

// The three neighbours of byte i; zero before the row's start and above the first row.
struct Neighbours {
    int left, up, upLeft;
};

Neighbours neighboursAt(const uint8_t* row, const uint8_t* prevRow, size_t i, size_t bpp) {
    const bool hasLeft = i >= bpp;
    return {hasLeft ? row[i - bpp] : 0, prevRow ? prevRow[i] : 0, prevRow && hasLeft ? prevRow[i - bpp] : 0};
}

uint8_t filteredByte(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t i, size_t bpp) {
    const Neighbours nb = neighboursAt(row, prevRow, i, bpp);
    return static_cast<uint8_t>(row[i] - predict(filterType, nb.left, nb.up, nb.upLeft));
}

// A filtered byte read as signed: its distance from zero.
unsigned signedMagnitude(uint8_t filtered) { return filtered < 128 ? filtered : 256u - filtered; }

void filterScalarRange(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t start, size_t end,
                       size_t bpp, uint8_t* out) {
    for (size_t i = start; i < end; ++i) out[i] = filteredByte(filterType, row, prevRow, i, bpp);
}

void addCostsScalarRange(const uint8_t* row, const uint8_t* prevRow, size_t start, size_t end, size_t bpp,
                         uint64_t costs[filterTypeCount]) {
    for (size_t i = start; i < end; ++i)
        for (int t = 0; t < filterTypeCount; ++t) costs[t] += signedMagnitude(filteredByte(t, row, prevRow, i, bpp));
}

int cheapestType(const uint64_t costs[filterTypeCount]) {
    int best = 0;
    for (int t = 1; t < filterTypeCount; ++t)
        if (costs[t] < costs[best]) best = t;
    return best;
}

#if defined(__SSE2__)

constexpr size_t kLanes = 16;

// 16 bytes from position i on, with their neighbours. Vector code starts at i >= bpp,
// so every left neighbour lies inside the row.
struct Window {
    __m128i x, left, up, upLeft;
};

Window loadWindow(const uint8_t* row, const uint8_t* prevRow, size_t i, size_t bpp) {
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i zero = _mm_setzero_si128();
    return {load(row + i), load(row + i - bpp), prevRow ? load(prevRow + i) : zero,
            prevRow ? load(prevRow + i - bpp) : zero};
}

__m128i select(__m128i mask, __m128i ifSet, __m128i ifClear) {
    return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

__m128i absoluteDifference(__m128i x, __m128i y) { return _mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x)); }

// x <= y on unsigned lanes.
__m128i lessOrEqual(__m128i x, __m128i y) { return _mm_cmpeq_epi8(_mm_min_epu8(x, y), x); }

// Paeth on sixteen 8-bit lanes. pa = |up - upLeft| and pb = |left - upLeft| fit a byte;
// pc = |(up - upLeft) + (left - upLeft)| is pa + pb when the two differences share a
// sign and |pa - pb| otherwise. Saturating the sum at 255 keeps every comparison the
// scalar predictor makes: a saturated pc is still >= pa and >= pb, as the true one is.
__m128i paethPredict(const Window& w) {
    const __m128i pa = absoluteDifference(w.up, w.upLeft);
    const __m128i pb = absoluteDifference(w.left, w.upLeft);
    const __m128i upAtLeast = _mm_cmpeq_epi8(_mm_max_epu8(w.up, w.upLeft), w.up);
    const __m128i leftAtLeast = _mm_cmpeq_epi8(_mm_max_epu8(w.left, w.upLeft), w.left);
    const __m128i signsDiffer = _mm_xor_si128(upAtLeast, leftAtLeast);
    const __m128i pc = select(signsDiffer, absoluteDifference(pa, pb), _mm_adds_epu8(pa, pb));
    const __m128i takeLeft = _mm_and_si128(lessOrEqual(pa, pb), lessOrEqual(pa, pc));
    return select(takeLeft, w.left, select(lessOrEqual(pb, pc), w.up, w.upLeft));
}

// floor((left + up) / 2): the rounding-up average minus the dropped low bit.
__m128i averagePredict(const Window& w) {
    const __m128i oddSum = _mm_and_si128(_mm_xor_si128(w.left, w.up), _mm_set1_epi8(1));
    return _mm_sub_epi8(_mm_avg_epu8(w.left, w.up), oddSum);
}

__m128i filterVector(int filterType, const Window& w) {
    switch (filterType) {
        case kSub: return _mm_sub_epi8(w.x, w.left);
        case kUp: return _mm_sub_epi8(w.x, w.up);
        case kAverage: return _mm_sub_epi8(w.x, averagePredict(w));
        case kPaeth: return _mm_sub_epi8(w.x, paethPredict(w));
        default: return w.x;
    }
}

// Two 64-bit partial sums of the signed magnitudes of the lanes set in `counted`.
__m128i magnitudeSums(__m128i filtered, __m128i counted) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i magnitude = _mm_min_epu8(filtered, _mm_sub_epi8(zero, filtered));
    return _mm_sad_epu8(_mm_and_si128(magnitude, counted), zero);
}

// Adds the window's bytes, those in the lanes set in `counted`, to each filter type's sums.
// Inlined, so that the row's whole vectors, counted in every lane, pay no mask.
__attribute__((always_inline)) inline void addCosts(const Window& w, __m128i counted, __m128i sums[filterTypeCount]) {
    sums[kNone] = _mm_add_epi64(sums[kNone], magnitudeSums(w.x, counted));
    sums[kSub] = _mm_add_epi64(sums[kSub], magnitudeSums(_mm_sub_epi8(w.x, w.left), counted));
    sums[kUp] = _mm_add_epi64(sums[kUp], magnitudeSums(_mm_sub_epi8(w.x, w.up), counted));
    sums[kAverage] = _mm_add_epi64(sums[kAverage], magnitudeSums(_mm_sub_epi8(w.x, averagePredict(w)), counted));
    sums[kPaeth] = _mm_add_epi64(sums[kPaeth], magnitudeSums(_mm_sub_epi8(w.x, paethPredict(w)), counted));
}

uint64_t horizontalSum(__m128i sums) {
    uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sums);
    return halves[0] + halves[1];
}

// Bytes [0, head) have no left neighbour and go one at a time, as do [vectorEnd, n);
// [head, vectorEnd) goes sixteen at a time.
size_t headEnd(size_t n, size_t bpp) { return n < bpp ? n : bpp; }
size_t vectorEnd(size_t n, size_t bpp) {
    return n >= bpp + kLanes ? bpp + (n - bpp) / kLanes * kLanes : headEnd(n, bpp);
}
// The bytes past vectorEnd go as the last sixteen of the row, loaded again,
// where the row has that many past its first pixel: one at a time they took a
// fifth of the time of choosing a filter for a 512-pixel RGB row.
bool tailInVector(size_t n, size_t bpp, size_t end) { return end < n && n >= bpp + kLanes; }

#endif

}  // namespace

bool filterRowScalar(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                     uint8_t* out) noexcept {
    if (!isKnownFilter(filterType)) return false;
    filterScalarRange(filterType, row, prevRow, 0, n, bpp, out);
    return true;
}

void filterCostsScalar(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                       uint64_t costs[filterTypeCount]) noexcept {
    for (int t = 0; t < filterTypeCount; ++t) costs[t] = 0;
    addCostsScalarRange(row, prevRow, 0, n, bpp, costs);
}

int filterRowAdaptiveScalar(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                            uint8_t* out) noexcept {
    uint64_t costs[filterTypeCount];
    filterCostsScalar(row, prevRow, n, bpp, costs);
    const int best = cheapestType(costs);
    filterRowScalar(best, row, prevRow, n, bpp, out);
    return best;
}

#if defined(__SSE2__)

bool filterRow(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
               uint8_t* out) noexcept {
    if (!isKnownFilter(filterType)) return false;
    const size_t head = headEnd(n, bpp);
    const size_t end = vectorEnd(n, bpp);
    filterScalarRange(filterType, row, prevRow, 0, head, bpp, out);
    const auto filterAt = [&](size_t i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), filterVector(filterType, loadWindow(row, prevRow, i, bpp)));
    };
    for (size_t i = head; i < end; i += kLanes) filterAt(i);
    if (tailInVector(n, bpp, end)) {
        filterAt(n - kLanes);  // rewrites some bytes with the same values
    } else {
        filterScalarRange(filterType, row, prevRow, end, n, bpp, out);
    }
    return true;
}

void filterCosts(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                 uint64_t costs[filterTypeCount]) noexcept {
    const size_t head = headEnd(n, bpp);
    const size_t end = vectorEnd(n, bpp);
    __m128i sums[filterTypeCount];
    for (auto& s : sums) s = _mm_setzero_si128();
    const __m128i everyLane = _mm_set1_epi8(-1);
    for (size_t i = head; i < end; i += kLanes) addCosts(loadWindow(row, prevRow, i, bpp), everyLane, sums);
    const bool tailInside = tailInVector(n, bpp, end);
    if (tailInside) {
        // Only the lanes from `end` on: the rest were counted above.
        const size_t last = n - kLanes;
        const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i fresh = _mm_cmpgt_epi8(lane, _mm_set1_epi8(static_cast<char>(end - last - 1)));
        addCosts(loadWindow(row, prevRow, last, bpp), fresh, sums);
    }
    for (int t = 0; t < filterTypeCount; ++t) costs[t] = horizontalSum(sums[t]);
    addCostsScalarRange(row, prevRow, 0, head, bpp, costs);
    if (!tailInside) addCostsScalarRange(row, prevRow, end, n, bpp, costs);
}

#else

bool filterRow(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
               uint8_t* out) noexcept {
    return filterRowScalar(filterType, row, prevRow, n, bpp, out);
}

void filterCosts(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                 uint64_t costs[filterTypeCount]) noexcept {
    filterCostsScalar(row, prevRow, n, bpp, costs);
}

#endif

int filterRowAdaptive(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp, uint8_t* out) noexcept {
    uint64_t costs[filterTypeCount];
    filterCosts(row, prevRow, n, bpp, costs);
    const int best = cheapestType(costs);
    filterRow(best, row, prevRow, n, bpp, out);
    return best;
}

}  // namespace lumivex::png
