#include "encoder.hpp"

#include "choose.hpp"
#include "policy.hpp"
#include "stream.hpp"
#include "trials.hpp"

namespace lumivex::png::compact {
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
CompactStatus filterAndDeflate(const Candidate& candidate, DeflateLevel level, const Scratch& scratch, Owned* out,
                               size_t* length) {
    const Image& image = candidate.image;
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride + 1;
    const size_t bound = streamCapacity(len, lineBytes);
    if (bound == 0 || !out->allocate(bound)) return CompactStatus::outOfMemory;
    // The weighing may have filtered the whole image already.
    Owned scanlines;
    const uint8_t* rows = candidate.best[0].filtered.data;
    if (rows == nullptr) {
        if (!scanlines.allocate(len)) return CompactStatus::outOfMemory;
        filterOnTwoThreads(image, candidate.strategy(), scanlines.data);
        rows = scanlines.data;
    }
    const DefaultMatching known{candidate.sampled, candidate.sample.bytes(lineBytes), candidate.wholeStream.data,
                                candidate.wholeStreamLength};
    *length = compressBest(level, rows, len, lineBytes, out->data, bound, scratch, known);
    // The level is known: the compressor could only have lacked its working memory.
    return *length == 0 ? CompactStatus::outOfMemory : CompactStatus::ok;
}

// Below the strongest level: the chosen layout's stream, or at the default
// level a smaller one already in hand.
CompactStatus encodeChosen(const CompactPlan& plan, Candidate* candidates, size_t count, const Scratch& scratch,
                           CompactStream* stream) {
    const Candidate& chosen = candidates[chooseLayout(candidates, count)];
    Owned bestStream;
    size_t bestLength = 0;
    const PngLayout* bestLayout = &chosen.layout;
    const CompactStatus status = filterAndDeflate(chosen, plan.level, scratch, &bestStream, &bestLength);
    if (status != CompactStatus::ok) return status;
    if (plan.level == defaultLevel) takeSmallerWholeStream(candidates, count, &bestStream, &bestLength, &bestLayout);
    stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

// The strongest level: trials that replace the default level's file in *stream only where smaller.
CompactStatus encodeStrongest(const CompactPlan& plan, Candidate* candidates, size_t count, const Scratch& scratch,
                              CompactStream* stream) {
    if (plan.strategy == FilterStrategy::adaptive) weighSlowStrategies(candidates, count, scratch);
    const PngLayout defaultLayout = stream->layout();
    Owned bestStream;
    size_t bestLength = stream->length();
    const PngLayout* bestLayout = &defaultLayout;
    const CompactStatus status =
        runStrongestTrials(candidates, count, plan.level, &bestStream, &bestLength, &bestLayout);
    if (status != CompactStatus::ok) return status;
    if (bestStream.data != nullptr) stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

}  // namespace

CompactStatus checkCompactPlan(const CompactPlan& plan) noexcept {
    const int level = static_cast<int>(plan.level);
    if (!((level >= 1 && level <= 9) || plan.level == DeflateLevel::strongest)) return CompactStatus::unknownLevel;
    if (!isKnownStrategy(plan.strategy) || plan.strategy > FilterStrategy::adaptive) {
        return CompactStatus::unknownFilter;
    }
    return CompactStatus::ok;
}

CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept {
    const bool strongest = plan.level == DeflateLevel::strongest;
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
    const size_t count = weighCandidates(plan, room.scratch, candidates);
    if (count == 0) return CompactStatus::outOfMemory;
    return strongest ? encodeStrongest(plan, candidates, count, room.scratch, stream)
                     : encodeChosen(plan, candidates, count, room.scratch, stream);
}

}  // namespace lumivex::png::compact
