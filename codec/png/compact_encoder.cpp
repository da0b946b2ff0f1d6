#include "compact_encoder.hpp"

#include "compact_candidates.hpp"
#include "compact_stream.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "framing.hpp"
#include "predictors.hpp"

#include "../share_tasks.hpp"

#include <algorithm>

namespace lumivex::png {
namespace {

// A large image's rows go in this many chunks to the two filtering threads.
constexpr size_t filterChunks = 8;

// Filters the image into out with a known `strategy`, a large image's rows in chunks
// shared out between two threads.
void filterOnTwoThreads(const Image& image, int strategy, uint8_t* out) {
    const size_t stride = image.rowStride;
    if (!worthTwoThreads(image.scanlineBytes(), stride + 1)) {
        filterImage(image.pixels, stride, image.height, image.bpp, strategy, out);
        return;
    }
    const RowParts chunks{std::min<size_t>(filterChunks, image.height), image.height, stride + 1};
    shareTasks(chunks.count, [&](size_t i, size_t) {
        filterImageRows(image.pixels, stride, chunks.firstRow(i), chunks.firstRow(i + 1), image.bpp, strategy,
                        out + chunks.start(i));
    });
}

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
    const DefaultMatching known{candidate.sampled, candidate.wholeStream.data, candidate.wholeStreamLength};
    *length = compressBest(level, rows, len, lineBytes, out->data, bound, scratch, known);
    // The level is known: the compressor could only have lacked its working memory.
    return *length == 0 ? CompactStatus::outOfMemory : CompactStatus::ok;
}

// Layouts whose estimate is this much above the best one's are not weighed
// further at the strongest level: they have never come out smaller.
constexpr double strongestMargin = 1.1;

// The strongest level deflates whole the likeliest (layout, strategy) pair
// and one other, each as one stream on a thread of its own (a stream cut for
// two threads loses the matches across the cut). Sampled strips at the default
// level underrate unfiltered rows, whose long repeats the strongest level
// finds best: when the likeliest pair is filtered, the other is the likeliest
// unfiltered one. Otherwise it is the runner-up, unless that is expected this
// much larger (it has then never come out smaller): the likeliest alone is
// deflated, in two pieces on two threads once its stream is expected this
// long, where the cut's few hundred bytes cost under 0.2 %.
struct Trial {
    const Candidate* candidate;
    int strategy;
    uint64_t expected;
};
constexpr size_t strongestTrials = 2;
constexpr double runnerUpMargin = 1.03, unfilteredMargin = 1.1;
constexpr uint64_t worthCutting = 128 * 1024;

size_t likeliestTrials(const Candidate* candidates, size_t count, Trial trials[strongestTrials]) {
    Trial all[2 * maxLayouts], unfiltered{nullptr, kNone, UINT64_MAX};
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const Candidate& candidate = candidates[i];
        all[found++] = {&candidate, candidate.strategy, candidate.expected};
        if (candidate.runnerUpExpected != UINT64_MAX) {
            all[found++] = {&candidate, candidate.runnerUp, candidate.runnerUpExpected};
        }
        if (candidate.unfilteredExpected < unfiltered.expected) unfiltered = {&candidate, kNone, candidate.unfilteredExpected};
    }
    const auto likelier = [](const Trial& a, const Trial& b) { return a.expected < b.expected; };
    std::partial_sort(all, all + std::min<size_t>(found, 2), all + found, likelier);
    trials[0] = all[0];
    if (all[0].strategy != kNone && unfiltered.candidate != nullptr &&
        double(unfiltered.expected) <= double(all[0].expected) * unfilteredMargin) {
        trials[1] = unfiltered;
        return 2;
    }
    if (found < 2 || double(all[1].expected) >= double(all[0].expected) * runnerUpMargin) return 1;
    trials[1] = all[1];
    return 2;
}

// Deflates each trial at `level`, the two trials whole on two threads, or a
// lone one in two pieces when worth it; keeps the smallest file if it beats
// *length's.
CompactStatus runTrials(const Trial* trials, size_t count, int level, Owned* best, size_t* length,
                        const PngLayout** layout) {
    Owned scanlines[strongestTrials], outputs[strongestTrials];
    size_t lengths[strongestTrials] = {}, caps[strongestTrials] = {};
    const bool cut = count == 1 && trials[0].expected >= worthCutting;
    for (size_t i = 0; i < count; ++i) {
        const Image& image = trials[i].candidate->image;
        const size_t len = image.scanlineBytes();
        caps[i] = cut ? streamCapacity(len, image.rowStride + 1) : zlibCompressBound(len);
        if (caps[i] == 0 || !scanlines[i].allocate(len) || !outputs[i].allocate(caps[i])) {
            return CompactStatus::outOfMemory;
        }
        filterOnTwoThreads(image, trials[i].strategy, scanlines[i].data);
    }
    if (cut) {
        const Image& image = trials[0].candidate->image;
        lengths[0] = compressMatching(level, scanlines[0].data, image.scanlineBytes(), image.rowStride + 1,
                                      outputs[0].data, caps[0]);
    } else {
        shareTasks(count, [&](size_t i, size_t) {
            const size_t len = trials[i].candidate->image.scanlineBytes();
            lengths[i] = compressZlib(level, scanlines[i].data, len, outputs[i].data, caps[i]);
        });
    }
    for (size_t i = 0; i < count; ++i) {
        if (lengths[i] == 0) return CompactStatus::outOfMemory;
        if (pngFileLength(trials[i].candidate->layout, lengths[i]) < pngFileLength(**layout, *length)) {
            *length = lengths[i];
            *best = std::move(outputs[i]);
            *layout = &trials[i].candidate->layout;
        }
    }
    return CompactStatus::ok;
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
    TrialRoom room;
    const size_t rgbLineBytes = size_t(plan.width) * 3 + 1;
    if (!room.make(size_t(plan.height) * rgbLineBytes, rgbLineBytes)) return CompactStatus::outOfMemory;
    Candidate candidates[maxLayouts];
    const size_t layoutCount = makeCandidates(plan, room.scratch, candidates);
    if (layoutCount == 0) return CompactStatus::outOfMemory;
    size_t chosen = 0;
    for (size_t i = 1; i < layoutCount; ++i) {
        if (candidates[i].expected < candidates[chosen].expected) chosen = i;
    }
    const bool strongest = plan.level == strongestDeflateLevel;
    // What the plan's level writes, chosen on the quick strategies; at the
    // strongest level that is the default level's file, the one to beat, so
    // that the strongest never writes a larger file than the default level.
    Owned bestStream;
    size_t bestLength = 0;
    const PngLayout* bestLayout = &candidates[chosen].layout;
    CompactStatus status = encodeWith(candidates[chosen],
                                      strongest ? defaultLevel : plan.level, room.scratch, &bestStream, &bestLength);
    if (status == CompactStatus::ok && strongest) {
        if (plan.strategy == adaptiveFilter) {
            const double cutoff = double(candidates[chosen].expected) * strongestMargin;
            for (size_t i = 0; i < layoutCount; ++i) {
                if (double(candidates[i].expected) <= cutoff) weighSlowStrategies(&candidates[i], room.scratch);
            }
        }
        Trial trials[strongestTrials];
        const size_t count = likeliestTrials(candidates, layoutCount, trials);
        status = runTrials(trials, count, plan.level, &bestStream, &bestLength, &bestLayout);
    }
    if (status != CompactStatus::ok) return status;
    stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

}  // namespace lumivex::png
