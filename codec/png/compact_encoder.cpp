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

constexpr size_t bytesPerPixel = 3;

struct Image {
    const uint8_t* pixels;
    uint32_t width, height;
    size_t rowStride() const { return size_t(width) * bytesPerPixel; }
    size_t scanlineBytes() const { return size_t(height) * (rowStride() + 1); }
};

// Memory from malloc, freed with the owner.
struct Owned {
    uint8_t* data = nullptr;
    ~Owned() { std::free(data); }
    bool allocate(size_t size) { return (data = static_cast<uint8_t*>(std::malloc(std::max<size_t>(size, 1)))); }
    uint8_t* release() { return std::exchange(data, nullptr); }
};

// A large image's rows go in this many chunks to the two filtering threads.
constexpr size_t filterChunks = 8;

// Filters the image into out with a known `strategy`, a large image's rows in chunks
// shared out between two threads.
void filterOnTwoThreads(const Image& image, int strategy, uint8_t* out) {
    const size_t stride = image.rowStride();
    if (!worthTwoThreads(image.scanlineBytes(), stride + 1)) {
        filterImage(image.pixels, stride, image.height, bytesPerPixel, strategy, out);
        return;
    }
    const RowParts chunks{std::min<size_t>(filterChunks, image.height), image.height, stride + 1};
    shareTasks(chunks.count, [&](size_t i, size_t) {
        filterImageRows(image.pixels, stride, chunks.firstRow(i), chunks.firstRow(i + 1), bytesPerPixel, strategy,
                        out + chunks.start(i));
    });
}

// At the strongest level the adaptive choice is checked against no filtering at all,
// which keeps the exact colours of flat graphics as repeated strings: deflate finds
// those better than the small differences the per-row heuristic favours there.
// Each candidate is judged by a default-level deflate of sampled strips (of everything
// for a small image). The winner's scanlines are left in `scanlines`.
void chooseStrongestFilters(const Image& image, uint8_t* scanlines, uint8_t* unfiltered, const Scratch& scratch) {
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride() + 1;
    filterOnTwoThreads(image, adaptiveFilter, scanlines);
    filterOnTwoThreads(image, kNone, unfiltered);
    auto estimate = [&](const uint8_t* src) -> uint64_t {
        if (len <= smallScanlines) return compressZlib(defaultLevel, src, len, scratch.data, scratch.cap);
        return sampledSize(Method::matching, defaultLevel, src, len, lineBytes, scratch);
    };
    if (estimate(unfiltered) < estimate(scanlines)) std::memcpy(scanlines, unfiltered, len);
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

CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept {
    const Image image{plan.pixels, plan.width, plan.height};
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride() + 1;
    const size_t bound = streamCapacity(len, lineBytes);
    const size_t scratchCap = scratchBytes(len, lineBytes);
    const size_t areas = scratchAreas(len);
    const bool tryUnfiltered = plan.level == strongestDeflateLevel && plan.strategy == adaptiveFilter;
    Owned scanlines, out, scratch, unfiltered;
    if (bound == 0 || scratchCap == 0 || scratchCap > SIZE_MAX / areas || !scanlines.allocate(len) ||
        !out.allocate(bound) || !scratch.allocate(scratchCap * areas) || (tryUnfiltered && !unfiltered.allocate(len))) {
        return CompactStatus::outOfMemory;
    }
    const Scratch trials{scratch.data, scratchCap};
    if (tryUnfiltered)
        chooseStrongestFilters(image, scanlines.data, unfiltered.data, trials);
    else
        filterOnTwoThreads(image, plan.strategy, scanlines.data);
    const size_t length = compressBest(plan.level, scanlines.data, len, lineBytes, out.data, bound, trials);
    // The level is known: the compressor could only have lacked its working memory.
    if (length == 0) return CompactStatus::outOfMemory;
    std::free(stream->data_);
    stream->data_ = out.release();
    stream->length_ = length;
    return CompactStatus::ok;
}

}  // namespace lumivex::png
