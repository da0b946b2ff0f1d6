// The compact encoder's candidates: every layout that holds an image exactly,
// its rows packed, and the filter strategies weighed for it by a default-level
// deflate of sampled strips. Pure: no Python; the work of a large image is
// shared between the calling thread and one helper.
#pragma once

#include "compact_plan.hpp"
#include "compact_stream.hpp"
#include "filter_select.hpp"
#include "owned.hpp"
#include "reduce.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace lumivex::png {

// Rows of one layout: `pixels` holds height rows of rowStride bytes.
struct Image {
    const uint8_t* pixels;
    size_t rowStride;
    uint32_t height;
    size_t bpp;  // the filters' distance to the left neighbour
    size_t scanlineBytes() const { return size_t(height) * (rowStride + 1); }
};

// One layout the plan's image can be stored in, with the strategies weighed
// for it: the one expected smallest, and the next two. Expectations are of
// whole files (a palette's PLTE chunk counts), so that layouts compare.
struct Candidate {
    PngLayout layout;
    Owned packed;  // the rows in the layout (none for 8-bit RGB: the plan's pixels)
    Image image{};
    Sample sample{};  // the rows its strategies are weighed by
    int strategy = adaptiveFilter, runnerUp = adaptiveFilter, third = adaptiveFilter;
    uint64_t expected = UINT64_MAX, runnerUpExpected = UINT64_MAX, thirdExpected = UINT64_MAX;
    uint64_t unfilteredExpected = UINT64_MAX;  // when no filtering was weighed
    uint64_t sampled = 0;  // the best strategy's sample deflated at the default level (its size)
    // `expected`, or for a layout that may lose to 8-bit RGB, judged by RGB's sampled
    // rows; 0 for 8-bit RGB when its file is to be made and set against the others' streams.
    uint64_t layoutExpected = UINT64_MAX;
    // When that sample is the whole image: its rows filtered by the best strategy and
    // their default-level stream (else empty), and the rows filtered by the next two.
    Owned wholeFiltered, wholeStream;
    size_t wholeStreamLength = 0;
    Owned runnerUpFiltered, thirdFiltered;

    // The whole image's rows filtered by `strategy`, when the weighing kept them; else null.
    const uint8_t* filteredBy(int strategy) const {
        if (strategy == this->strategy) return wholeFiltered.data;
        if (strategy == runnerUp) return runnerUpFiltered.data;
        return strategy == third ? thirdFiltered.data : nullptr;
    }
};

constexpr size_t maxLayouts = 5;  // 8-bit RGB, a palette (three orders at the strongest level), grey

// The candidates for a checked plan, 8-bit RGB first, each weighed with the
// strategies its level and filter choice call for (none for a single layout
// and filter type: nothing to choose). Returns how many, or 0 when memory ran out.
size_t makeCandidates(const CompactPlan& plan, const Scratch& scratch, Candidate out[maxLayouts]);

// The strongest level also weighs the choosing strategies that are slower to run.
void weighSlowStrategies(Candidate* candidate, const Scratch& scratch);

// Filters the image into out with a known `strategy`, a large image's rows in
// chunks shared out between two threads.
void filterOnTwoThreads(const Image& image, int strategy, uint8_t* out);

}  // namespace lumivex::png
