#include "choose.hpp"

#include "estimate.hpp"
#include "layouts.hpp"
#include "policy.hpp"

#include "../framing.hpp"

#include <algorithm>

namespace lumivex::png::compact {
namespace {

// The file the candidate's best strategy is expected to make, judged by 8-bit
// RGB's sampled rows when its own sample was all its rows (a palette's rows are
// a third as long): the whole's exact size set against strips scaled up
// misjudged the layouts, as on document icons, whose strips fell a third short
// of their whole.
uint64_t expectedOnRows(const Candidate& candidate, const Sample& rgbRows, const Scratch& scratch) {
    if (candidate.sample.strips != 1 || rgbRows.strips == 1 || candidate.expected() == UINT64_MAX) {
        return candidate.expected();
    }
    const Estimate found = estimate(candidate.image, candidate.strategy(), rgbRows, scratch);
    return found.whole == UINT64_MAX ? UINT64_MAX : pngFileLength(candidate.layout, found.whole);
}

// Whether 8-bit RGB, judged by a coarse sample, comes within coarseRgbMargin of the others.
bool rgbMayWin(const Candidate* out, size_t count) {
    uint64_t smallest = UINT64_MAX;
    for (size_t i = 1; i < count; ++i) smallest = std::min(smallest, out[i].expected());
    return double(out[0].expected()) < double(smallest) * coarseRgbMargin;
}

// Whether every layout but 8-bit RGB was weighed on all its rows, its
// default-level stream kept.
bool othersInHand(const Candidate* out, size_t count) {
    for (size_t i = 1; i < count; ++i) {
        if (out[i].wholeStream.data == nullptr) return false;
    }
    return true;
}

// Weighs 8-bit RGB's one strategy again, by the usual sample.
void reweighRgb(Candidate* rgb, FilterStrategy strategy, const Scratch& scratch) {
    rgb->sample = sampleOf(rgb->image.height, rgb->image.rowStride + 1);
    for (Weighed& weighed : rgb->best) weighed = Weighed();
    rgb->unfilteredExpected = UINT64_MAX;
    Weighing again{rgb, strategy};
    weighAll(&again, 1, scratch);
}

// The sample a candidate is weighed on: all its rows where that pays, a
// coarser sample for 8-bit RGB beside a smaller layout.
Sample sampleFor(const CompactPlan& plan, const Image& image, size_t layoutCount, bool coarse) {
    const size_t lineBytes = image.rowStride + 1;
    const bool whole =
        layoutCount == 1 && plan.level == defaultLevel && worthWeighingWhole(image.height, lineBytes);
    if (whole) return wholeImage(image.height);
    return sampleOf(image.height, lineBytes, coarse ? besideSmallerLayoutStripBytes : stripTargetBytes);
}

// The weighings a candidate needs; returns how many were added to jobs.
size_t weighingsFor(const CompactPlan& plan, Candidate* candidate, size_t layoutCount, Weighing* jobs) {
    if (plan.strategy == FilterStrategy::adaptive) {
        // 8-bit RGB unfiltered holds the bytes of palette indices unfiltered three times
        // over, and has never come out smaller (nor on tiled pictures of 25 to 256
        // colours, where a palette's PLTE weighs most): its trial is spared.
        const bool paletteToo = layoutCount > 1 && candidate->layout.colourType == 2;
        jobs[0] = {candidate, quickStrategies[0]};
        if (paletteToo) return 1;
        jobs[1] = {candidate, quickStrategies[1]};
        return 2;
    }
    if (layoutCount > 1) {
        jobs[0] = {candidate, plan.strategy};
        return 1;
    }
    candidate->best[0].strategy = plan.strategy;  // nothing to choose
    return 0;
}

// The strongest level weighs the slow strategies for the layouts expected within
// strongestMargin of the best, but not for 8-bit RGB when the image has a smaller
// layout too: on the outside pictures that fit a palette or grey, 8-bit RGB never
// came out smallest, and its rows take three times as long to filter and weigh.
bool worthSlowStrategies(const Candidate& candidate, const Candidate& best, size_t layoutCount) {
    if (candidate.layout.colourType == 2 && layoutCount > 1) return false;
    return double(candidate.expected()) <= double(best.expected()) * strongestMargin;
}

// The palette layout expected smallest, or count when there is none. Only it
// weighs the slow strategies: the palette's orders differ only in the index
// each colour gets, and on the outside pictures the slow strategies of the
// other orders never changed a file, while they took a tenth of the time of
// a palette icon.
size_t likeliestPalette(const Candidate* candidates, size_t count) {
    size_t found = count;
    for (size_t i = 0; i < count; ++i) {
        if (candidates[i].layout.colourType != 3) continue;
        if (found == count || candidates[i].expected() < candidates[found].expected()) found = i;
    }
    return found;
}

}  // namespace

size_t weighCandidates(const CompactPlan& plan, const Scratch& scratch, Candidate out[maxLayouts]) {
    PngLayout layouts[maxLayouts];
    const size_t count = layoutsFor(plan, layouts);
    const bool coarseRgb = count > 1 && plan.level != DeflateLevel::strongest;
    Weighing jobs[2 * maxLayouts];
    size_t jobCount = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!pack(plan, layouts[i], &out[i])) return 0;
        out[i].sample = sampleFor(plan, out[i].image, count, i == 0 && coarseRgb);
        jobCount += weighingsFor(plan, &out[i], count, jobs + jobCount);
    }
    if (jobCount > 0) weighAll(jobs, jobCount, scratch);
    // Only at the default level is 8-bit RGB, judged by the coarse sample, given a
    // second look: at levels 1 and 9 the second look, made at the default level,
    // chose RGB where its file came out larger (up to 35 % on the rebuildable
    // set) and never where smaller.
    const bool rgbMayWinCoarsely = coarseRgb && plan.level == defaultLevel && jobCount > 0 &&
                                   out[0].sample.strips > 1 && rgbMayWin(out, count);
    if (rgbMayWinCoarsely && othersInHand(out, count)) {
        // The other layouts' files are known to the byte: 8-bit RGB's is made
        // too, and the smallest kept, which costs less than weighing RGB again.
        for (size_t i = 1; i < count; ++i) out[i].layoutExpected = out[i].expected();
        out[0].layoutExpected = 0;
        return count;
    }
    if (rgbMayWinCoarsely) reweighRgb(&out[0], jobs[0].strategy, scratch);
    // Only a layout expected to lose to 8-bit RGB (the first) is judged again.
    for (size_t i = 1; i < count; ++i) {
        const bool losing = out[i].expected() >= out[0].expected();
        out[i].layoutExpected = losing ? expectedOnRows(out[i], out[0].sample, scratch) : out[i].expected();
    }
    out[0].layoutExpected = out[0].expected();
    return count;
}

size_t chooseLayout(const Candidate* candidates, size_t count) {
    size_t chosen = 0;
    for (size_t i = 1; i < count; ++i) {
        if (candidates[i].layoutExpected < candidates[chosen].layoutExpected) chosen = i;
    }
    return chosen;
}

void takeSmallerWholeStream(Candidate* candidates, size_t count, Owned* best, size_t* length,
                            const PngLayout** layout) {
    for (size_t i = 0; i < count; ++i) {
        Candidate& candidate = candidates[i];
        if (candidate.wholeStream.data == nullptr) continue;
        if (pngFileLength(candidate.layout, candidate.wholeStreamLength) < pngFileLength(**layout, *length)) {
            *best = std::move(candidate.wholeStream);
            *length = candidate.wholeStreamLength;
            *layout = &candidate.layout;
        }
    }
}

void weighSlowStrategies(Candidate* candidates, size_t count, const Scratch& scratch) {
    size_t likeliest = 0;
    for (size_t i = 1; i < count; ++i) {
        if (candidates[i].expected() < candidates[likeliest].expected()) likeliest = i;
    }
    const size_t palette = likeliestPalette(candidates, count);
    for (size_t i = 0; i < count; ++i) {
        const bool otherOrder = candidates[i].layout.colourType == 3 && i != palette;
        if (!otherOrder && worthSlowStrategies(candidates[i], candidates[likeliest], count)) {
            weighSlowStrategies(&candidates[i], scratch);
        }
    }
}

void weighSlowStrategies(Candidate* candidate, const Scratch& scratch) {
    Weighing jobs[] = {{candidate, slowStrategies[0]}, {candidate, slowStrategies[1]}};
    weighAll(jobs, 2, scratch);
}

}  // namespace lumivex::png::compact
