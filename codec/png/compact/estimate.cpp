#include "estimate.hpp"

#include "policy.hpp"
#include "schedule.hpp"

#include "../framing.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace lumivex::png::compact {
namespace {

// A sample's rows are filtered in chunks: its strips, or eighths of a sample that is one strip.
size_t chunkCount(const Sample& sample) {
    return sample.strips > 1 ? sample.strips : std::min<size_t>(filterChunks, sample.stripRows);
}

// Filters chunk `chunk` of the sample into its place among the sample's rows,
// each row against the one above it in the image.
void filterChunk(const Image& image, FilterStrategy strategy, const Sample& sample, size_t chunk,
                 uint8_t* filtered) {
    const size_t lineBytes = image.rowStride + 1, count = chunkCount(sample);
    size_t first = sample.firstRow(chunk), end = first + sample.stripRows, at = chunk * sample.stripRows;
    if (sample.strips == 1) {
        first = at = chunk * sample.stripRows / count;
        end = (chunk + 1) * sample.stripRows / count;
    }
    filterImageRows(image.pixels, image.rowStride, first, end, image.bpp, strategy, filtered + at * lineBytes);
}

// Deflates the filtered sample in found->filtered and scales its size up to the whole.
void deflateFiltered(const Image& image, FilterStrategy strategy, const Sample& sample, const Scratch& scratch,
                     size_t worker, Estimate* found) {
    const size_t bytes = sample.bytes(image.rowStride + 1);
    uint8_t* const area = scratch.area(worker);
    const size_t size = compressZlib(defaultLevel, found->filtered.data, bytes, area, scratch.cap);
    if (size == 0) {  // the compressor lacked memory: never chosen
        *found = Estimate();
        return;
    }
    found->whole = size * image.scanlineBytes() / bytes;
    if (strategy == FilterStrategy::none && sample.strips > 1) {
        found->whole = uint64_t(double(found->whole) / unfilteredSampleBias);
    }
    found->sampled = size;
    // The whole image's default-level stream is kept, so that it is not made again.
    if (sample.strips == 1 && found->stream.allocate(size)) {
        std::memcpy(found->stream.data, area, size);
        found->streamLength = size;
    } else {
        found->filtered = Owned();
    }
}

// Keeps an estimate of the candidate filtered by `strategy` among its best three.
void keep(Candidate* out, FilterStrategy strategy, Estimate found) {
    const uint64_t expected = found.whole == UINT64_MAX ? UINT64_MAX : pngFileLength(out->layout, found.whole);
    if (strategy == FilterStrategy::none) out->unfilteredExpected = expected;
    size_t place = 0;
    while (place < 3 && expected >= out->best[place].expected) ++place;
    if (place == 3) return;
    for (size_t i = 2; i > place; --i) out->best[i] = std::move(out->best[i - 1]);
    out->best[place] = Weighed{strategy, expected, std::move(found.filtered)};
    if (place == 0) {
        out->sampled = found.sampled;
        out->wholeStream = std::move(found.stream);
        out->wholeStreamLength = found.streamLength;
    }
}

}  // namespace

Estimate estimate(const Image& image, FilterStrategy strategy, const Sample& sample, const Scratch& scratch) {
    Estimate found;
    if (!found.filtered.allocate(sample.bytes(image.rowStride + 1))) return {};
    for (size_t chunk = 0; chunk < chunkCount(sample); ++chunk) {
        filterChunk(image, strategy, sample, chunk, found.filtered.data);
    }
    deflateFiltered(image, strategy, sample, scratch, 0, &found);
    return found;
}

// The rows of all the weighings are filtered first, in chunks shared out
// between the two threads, and then deflated, two at once, the work of all the
// candidates in one queue (so that a thread is not left idle while the other
// weighs a layout's longer rows). Filtered apart, a weighing by the adaptive
// strategy, whose rows take five times as long to filter as unfiltered ones,
// kept the other thread waiting for about that difference.
void weighAll(Weighing* jobs, size_t count, const Scratch& scratch) {
    if (count == 1) {
        const Candidate& candidate = *jobs[0].candidate;
        jobs[0].found = estimate(candidate.image, jobs[0].strategy, candidate.sample, scratch);
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

}  // namespace lumivex::png::compact
