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

// The strongest level's trials. The default level's sampled strips misjudge
// the pairs of layout and strategy that come close: unfiltered rows and
// palettes, whose repeats reach furthest, most of all. So every pair expected
// within strongestMargin of the best is weighed again on the whole image by a
// quick deflate, two at once, and the trials follow that. A long stream
// (worthCutting; less for 8-bit RGB, three times a palette's bytes and the
// slow one to deflate) is deflated in two pieces on two threads, where the
// cut costs a few tenths of a percent, and is the likeliest pair alone: that
// halves the wait. A shorter one goes whole on a thread of its own, beside
// the next pair when that is expected within runnerUpMargin.
struct Trial {
    const Candidate* candidate = nullptr;
    int strategy = kNone;
    uint64_t expected = UINT64_MAX;
    Owned rows;  // its whole image filtered, once weighed whole
};
constexpr size_t strongestTrials = 2, maxWeighedWhole = 6;
// Level 7 judges the pairs nearest to what level 11 then makes of them. Level 9
// put unfiltered rows ahead more often: 8-15 % smaller on some icons, but
// up to 6 % larger on others and slower (on 122 outside pictures it missed
// the bar of a rival optimiser on 9 against 7's 3); levels 1 to 6 miss the
// long repeats of unfiltered rows.
constexpr int wholeWeighLevel = 7;
constexpr double runnerUpMargin = 1.03;
constexpr uint64_t worthCutting = 128 * 1024, worthCuttingRgb = 32 * 1024;
// Above this many scanline bytes the pairs keep their sampled estimates: the
// weighing holds every pair's whole image filtered (up to six), and two streams.
constexpr size_t maxWeighedBytes = size_t(16) << 20;

// Rows expected to deflate to under this many bits a byte repeat so much that
// the deepest level pays: alone, in two pieces, it takes about the time of one
// whole stream at the strongest level and writes a few to 25 % less.
constexpr double deepBitsPerByte = 0.05;
bool veryRepetitive(const Trial& trial) {
    return double(trial.expected) * 8 < double(trial.candidate->image.scanlineBytes()) * deepBitsPerByte;
}

bool likelier(const Trial& a, const Trial& b) { return a.expected < b.expected; }

bool worthCut(const Trial& trial) {
    const bool rgb = trial.candidate->layout.colourType == 2;
    return trial.expected >= (rgb ? worthCuttingRgb : worthCutting) || veryRepetitive(trial);
}

// The pairs of layout and strategy expected within strongestMargin of the best, likeliest first.
size_t closePairs(const Candidate* candidates, size_t count, Trial pairs[maxWeighedWhole]) {
    Trial all[3 * maxLayouts];
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const Candidate& candidate = candidates[i];
        const auto add = [&](int strategy, uint64_t expected) {
            all[found].candidate = &candidate;
            all[found].strategy = strategy;
            all[found++].expected = expected;
        };
        add(candidate.strategy, candidate.expected);
        if (candidate.runnerUpExpected != UINT64_MAX) add(candidate.runnerUp, candidate.runnerUpExpected);
        if (candidate.unfilteredExpected != UINT64_MAX && candidate.strategy != kNone && candidate.runnerUp != kNone) {
            add(kNone, candidate.unfilteredExpected);
        }
    }
    std::sort(all, all + found, likelier);
    // The likeliest unfiltered pair is weighed however far its sample put it.
    const double cutoff = double(all[0].expected) * strongestMargin;
    size_t kept = 0;
    bool unfiltered = false;
    for (size_t i = 0; i < found && kept < maxWeighedWhole; ++i) {
        const bool first = all[i].strategy == kNone && !unfiltered;
        if (double(all[i].expected) > cutoff && !first) continue;
        unfiltered = unfiltered || all[i].strategy == kNone;
        pairs[kept++] = std::move(all[i]);
    }
    return kept;
}

// Weighs each pair again by its whole image's file at wholeWeighLevel, keeping
// its filtered rows for the trial; false when memory ran out.
bool weighWhole(Trial* pairs, size_t count) {
    bool fine = true;
    shareTasks(count, [&](size_t i, size_t) {
        const Image& image = pairs[i].candidate->image;
        const size_t len = image.scanlineBytes(), cap = zlibCompressBound(len);
        Owned& filtered = pairs[i].rows;
        Owned stream;
        if (cap == 0 || !filtered.allocate(len) || !stream.allocate(cap)) {
            fine = false;
            return;
        }
        filterImage(image.pixels, image.rowStride, image.height, image.bpp, pairs[i].strategy, filtered.data);
        const size_t size = compressZlib(wholeWeighLevel, filtered.data, len, stream.data, cap);
        if (size == 0) fine = false;
        pairs[i].expected = pngFileLength(pairs[i].candidate->layout, size);
    });
    return fine;
}

// The trials to run, likeliest first; 0 when memory ran out.
size_t likeliestTrials(const Candidate* candidates, size_t count, Trial trials[strongestTrials]) {
    Trial pairs[maxWeighedWhole];
    const size_t weighed = closePairs(candidates, count, pairs);
    size_t largest = 0;
    for (size_t i = 0; i < weighed; ++i) largest = std::max(largest, pairs[i].candidate->image.scanlineBytes());
    if (weighed > 1 && largest <= maxWeighedBytes) {
        if (!weighWhole(pairs, weighed)) return 0;
        std::sort(pairs, pairs + weighed, likelier);
    }
    trials[0] = std::move(pairs[0]);
    const bool second = weighed > 1 && !worthCut(trials[0]) &&
                        double(pairs[1].expected) <= double(trials[0].expected) * runnerUpMargin;
    if (!second) return 1;
    trials[1] = std::move(pairs[1]);
    return 2;
}

// Deflates each trial at `level`, the two trials whole on two threads, or a
// lone one in two pieces when worth it; keeps the smallest file if it beats
// *length's.
CompactStatus runTrials(Trial* trials, size_t count, int level, Owned* best, size_t* length,
                        const PngLayout** layout) {
    Owned outputs[strongestTrials];
    const uint8_t* scanlines[strongestTrials] = {};
    size_t lengths[strongestTrials] = {}, caps[strongestTrials] = {};
    const bool cut = count == 1 && worthCut(trials[0]);
    for (size_t i = 0; i < count; ++i) {
        const Image& image = trials[i].candidate->image;
        const size_t len = image.scanlineBytes();
        caps[i] = cut ? streamCapacity(len, image.rowStride + 1) : zlibCompressBound(len);
        if (caps[i] == 0 || !outputs[i].allocate(caps[i])) return CompactStatus::outOfMemory;
        if (trials[i].rows.data == nullptr) {
            if (!trials[i].rows.allocate(len)) return CompactStatus::outOfMemory;
            filterOnTwoThreads(image, trials[i].strategy, trials[i].rows.data);
        }
        scanlines[i] = trials[i].rows.data;
    }
    if (cut) {
        const Image& image = trials[0].candidate->image;
        if (veryRepetitive(trials[0]) && worthTwoThreads(image.scanlineBytes(), image.rowStride + 1)) {
            level = deepestDeflateLevel;
        }
        lengths[0] = compressMatching(level, scanlines[0], image.scanlineBytes(), image.rowStride + 1,
                                      outputs[0].data, caps[0]);
    } else {
        shareTasks(count, [&](size_t i, size_t) {
            const size_t len = trials[i].candidate->image.scanlineBytes();
            lengths[i] = compressZlib(level, scanlines[i], len, outputs[i].data, caps[i]);
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
        status = count == 0 ? CompactStatus::outOfMemory
                            : runTrials(trials, count, plan.level, &bestStream, &bestLength, &bestLayout);
    }
    if (status != CompactStatus::ok) return status;
    stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

}  // namespace lumivex::png
