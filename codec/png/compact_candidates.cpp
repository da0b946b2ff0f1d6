#include "compact_candidates.hpp"

#include "compact_layouts.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "framing.hpp"
#include "pieces.hpp"
#include "predictors.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png {
namespace {

// A large image's rows go in this many chunks to the two filtering threads.
constexpr size_t filterChunks = 8;

// What a default-level deflate is expected to make of the image filtered by
// `strategy`: its sample's strips filtered (each against the row above it, as
// in the whole image), deflated as one stream, and scaled up to the whole, so
// that layouts of different row lengths compare. Only the strips are filtered.
struct Estimate {
    uint64_t whole = UINT64_MAX;
    uint64_t sampled = 0;  // the sample's own deflated size, as the deflate policy takes it
    // When the sample is the whole image: its rows filtered, and their stream.
    Owned filtered, stream;
    size_t streamLength = 0;
};

// Unfiltered rows repeat furthest, and strips of rows see fewer of those
// repeats than the whole image does: on 126 outside pictures whose samples put
// unfiltered rows within 3 % of the filtered ones, the whole image's unfiltered
// stream was mostly the smaller (by up to 4 %). Their sampled size is taken as
// that much smaller.
constexpr double unfilteredSampleBias = 1.03;

// A sample's rows are filtered in chunks: its strips, or eighths of a sample that is one strip.
size_t chunkCount(const Sample& sample) {
    return sample.strips > 1 ? sample.strips : std::min<size_t>(filterChunks, sample.stripRows);
}

// Filters chunk `chunk` of the sample into its place among the sample's rows,
// each row against the one above it in the image.
void filterChunk(const Image& image, int strategy, const Sample& sample, size_t chunk, uint8_t* filtered) {
    const size_t lineBytes = image.rowStride + 1, count = chunkCount(sample);
    size_t first = sample.firstRow(chunk), end = first + sample.stripRows, at = chunk * sample.stripRows;
    if (sample.strips == 1) {
        first = at = chunk * sample.stripRows / count;
        end = (chunk + 1) * sample.stripRows / count;
    }
    filterImageRows(image.pixels, image.rowStride, first, end, image.bpp, strategy, filtered + at * lineBytes);
}

// Deflates the filtered sample in found->filtered and scales its size up to the whole.
void deflateFiltered(const Image& image, int strategy, const Sample& sample, const Scratch& scratch, size_t worker,
                     Estimate* found) {
    const size_t bytes = sample.bytes(image.rowStride + 1);
    uint8_t* const area = scratch.area(worker);
    const size_t size = compressZlib(defaultLevel, found->filtered.data, bytes, area, scratch.cap);
    if (size == 0) {  // the compressor lacked memory: never chosen
        *found = Estimate();
        return;
    }
    found->whole = size * image.scanlineBytes() / bytes;
    if (strategy == kNone && sample.strips > 1) found->whole = uint64_t(double(found->whole) / unfilteredSampleBias);
    found->sampled = size;
    // The whole image's default-level stream is kept, so that it is not made again.
    if (sample.strips == 1 && found->stream.allocate(size)) {
        std::memcpy(found->stream.data, area, size);
        found->streamLength = size;
    } else {
        found->filtered = Owned();
    }
}

Estimate estimate(const Image& image, int strategy, const Sample& sample, const Scratch& scratch, size_t worker) {
    Estimate found;
    if (!found.filtered.allocate(sample.bytes(image.rowStride + 1))) return {};
    for (size_t chunk = 0; chunk < chunkCount(sample); ++chunk) {
        filterChunk(image, strategy, sample, chunk, found.filtered.data);
    }
    deflateFiltered(image, strategy, sample, scratch, worker, &found);
    return found;
}

// Keeps an estimate of the candidate filtered by `strategy` among its best three.
void keep(Candidate* out, int strategy, Estimate found) {
    const uint64_t expected = found.whole == UINT64_MAX ? UINT64_MAX : pngFileLength(out->layout, found.whole);
    if (strategy == kNone) out->unfilteredExpected = expected;
    if (expected < out->expected) {
        out->third = std::exchange(out->runnerUp, std::exchange(out->strategy, strategy));
        out->thirdExpected = std::exchange(out->runnerUpExpected, std::exchange(out->expected, expected));
        out->thirdFiltered =
            std::exchange(out->runnerUpFiltered, std::exchange(out->wholeFiltered, std::move(found.filtered)));
        out->sampled = found.sampled;
        out->wholeStream = std::move(found.stream);
        out->wholeStreamLength = found.streamLength;
    } else if (expected < out->runnerUpExpected) {
        out->third = std::exchange(out->runnerUp, strategy);
        out->thirdExpected = std::exchange(out->runnerUpExpected, expected);
        out->thirdFiltered = std::exchange(out->runnerUpFiltered, std::move(found.filtered));
    } else if (expected < out->thirdExpected) {
        out->third = strategy;
        out->thirdExpected = expected;
        out->thirdFiltered = std::move(found.filtered);
    }
}

// One strategy of one candidate to weigh, and what its estimate found.
struct Weighing {
    Candidate* candidate;
    int strategy;
    Estimate found;
};

// Estimates every weighing, then keeps each candidate's best three, in the
// order given. The rows of all of them are filtered first, in chunks shared
// out between the two threads, and then deflated, two at once, the work of
// all the candidates in one queue (so that a thread is not left idle while
// the other weighs a layout's longer rows). Filtered apart, a weighing by the
// adaptive strategy, whose rows take five times as long to filter as
// unfiltered ones, kept the other thread waiting for about that difference.
void weighAll(Weighing* jobs, size_t count, const Scratch& scratch) {
    if (count == 1) {
        const Candidate& candidate = *jobs[0].candidate;
        jobs[0].found = estimate(candidate.image, jobs[0].strategy, candidate.sample, scratch, 0);
    } else {
        size_t firstChunk[2 * maxLayouts + 1] = {0};
        for (size_t i = 0; i < count; ++i) {
            const Candidate& candidate = *jobs[i].candidate;
            const bool room = jobs[i].found.filtered.allocate(candidate.sample.bytes(candidate.image.rowStride + 1));
            firstChunk[i + 1] = firstChunk[i] + (room ? chunkCount(candidate.sample) : 0);
        }
        shareTasks(firstChunk[count], [&](size_t chunk, size_t) {
            size_t i = 0;
            while (chunk >= firstChunk[i + 1]) ++i;
            const Candidate& candidate = *jobs[i].candidate;
            filterChunk(candidate.image, jobs[i].strategy, candidate.sample, chunk - firstChunk[i],
                        jobs[i].found.filtered.data);
        });
        shareTasks(count, [&](size_t i, size_t worker) {
            if (jobs[i].found.filtered.data == nullptr) return;
            const Candidate& candidate = *jobs[i].candidate;
            deflateFiltered(candidate.image, jobs[i].strategy, candidate.sample, scratch, worker, &jobs[i].found);
        });
    }
    for (size_t i = 0; i < count; ++i) keep(jobs[i].candidate, jobs[i].strategy, std::move(jobs[i].found));
}

// The file the candidate's best strategy is expected to make, judged by 8-bit
// RGB's sampled rows when its own sample was all its rows (a palette's rows are
// a third as long): the whole's exact size set against strips scaled up
// misjudged the layouts, as on document icons, whose strips fell a third short
// of their whole.
uint64_t expectedOnRows(const Candidate& candidate, const Sample& rgbRows, const Scratch& scratch) {
    if (candidate.sample.strips != 1 || rgbRows.strips == 1 || candidate.expected == UINT64_MAX) {
        return candidate.expected;
    }
    const Estimate found = estimate(candidate.image, candidate.strategy, rgbRows, scratch, 0);
    return found.whole == UINT64_MAX ? UINT64_MAX : pngFileLength(candidate.layout, found.whole);
}

// 8-bit RGB judged by a coarse sample beside a smaller layout is weighed again
// by the usual sample (or its file made, where the others' are in hand) when
// the coarse one puts it within this much of the smallest of the others:
// such a sample's fixed costs, scaled up with the rest, overrate a stream of
// a few kilobytes by a tenth (on a gradient of 256 colours, whose RGB file
// came out 6 % smaller than its palette's).
constexpr double coarseRgbMargin = 1.25;

bool rgbMayWin(const Candidate* out, size_t count) {
    uint64_t smallest = UINT64_MAX;
    for (size_t i = 1; i < count; ++i) smallest = std::min(smallest, out[i].expected);
    return double(out[0].expected) < double(smallest) * coarseRgbMargin;
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
void reweighRgb(Candidate* rgb, int strategy, const Scratch& scratch) {
    rgb->sample = sampleOf(rgb->image.height, rgb->image.rowStride + 1);
    rgb->expected = rgb->runnerUpExpected = rgb->thirdExpected = rgb->unfilteredExpected = UINT64_MAX;
    Weighing again{rgb, strategy, {}};
    weighAll(&again, 1, scratch);
}

// The strategies weighed for every layout: the plan's own filter type alone,
// or for the adaptive choice no filtering too (it keeps the exact bytes of
// flat graphics and palette rows as repeated strings, which deflate finds
// better than the small differences the per-row heuristic favours there); at
// the strongest level the likely layouts also weigh the choosing strategies
// that are slower to run.
constexpr int quickStrategies[] = {adaptiveFilter, kNone};
constexpr int slowStrategies[] = {entropyFilter, pairsFilter};

}  // namespace

size_t makeCandidates(const CompactPlan& plan, const Scratch& scratch, Candidate out[maxLayouts]) {
    PngLayout layouts[maxLayouts];
    const size_t count = layoutsFor(plan, layouts);
    const bool coarseRgb = count > 1 && plan.level != strongestDeflateLevel;
    Weighing jobs[2 * maxLayouts];
    size_t jobCount = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!pack(plan, layouts[i], &out[i])) return 0;
        const Image& image = out[i].image;
        const size_t lineBytes = image.rowStride + 1;
        const bool whole = count == 1 && plan.level == defaultLevel && worthWeighingWhole(image.height, lineBytes);
        const size_t stripBytes = i == 0 && coarseRgb ? besideSmallerLayoutStripBytes : stripTargetBytes;
        out[i].sample = whole ? wholeImage(image.height) : sampleOf(image.height, lineBytes, stripBytes);
        if (plan.strategy == adaptiveFilter) {
            // 8-bit RGB unfiltered holds the bytes of palette indices unfiltered three times
            // over, and has never come out smaller (nor on tiled pictures of 25 to 256
            // colours, where a palette's PLTE weighs most): its trial is spared.
            const bool paletteToo = count > 1 && out[i].layout.colourType == 2;
            jobs[jobCount++] = {&out[i], quickStrategies[0], {}};
            if (!paletteToo) jobs[jobCount++] = {&out[i], quickStrategies[1], {}};
        } else if (count > 1) {
            jobs[jobCount++] = {&out[i], plan.strategy, {}};
        } else {
            out[i].strategy = plan.strategy;  // nothing to choose
        }
    }
    if (jobCount > 0) weighAll(jobs, jobCount, scratch);
    const bool rgbMayWinCoarsely = coarseRgb && jobCount > 0 && out[0].sample.strips > 1 && rgbMayWin(out, count);
    if (rgbMayWinCoarsely && plan.level == defaultLevel && othersInHand(out, count)) {
        // The other layouts' files are known to the byte: 8-bit RGB's is made
        // too, and the smallest kept, which costs less than weighing RGB again.
        for (size_t i = 1; i < count; ++i) out[i].layoutExpected = out[i].expected;
        out[0].layoutExpected = 0;
        return count;
    }
    if (rgbMayWinCoarsely) reweighRgb(&out[0], jobs[0].strategy, scratch);
    // Only a layout expected to lose to 8-bit RGB (the first) is judged again.
    for (size_t i = 1; i < count; ++i) {
        const bool losing = out[i].expected >= out[0].expected;
        out[i].layoutExpected = losing ? expectedOnRows(out[i], out[0].sample, scratch) : out[i].expected;
    }
    out[0].layoutExpected = out[0].expected;
    return count;
}

void weighSlowStrategies(Candidate* candidate, const Scratch& scratch) {
    Weighing jobs[] = {{candidate, slowStrategies[0], {}}, {candidate, slowStrategies[1], {}}};
    weighAll(jobs, 2, scratch);
}

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

}  // namespace lumivex::png
