// One layout the writer may store an image in, with what its weighing found:
// the strategies expected smallest and, where the sample was the whole image,
// the rows they filtered and their default-level stream. Pure: no Python.
#pragma once

#include "rows.hpp"

#include "../filter_select.hpp"
#include "../owned.hpp"
#include "../reduce.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// 8-bit RGB, a palette (three orders at the strongest level), grey.
constexpr size_t maxLayouts = 5;

// A strategy weighed for a candidate, and the file it is expected to make
// (UINT64_MAX: not weighed). Expectations are of whole files (a palette's
// PLTE chunk counts), so that layouts compare.
struct Weighed {
    FilterStrategy strategy = FilterStrategy::adaptive;
    uint64_t expected = UINT64_MAX;
    Owned filtered;  // the whole image's rows filtered so, when the sample was all of them
};

struct Candidate {
    PngLayout layout;
    Owned packed;  // the rows in the layout (none for 8-bit RGB: the plan's pixels)
    Image image{};
    Sample sample{};  // the rows its strategies are weighed by
    Weighed best[3];  // the three strategies expected smallest, smallest first
    uint64_t unfilteredExpected = UINT64_MAX;  // when no filtering was weighed
    uint64_t sampled = 0;  // the best strategy's sample deflated at the default level (its size)
    // `best[0].expected`, or for a layout that may lose to 8-bit RGB, judged by RGB's
    // sampled rows; 0 for 8-bit RGB when its file is to be made and set against the others'.
    uint64_t layoutExpected = UINT64_MAX;
    // The best strategy's default-level stream, when its sample was the whole image.
    Owned wholeStream;
    size_t wholeStreamLength = 0;

    FilterStrategy strategy() const { return best[0].strategy; }
    uint64_t expected() const { return best[0].expected; }
    // The whole image's rows filtered by `strategy`, when the weighing kept them; else null.
    const uint8_t* filteredBy(FilterStrategy strategy) const {
        for (const Weighed& weighed : best) {
            if (weighed.strategy == strategy && weighed.expected != UINT64_MAX) return weighed.filtered.data;
        }
        return nullptr;
    }
};

}  // namespace lumivex::png::compact
