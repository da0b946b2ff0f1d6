#include "compact_encoder.hpp"

#include "compact_stream.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "predictors.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace lumivex::png {
namespace {

// Rows of one layout: `rows` holds height rows of rowStride bytes.
struct Image {
    const uint8_t* pixels;
    size_t rowStride;
    uint32_t height;
    size_t bpp;  // the filters' distance to the left neighbour
    size_t scanlineBytes() const { return size_t(height) * (rowStride + 1); }
};

// Memory from malloc, freed with the owner.
struct Owned {
    uint8_t* data = nullptr;
    Owned() = default;
    Owned(Owned&& other) noexcept : data(std::exchange(other.data, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(data, other.data);
        return *this;
    }
    ~Owned() { std::free(data); }
    bool allocate(size_t size) { return (data = static_cast<uint8_t*>(std::malloc(std::max<size_t>(size, 1)))); }
    uint8_t* release() { return std::exchange(data, nullptr); }
};

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

// What a default-level deflate is expected to make of the image filtered by
// `strategy`: its sampled strips filtered (each against the row above it, as
// in the whole image) and deflated, scaled up to the whole, so that layouts of
// different row lengths compare. Only the strips are filtered.
struct Estimate {
    uint64_t whole = UINT64_MAX;
    uint64_t sampled = 0;  // the strips' own deflated size, as the deflate policy samples it
};

Estimate estimate(const Image& image, int strategy, const Scratch& scratch) {
    const Sample sample = sampleOf(image.height, image.rowStride + 1);
    const size_t lineBytes = image.rowStride + 1, stripBytes = sample.stripRows * lineBytes;
    Owned strips;
    if (!strips.allocate(2 * stripBytes)) return {};
    uint64_t sizes[sampleStrips] = {0};
    shareTasks(sample.strips, [&](size_t strip, size_t worker) {
        uint8_t* filtered = strips.data + worker * stripBytes;
        const size_t first = sample.firstRow(strip);
        filterImageRows(image.pixels, image.rowStride, first, first + sample.stripRows, image.bpp, strategy,
                        filtered);
        sizes[strip] = compressZlib(defaultLevel, filtered, stripBytes, scratch.area(worker), scratch.cap);
    });
    uint64_t total = 0;
    for (size_t i = 0; i < sample.strips; ++i) {
        if (sizes[i] == 0) return {};  // the compressor lacked memory: never chosen
        total += sizes[i];
    }
    return {total * image.scanlineBytes() / (sample.strips * stripBytes), total};
}

// One layout the plan's image can be stored in, with the strategies weighed
// for it: the one estimated smallest, and the next.
struct Candidate {
    PngLayout layout;
    Owned packed;  // the rows in the layout (none for 8-bit RGB: the plan's pixels)
    Image image{};
    int strategy = adaptiveFilter, runnerUp = adaptiveFilter;
    uint64_t expected = UINT64_MAX, runnerUpExpected = UINT64_MAX;
    uint64_t sampled = 0;  // the best strategy's Estimate::sampled
};

// Packs the plan's image into the candidate's layout.
CompactStatus pack(const CompactPlan& plan, const PngLayout& layout, Candidate* out) {
    out->layout = layout;
    const size_t rowBytes = layout.rowBytes(plan.width);
    const uint8_t* rows = plan.pixels;
    if (layout.colourType != 2) {
        if (!out->packed.allocate(rowBytes * plan.height)) return CompactStatus::outOfMemory;
        packRows(plan.pixels, plan.width, plan.height, layout, out->packed.data);
        rows = out->packed.data;
    }
    out->image = {rows, rowBytes, plan.height, layout.filterDistance()};
    return CompactStatus::ok;
}

// Estimates the candidate filtered by each strategy, keeping the best two.
void weigh(Candidate* out, const int* strategies, size_t count, const Scratch& scratch) {
    for (size_t i = 0; i < count; ++i) {
        const Estimate found = estimate(out->image, strategies[i], scratch);
        const uint64_t expected = found.whole;
        if (expected < out->expected) {
            out->runnerUp = std::exchange(out->strategy, strategies[i]);
            out->runnerUpExpected = std::exchange(out->expected, expected);
            out->sampled = found.sampled;
        } else if (expected < out->runnerUpExpected) {
            out->runnerUp = strategies[i];
            out->runnerUpExpected = expected;
        }
    }
}

// The strategies weighed for every layout: the plan's own filter type alone,
// or for the adaptive choice no filtering too (it keeps the exact bytes of
// flat graphics and palette rows as repeated strings, which deflate finds
// better than the small differences the per-row heuristic favours there); at
// the strongest level the likely layouts also weigh the choosing strategies
// that are slower to run.
constexpr int quickStrategies[] = {adaptiveFilter, kNone};
constexpr int slowStrategies[] = {entropyFilter, pairsFilter};

// The layouts that hold the plan's image exactly, 8-bit RGB first.
size_t layoutsFor(const CompactPlan& plan, PngLayout layouts[3]) {
    size_t count = 0;
    layouts[count++] = PngLayout();
    if (plan.colour == ColourChoice::rgb) return count;
    ColourCensus census;
    takeCensus(plan.pixels, size_t(plan.width) * plan.height, &census);
    if (census.many) return count;
    layouts[count++] = paletteLayout(census, PaletteOrder::byUse);
    if (census.grey) layouts[count++] = greyLayout(census);
    return count;
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
    Owned scanlines;
    if (bound == 0 || !scanlines.allocate(len) || !out->allocate(bound)) return CompactStatus::outOfMemory;
    filterOnTwoThreads(image, candidate.strategy, scanlines.data);
    *length = compressBest(level, scanlines.data, len, lineBytes, out->data, bound, scratch, candidate.sampled);
    // The level is known: the compressor could only have lacked its working memory.
    return *length == 0 ? CompactStatus::outOfMemory : CompactStatus::ok;
}

// Layouts whose estimate is this much above the best one's are not weighed
// further at the strongest level: they have never come out smaller.
constexpr double strongestMargin = 1.1;

// The strongest level deflates whole the two likeliest (layout, strategy)
// pairs, each as one stream on a thread of its own: a stream cut for two
// threads loses the matches across the cut.
struct Trial {
    const Candidate* candidate;
    int strategy;
    uint64_t expected;
};
constexpr size_t strongestTrials = 2;

size_t likeliestTrials(const Candidate* candidates, size_t count, Trial trials[strongestTrials]) {
    Trial all[6];
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        all[found++] = {&candidates[i], candidates[i].strategy, candidates[i].expected};
        if (candidates[i].runnerUpExpected != UINT64_MAX) {
            all[found++] = {&candidates[i], candidates[i].runnerUp, candidates[i].runnerUpExpected};
        }
    }
    const size_t kept = std::min(found, strongestTrials);
    std::partial_sort(all, all + kept, all + found, [](const Trial& a, const Trial& b) { return a.expected < b.expected; });
    std::copy(all, all + kept, trials);
    return kept;
}

// Deflates each trial whole at `level`, in one piece, the trials on two
// threads; keeps the smallest stream if it beats *length.
CompactStatus runTrials(const Trial* trials, size_t count, int level, Owned* best, size_t* length,
                        const PngLayout** layout) {
    Owned scanlines[strongestTrials], outputs[strongestTrials];
    size_t lengths[strongestTrials] = {};
    for (size_t i = 0; i < count; ++i) {
        const Image& image = trials[i].candidate->image;
        if (!scanlines[i].allocate(image.scanlineBytes()) ||
            !outputs[i].allocate(zlibCompressBound(image.scanlineBytes()))) {
            return CompactStatus::outOfMemory;
        }
        filterOnTwoThreads(image, trials[i].strategy, scanlines[i].data);
    }
    shareTasks(count, [&](size_t i, size_t) {
        const size_t len = trials[i].candidate->image.scanlineBytes();
        lengths[i] = compressZlib(level, scanlines[i].data, len, outputs[i].data, zlibCompressBound(len));
    });
    for (size_t i = 0; i < count; ++i) {
        if (lengths[i] == 0) return CompactStatus::outOfMemory;
        if (lengths[i] < *length) {
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
    PngLayout layouts[3];
    const size_t layoutCount = layoutsFor(plan, layouts);
    TrialRoom room;
    const size_t rgbLineBytes = size_t(plan.width) * 3 + 1;
    if (!room.make(size_t(plan.height) * rgbLineBytes, rgbLineBytes)) return CompactStatus::outOfMemory;
    const bool adaptive = plan.strategy == adaptiveFilter, strongest = plan.level == strongestDeflateLevel;
    Candidate candidates[3];
    size_t chosen = 0;
    for (size_t i = 0; i < layoutCount; ++i) {
        const CompactStatus status = pack(plan, layouts[i], &candidates[i]);
        if (status != CompactStatus::ok) return status;
        if (adaptive) {
            weigh(&candidates[i], quickStrategies, 2, room.scratch);
        } else if (layoutCount > 1) {
            weigh(&candidates[i], &plan.strategy, 1, room.scratch);
        } else {
            candidates[i].strategy = plan.strategy;  // nothing to choose
        }
        if (candidates[i].expected < candidates[chosen].expected) chosen = i;
    }
    // What the plan's level writes, chosen on the quick strategies; at the
    // strongest level that is the default level's file, the one to beat, so
    // that the strongest never writes a larger file than the default level.
    Owned bestStream;
    size_t bestLength = 0;
    const PngLayout* bestLayout = &candidates[chosen].layout;
    CompactStatus status = encodeWith(candidates[chosen],
                                      strongest ? defaultLevel : plan.level, room.scratch, &bestStream, &bestLength);
    if (status == CompactStatus::ok && strongest) {
        if (adaptive) {
            const double cutoff = double(candidates[chosen].expected) * strongestMargin;
            for (size_t i = 0; i < layoutCount; ++i) {
                if (double(candidates[i].expected) <= cutoff) weigh(&candidates[i], slowStrategies, 2, room.scratch);
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
