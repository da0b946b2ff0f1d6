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

// What deflate is expected to make of scanlines: a default-level deflate of
// them, or of sampled strips of rows scaled up to the whole, so that layouts
// of different row lengths compare.
uint64_t estimate(const uint8_t* scanlines, size_t len, size_t lineBytes, const Scratch& scratch) {
    if (len <= smallScanlines) return compressZlib(defaultLevel, scanlines, len, scratch.data, scratch.cap);
    const uint64_t sample = sampledSize(Method::matching, defaultLevel, scanlines, len, lineBytes, scratch);
    return sample * len / sampledBytes(len, lineBytes);
}

// One layout's scanlines, filtered as the plan asks. With the adaptive choice,
// no filtering at all is weighed against it: it keeps the exact bytes of
// flat graphics and palette rows as repeated strings, which deflate finds
// better than the small differences the per-row heuristic favours there.
struct Candidate {
    PngLayout layout;
    Owned packed;      // the rows in the layout (none for 8-bit RGB: the plan's pixels)
    Owned scanlines;   // filtered, with their filter-type bytes
    size_t len = 0, lineBytes = 0;
    uint64_t expected = 0;  // estimate() of the scanlines
    Owned runnerUp;    // the scanlines of the strategy estimated next best, when several were weighed
    uint64_t runnerUpExpected = UINT64_MAX;
    Image image{};     // the rows in the layout
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
    out->len = out->image.scanlineBytes();
    out->lineBytes = rowBytes + 1;
    return CompactStatus::ok;
}

// Filters the candidate's rows with each strategy and keeps the scanlines
// estimated smallest (and next smallest).
CompactStatus weigh(Candidate* out, const int* strategies, size_t count, const Scratch& scratch) {
    Owned trial;
    for (size_t i = 0; i < count; ++i) {
        const bool first = out->scanlines.data == nullptr;
        if (!(first ? out->scanlines : trial).allocate(out->len)) return CompactStatus::outOfMemory;
        uint8_t* into = first ? out->scanlines.data : trial.data;
        filterOnTwoThreads(out->image, strategies[i], into);
        const uint64_t expected = estimate(into, out->len, out->lineBytes, scratch);
        if (first) {
            out->expected = expected;
        } else if (expected < out->expected) {  // a new best: the old one runs up
            std::swap(out->scanlines, trial);
            std::swap(out->runnerUp, trial);
            out->runnerUpExpected = std::exchange(out->expected, expected);
        } else if (expected < out->runnerUpExpected) {
            std::swap(out->runnerUp, trial);
            out->runnerUpExpected = expected;
        }
        std::free(trial.release());
    }
    return CompactStatus::ok;
}

// The strategies weighed for every layout: the plan's own filter type alone,
// or for the adaptive choice no filtering too; at the strongest level the
// likely layouts also weigh the choosing strategies that are slower to run.
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

// Room for trial compressions of any layout's scanlines (8-bit RGB's are the longest).
struct TrialRoom {
    Owned memory;
    Scratch scratch{nullptr, 0};
    bool make(size_t len, size_t lineBytes) {
        const size_t cap = scratchBytes(len, lineBytes), areas = scratchAreas(len);
        if (cap == 0 || cap > SIZE_MAX / areas || !memory.allocate(cap * areas)) return false;
        scratch = {memory.data, cap};
        return true;
    }
};

// Deflates a candidate's scanlines at `level` into a new buffer.
CompactStatus deflateCandidate(const Candidate& candidate, int level, const Scratch& scratch, Owned* out,
                               size_t* length) {
    const size_t bound = streamCapacity(candidate.len, candidate.lineBytes);
    if (bound == 0 || !out->allocate(bound)) return CompactStatus::outOfMemory;
    *length = compressBest(level, candidate.scanlines.data, candidate.len, candidate.lineBytes, out->data, bound,
                           scratch);
    // The level is known: the compressor could only have lacked its working memory.
    return *length == 0 ? CompactStatus::outOfMemory : CompactStatus::ok;
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

namespace {

// Layouts whose estimate is this much above the best one's are not weighed
// further at the strongest level: they have never come out smaller.
constexpr double strongestMargin = 1.1;

// The strongest level deflates whole the two likeliest sets of scanlines (of
// any layout and strategy), each in one piece on a thread of its own: a
// stream cut for two threads loses the matches across the cut.
struct Trial {
    const Candidate* candidate;
    const uint8_t* scanlines;
    uint64_t expected;
};
constexpr size_t strongestTrials = 2;

size_t likeliestTrials(const Candidate* candidates, size_t count, Trial trials[strongestTrials]) {
    Trial all[6];
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        all[found++] = {&candidates[i], candidates[i].scanlines.data, candidates[i].expected};
        if (candidates[i].runnerUp.data != nullptr) {
            all[found++] = {&candidates[i], candidates[i].runnerUp.data, candidates[i].runnerUpExpected};
        }
    }
    const size_t kept = std::min(found, strongestTrials);
    std::partial_sort(all, all + kept, all + found, [](const Trial& a, const Trial& b) { return a.expected < b.expected; });
    std::copy(all, all + kept, trials);
    return kept;
}

}  // namespace

CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept {
    PngLayout layouts[3];
    const size_t layoutCount = layoutsFor(plan, layouts);
    TrialRoom room;
    const size_t rgbLen = size_t(plan.height) * (size_t(plan.width) * 3 + 1);
    if (!room.make(rgbLen, size_t(plan.width) * 3 + 1)) return CompactStatus::outOfMemory;
    const bool adaptive = plan.strategy == adaptiveFilter, strongest = plan.level == strongestDeflateLevel;
    Candidate candidates[3];
    size_t chosen = 0;
    for (size_t i = 0; i < layoutCount; ++i) {
        CompactStatus status = pack(plan, layouts[i], &candidates[i]);
        if (status == CompactStatus::ok) {
            status = adaptive ? weigh(&candidates[i], quickStrategies, 2, room.scratch)
                              : weigh(&candidates[i], &plan.strategy, 1, room.scratch);
        }
        if (status != CompactStatus::ok) return status;
        if (candidates[i].expected < candidates[chosen].expected) chosen = i;
    }
    if (strongest && adaptive) {
        const double cutoff = double(candidates[chosen].expected) * strongestMargin;
        for (size_t i = 0; i < layoutCount; ++i) {
            if (double(candidates[i].expected) > cutoff) continue;
            const CompactStatus status = weigh(&candidates[i], slowStrategies, 2, room.scratch);
            if (status != CompactStatus::ok) return status;
        }
        for (size_t i = 0; i < layoutCount; ++i) {
            if (candidates[i].expected < candidates[chosen].expected) chosen = i;
        }
    }
    // The estimate's choice at the plan's level: at the strongest, at the
    // default level, so that the strongest never writes a larger file than it.
    Owned bestStream;
    size_t bestLength = 0;
    CompactStatus status = deflateCandidate(candidates[chosen], strongest ? defaultLevel : plan.level, room.scratch,
                                            &bestStream, &bestLength);
    if (status != CompactStatus::ok) return status;
    const PngLayout* bestLayout = &candidates[chosen].layout;
    if (strongest) {
        Trial trials[strongestTrials];
        const size_t count = likeliestTrials(candidates, layoutCount, trials);
        Owned outputs[strongestTrials];
        size_t lengths[strongestTrials] = {};
        for (size_t i = 0; i < count; ++i) {
            if (!outputs[i].allocate(zlibCompressBound(trials[i].candidate->len))) return CompactStatus::outOfMemory;
        }
        shareTasks(count, [&](size_t i, size_t) {
            const Candidate& candidate = *trials[i].candidate;
            lengths[i] = compressZlib(plan.level, trials[i].scanlines, candidate.len, outputs[i].data,
                                      zlibCompressBound(candidate.len));
        });
        for (size_t i = 0; i < count; ++i) {
            if (lengths[i] == 0) return CompactStatus::outOfMemory;
            if (lengths[i] < bestLength) {
                bestLength = lengths[i];
                bestStream = std::move(outputs[i]);
                bestLayout = &trials[i].candidate->layout;
            }
        }
    }
    stream->adopt(bestStream.release(), bestLength, *bestLayout);
    return CompactStatus::ok;
}

}  // namespace lumivex::png
