// Whole images filtered row by row: one filter type for every row, or a choice
// per row by the sum of absolute differences, by entropy or by distinct byte pairs.
#include "filter_select.hpp"

#include <climits>
#include <cmath>
#include <cstring>

namespace lumivex::png {

namespace {

// The tables the cost functions count in: zeroed once for the rows filtered
// together, and left zeroed by each call, which undoes only what its own bytes
// set. Clearing them whole for every row and filter type would write 9 KiB each
// time, far more than a narrow image's rows hold (a strip one pixel wide has
// two-byte scanlines).
struct CostTables {
    static constexpr size_t countTables = 4;  // see countBytes
    uint32_t counts[countTables][256] = {};
    uint64_t seenPairs[65536 / 64] = {};
};
constexpr size_t seenWords = sizeof(CostTables::seenPairs) / sizeof(uint64_t);

// Counts the row's bytes into the first table. A row at least as long as the
// table is counted into all four in turn, and they are then merged into the
// first (a step the compiler does sixteen bytes at a time): one table waited
// on each store to one count along a run of one value, and a check for runs
// mispredicted where each ended (a third of the time of choosing by entropy).
// A shorter row goes by runs, as a strip one pixel wide would not repay the merge.
void countBytes(const uint8_t* bytes, size_t n, CostTables& tables) {
    auto& counts = tables.counts;
    if (n < 256) {
        for (size_t i = 0; i < n;) {
            const uint8_t value = bytes[i];
            const size_t start = i;
            while (++i < n && bytes[i] == value) {
            }
            counts[0][value] += uint32_t(i - start);
        }
        return;
    }
    size_t i = 0;
    for (; i + CostTables::countTables <= n; i += CostTables::countTables) {
        for (size_t k = 0; k < CostTables::countTables; ++k) ++counts[k][bytes[i + k]];
    }
    for (; i < n; ++i) ++counts[0][bytes[i]];
    for (size_t k = 1; k < CostTables::countTables; ++k) {
        for (size_t value = 0; value < 256; ++value) counts[0][value] += counts[k][value];
        std::memset(counts[k], 0, sizeof counts[k]);
    }
}

// A filtered row's cost by entropy: its bytes' Shannon entropy times their count.
// Each value's term is added once, and its count cleared, walking the row's own
// bytes when it is shorter than the table and the table otherwise.
double entropyCost(const uint8_t* bytes, size_t n, CostTables& tables) {
    countBytes(bytes, n, tables);
    uint32_t* counts = tables.counts[0];
    double cost = 0;
    const auto addTerm = [&cost, n](uint32_t& count) {
        if (count != 0) cost -= count * std::log2(double(count) / double(n));
        count = 0;
    };
    if (n < 256) {
        for (size_t i = 0; i < n; ++i) addTerm(counts[bytes[i]]);
    } else {
        for (size_t value = 0; value < 256; ++value) addTerm(counts[value]);
    }
    return cost;
}

unsigned pairAt(const uint8_t* bytes, size_t i) { return unsigned(bytes[i - 1]) << 8 | bytes[i]; }

// A filtered row's cost by pairs: how many distinct pairs of neighbouring bytes it
// holds. The table is cleared word by word where the row touched it, or whole
// when the row is longer than the table.
double pairsCost(const uint8_t* bytes, size_t n, CostTables& tables) {
    uint64_t* seen = tables.seenPairs;
    uint32_t distinct = 0;  // counted whole: a sum in floating point waited on each add
    unsigned previous = UINT_MAX;  // a pair repeated at once is seen already (runs)
    for (size_t i = 1; i < n; ++i) {
        const unsigned pair = pairAt(bytes, i);
        if (pair == previous) continue;
        previous = pair;
        const uint64_t bit = uint64_t(1) << (pair & 63);
        distinct += (seen[pair >> 6] & bit) == 0;
        seen[pair >> 6] |= bit;
    }
    if (n <= seenWords) {
        for (size_t i = 1; i < n; ++i) seen[pairAt(bytes, i) >> 6] = 0;
    } else {
        std::memset(seen, 0, sizeof tables.seenPairs);
    }
    return double(distinct);
}

// Filters the row with each type in turn (into out), keeps the one of least
// cost and leaves its bytes in out.
template <typename Cost>
int filterRowByCost(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp, uint8_t* out, Cost cost,
                    CostTables& tables) {
    int best = 0;
    double bestCost = 0;
    for (int type = 0; type < filterTypeCount; ++type) {
        filterRow(type, row, prevRow, n, bpp, out);
        const double c = cost(out, n, tables);
        if (type == 0 || c < bestCost) {
            best = type;
            bestCost = c;
        }
    }
    if (best != filterTypeCount - 1) filterRow(best, row, prevRow, n, bpp, out);
    return best;
}

int chooseAndFilter(FilterStrategy strategy, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp, uint8_t* out,
                    CostTables& tables) {
    switch (strategy) {
        case FilterStrategy::adaptive: return filterRowAdaptive(row, prevRow, n, bpp, out);
        case FilterStrategy::entropy: return filterRowByCost(row, prevRow, n, bpp, out, entropyCost, tables);
        case FilterStrategy::pairs: return filterRowByCost(row, prevRow, n, bpp, out, pairsCost, tables);
        default: {
            const int type = static_cast<int>(strategy);
            filterRow(type, row, prevRow, n, bpp, out);
            return type;
        }
    }
}

}  // namespace

bool filterImage(const uint8_t* pixels, size_t rowStride, size_t height, size_t bpp, FilterStrategy strategy,
                 uint8_t* out) noexcept {
    return filterImageRows(pixels, rowStride, 0, height, bpp, strategy, out);
}

bool filterImageRows(const uint8_t* pixels, size_t rowStride, size_t firstRow, size_t endRow, size_t bpp,
                     FilterStrategy strategy, uint8_t* out) noexcept {
    if (!isKnownStrategy(strategy)) return false;
    const uint8_t* prevRow = firstRow == 0 ? nullptr : pixels + (firstRow - 1) * rowStride;
    CostTables tables;
    for (size_t y = firstRow; y < endRow; ++y, out += rowStride + 1) {
        const uint8_t* row = pixels + y * rowStride;
        out[0] = static_cast<uint8_t>(chooseAndFilter(strategy, row, prevRow, rowStride, bpp, out + 1, tables));
        prevRow = row;
    }
    return true;
}

}  // namespace lumivex::png
