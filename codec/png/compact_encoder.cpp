#include "compact_encoder.hpp"

#include "compact_candidates.hpp"
#include "compact_stream.hpp"
#include "compact_trials.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "framing.hpp"
#include "predictors.hpp"

namespace lumivex::png {
namespace {

// Room for trial compressions of any layout's strips and small images (8-bit
// RGB's rows are the longest), one area for each of two threads.
struct TrialRoom {
    Owned memory;
    Scratch scratch{nullptr, 0};
    bool make(size_t len, size_t lineBytes) {
        const size_t cap = scratchBytes(len, lineBytes);
        if (cap == 0 || cap > SIZE_MAX / 2 || !memory.allocate(cap * 2)) return false;
        scratch = {memory.data, cap};
        return true;
    }
};

// A candidate's whole image filtered by its best strategy and deflated at `level` into a new buffer.
CompactStatus encodeWith(const Candidate& candidate, int level, const Scratch& scratch, Owned* out,
                         size_t* length) {
    const Image& image = candidate.image;
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride + 1;
    const size_t bound = streamCapacity(len, lineBytes);
    if (bound == 0 || !out->allocate(bound)) return CompactStatus::outOfMemory;
    // The weighing may have filtered the whole image already.
    Owned scanlines;
    const uint8_t* rows = candidate.wholeFiltered.data;
    if (rows == nullptr) {
        if (!scanlines.allocate(len)) return CompactStatus::outOfMemory;
        filterOnTwoThreads(image, candidate.strategy, scanlines.data);
        rows = scanlines.data;
    }
    const DefaultMatching known{candidate.sampled, candidate.sample.bytes(lineBytes), candidate.wholeStream.data,
                                candidate.wholeStreamLength};
    *length = compressBest(level, rows, len, lineBytes, out->data, bound, scratch, known);
    // The level is known: the compressor could only have lacked its working memory.
    return *length == 0 ? CompactStatus::outOfMemory : CompactStatus::ok;
}

// The strongest level weighs the slow strategies for the layouts expected within
// strongestMargin of the best, but not for 8-bit RGB when the image has a smaller
// layout too: on the outside pictures that fit a palette or grey, 8-bit RGB never
// came out smallest, and its rows take three times as long to filter and weigh.
bool worthSlowStrategies(const Candidate& candidate, const Candidate& best, size_t layoutCount) {
    if (candidate.layout.colourType == 2 && layoutCount > 1) return false;
    return double(candidate.expected) <= double(best.expected) * strongestMargin;
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
        if (found == count || candidates[i].expected < candidates[found].expected) found = i;
    }
    return found;
}

// A layout chosen by sampled estimates can come out larger than another whose
// whole default-level stream its weighing made and kept (a palette's rows,
// a third as long, are often weighed whole where 8-bit RGB's are sampled):
// the smaller file is kept.
void takeSmallerWhole(Candidate* candidates, size_t count, Owned* best, size_t* length, const PngLayout** layout) {
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

}  // namespace

CompactStatus checkCompactPlan(const CompactPlan& plan) noexcept {
    const bool knownLevel = (plan.level >= minDeflateLevel && plan.level <= maxDeflateLevel) ||
                            plan.level == strongestDeflateLevel;
    if (!knownLevel) return CompactStatus::unknownLevel;
    if (plan.strategy != adaptiveFilter && !isKnownFilter(plan.strategy)) return CompactStatus::unknownFilter;
    return CompactStatus::ok;
}

CompactStream::~CompactStream() { std::free(data_); }

void CompactStream::adopt(uint8_t* data, size_t length, const PngLayout& layout) noexcept {
    std::free(data_);
    data_ = data;
    length_ = length;
    layout_ = layout;
}

CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept {
    const bool strongest = plan.level == strongestDeflateLevel;
    if (strongest) {
        // The file to beat is the default level's own, made as that level makes
        // it, so that the strongest never writes a larger one: its own weighing
        // samples other rows and weighs more layouts, and its first choice at the
        // default level came out larger on a palette picture (by 14 bytes in
        // 41 KB, where zlib's level 9, the strongest without libdeflate, then
        // found nothing smaller).
        CompactPlan atDefault = plan;
        atDefault.level = defaultLevel;
        const CompactStatus status = encodeCompactStream(atDefault, stream);
        if (status != CompactStatus::ok) return status;
    }
    TrialRoom room;
    const size_t rgbLineBytes = size_t(plan.width) * 3 + 1;
    if (!room.make(size_t(plan.height) * rgbLineBytes, rgbLineBytes)) return CompactStatus::outOfMemory;
    Candidate candidates[maxLayouts];
    const size_t layoutCount = makeCandidates(plan, room.scratch, candidates);
    if (layoutCount == 0) return CompactStatus::outOfMemory;
    // Below the strongest level, the layout written is judged by rows all
    // layouts share; the strongest level's weighing starts from the one its
    // own sample expects smallest.
    size_t chosen = 0, likeliest = 0;
    for (size_t i = 1; i < layoutCount; ++i) {
        if (candidates[i].layoutExpected < candidates[chosen].layoutExpected) chosen = i;
        if (candidates[i].expected < candidates[likeliest].expected) likeliest = i;
    }
    if (!strongest) {
        Owned bestStream;
        size_t bestLength = 0;
        const PngLayout* bestLayout = &candidates[chosen].layout;
        const CompactStatus status = encodeWith(candidates[chosen], plan.level, room.scratch, &bestStream, &bestLength);
        if (status != CompactStatus::ok) return status;
        if (plan.level == defaultLevel) takeSmallerWhole(candidates, layoutCount, &bestStream, &bestLength, &bestLayout);
        stream->adopt(bestStream.release(), bestLength, *bestLayout);
        return CompactStatus::ok;
    }
    if (plan.strategy == adaptiveFilter) {
        const size_t palette = likeliestPalette(candidates, layoutCount);
        for (size_t i = 0; i < layoutCount; ++i) {
            const bool otherOrder = candidates[i].layout.colourType == 3 && i != palette;
            if (!otherOrder && worthSlowStrategies(candidates[i], candidates[likeliest], layoutCount)) {
                weighSlowStrategies(&candidates[i], room.scratch);
            }
        }
    }
    // A trial replaces the default level's file only where smaller.
    const PngLayout defaultLayout = stream->layout();
    Owned bestStream;
    size_t bestLength = stream->length();
    const PngLayout* bestLayout = &defaultLayout;
    const CompactStatus status =
        runStrongestTrials(candidates, layoutCount, plan.level, &bestStream, &bestLength, &bestLayout);
    if (status != CompactStatus::ok) return status;
    if (bestStream.data != nullptr) stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

}  // namespace lumivex::png
