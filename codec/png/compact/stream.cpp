#include "stream.hpp"

#include "methods.hpp"
#include "policy.hpp"
#include "schedule.hpp"

#include "../owned.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png::compact {
namespace {

// Whether a compressed size is under a bit a byte of its input. Literals alone
// never are.
bool spendsUnderABitAByte(uint64_t compressed, size_t len) { return compressed < len / 8; }

// A way to deflate a sample, and the size it gave (UINT64_MAX when the compressor lacked memory).
struct SampleJob {
    Method method;
    DeflateLevel level;
    uint64_t size = UINT64_MAX;
};

// The sample of the filtered image src[0, len): its strips' rows end to end,
// gathered into a buffer of their own unless they are all of it.
class SampleRows {
public:
    SampleRows(const uint8_t* src, size_t len, size_t lineBytes)
        : sample_(sampleOf(len / lineBytes, lineBytes)), bytes_(sample_.bytes(lineBytes)), rows_(src) {
        if (sample_.strips == 1) return;
        rows_ = gathered_.allocate(bytes_) ? gathered_.data : nullptr;
        if (rows_ == nullptr) return;
        const size_t stripBytes = sample_.stripRows * lineBytes;
        for (size_t strip = 0; strip < sample_.strips; ++strip) {
            std::memcpy(gathered_.data + strip * stripBytes, src + sample_.firstRow(strip) * lineBytes, stripBytes);
        }
    }
    // Null when there was no memory to gather them.
    const uint8_t* rows() const { return rows_; }
    size_t bytes() const { return bytes_; }
    size_t strips() const { return sample_.strips; }
    size_t stripBytes() const { return bytes_ / sample_.strips; }

private:
    Sample sample_;
    size_t bytes_;
    const uint8_t* rows_;
    Owned gathered_;
};

// Deflates the sample by each job, two at once (a lone job in two halves at once).
void deflateSample(const SampleRows& sample, SampleJob* jobs, size_t count, const Scratch& scratch) {
    const uint8_t* const rows = sample.rows();
    const size_t bytes = sample.bytes();
    const auto run = [&](size_t i, size_t worker) {
        const size_t size = compressWhole(jobs[i].method, jobs[i].level, rows, bytes, scratch.area(worker), scratch.cap);
        jobs[i].size = size == 0 ? UINT64_MAX : size;
    };
    if (count > 1) {
        shareTasks(count, run);
    } else if (sample.strips() == 1) {
        run(0, 0);
    } else {
        // A lone job takes both threads, a half of the strips each.
        const size_t firstHalf = sample.strips() / 2 * sample.stripBytes();
        size_t sizes[2] = {0, 0};
        shareTasks(2, [&](size_t half, size_t worker) {
            const uint8_t* from = rows + (half == 0 ? 0 : firstHalf);
            sizes[half] = compressWhole(jobs[0].method, jobs[0].level, from, half == 0 ? firstHalf : bytes - firstHalf,
                                        scratch.area(worker), scratch.cap);
        });
        jobs[0].size = sizes[0] == 0 || sizes[1] == 0 ? UINT64_MAX : sizes[0] + sizes[1];
    }
}

}  // namespace

size_t compressMatching(DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) noexcept {
    return compressWith(Method::matching, level, src, len, lineBytes, dst, cap);
}

size_t compressBest(DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch, const DefaultMatching& known) noexcept {
    // At the default level or above, matching makes about the default level's sample or less.
    const bool sampleKnown = known.sampleSize != 0 && level >= defaultLevel;
    if (len <= smallScanlines) {
        // Every way that may win, tried on everything, two at once when two cores are
        // worth waking. (Method's order: matching, runs, literals.) Matching's stream may
        // be in hand; else, with nothing to judge the others by, it goes first.
        uint8_t* const areas[] = {dst, scratch.area(0), scratch.area(1)};
        const size_t caps[] = {cap, scratch.cap, scratch.cap};
        size_t sizes[methodCount] = {0};
        if (level == defaultLevel && known.stream != nullptr && known.length <= cap) {
            std::memcpy(dst, known.stream, known.length);
            sizes[0] = known.length;
        } else if (!sampleKnown) {
            sizes[0] = compressWhole(Method::matching, level, src, len, dst, cap);
            if (sizes[0] == 0) return 0;
        }
        // On rows matching packs to under a bit a byte, bytes alone never are.
        const uint64_t toBeat = sizes[0] != 0 ? sizes[0] : known.sizeOn(len);
        const Method last = spendsUnderABitAByte(toBeat, len) ? Method::runs : Method::literals;
        Method tries[methodCount];
        size_t count = 0;
        if (sizes[0] == 0) tries[count++] = Method::matching;
        count += hopefulWays(toBeat, last, src, len, tries + count);
        const auto attempt = [&](size_t task, size_t) {
            const size_t i = size_t(tries[task]);
            sizes[i] = compressWhole(static_cast<Method>(i), level, src, len, areas[i], caps[i]);
        };
        const bool twoThreads = trialsAtOnce(len);
        if (count > 1 && twoThreads) {
            shareTasks(count, attempt);
        } else if (count == 1 && tries[0] != Method::matching && twoThreads && toBeat >= piecesPayBytes) {
            // A lone way that seeks no strings goes in two pieces on two threads: its
            // strings reach back one byte at most, so the cut costs only the second
            // piece's code tables.
            const size_t i = size_t(tries[0]);
            sizes[i] = compressInPieces(tries[0], level, src, len, lineBytes, areas[i], caps[i]);
            if (sizes[i] == 0) attempt(0, 0);
        } else {
            for (size_t task = 0; task < count; ++task) attempt(task, 0);
        }
        if (sizes[0] == 0) return 0;
        size_t best = 0;  // matching's stream is already in place
        for (size_t i = 1; i < methodCount; ++i) {
            if (sizes[i] != 0 && sizes[i] < sizes[best]) best = i;
        }
        if (best != 0) std::memcpy(dst, areas[best], sizes[best]);
        return sizes[best];
    }
    // Matching's stream: the one in hand when the whole image was the sample.
    const auto matchingStream = [&] {
        if (level != defaultLevel || known.stream == nullptr || known.length > cap) {
            return compressWith(Method::matching, level, src, len, lineBytes, dst, cap);
        }
        std::memcpy(dst, known.stream, known.length);
        return known.length;
    };
    // Runs or literals alone pay only on rows that matching packs poorly. On a sample
    // that matching packs to under a bit a byte they are not tried: such a sample may
    // miss the image's repeats (its strips all in a blank margin, say), which only
    // matching finds, and they would come out far larger on the whole.
    const size_t sampleBytes = sampleOf(len / lineBytes, lineBytes).bytes(lineBytes);
    const uint64_t defaultSample = known.sizeOn(sampleBytes);
    if (sampleKnown && spendsUnderABitAByte(defaultSample, sampleBytes)) return matchingStream();
    const SampleRows sample(src, len, lineBytes);
    if (sample.rows() == nullptr) return matchingStream();
    Method ways[methodCount] = {Method::runs, Method::literals};
    const size_t hopeful =
        sampleKnown ? hopefulWays(defaultSample, Method::literals, sample.rows(), sample.bytes(), ways) : 2;
    if (hopeful == 0) return matchingStream();
    SampleJob jobs[methodCount];
    size_t count = 0;
    if (!sampleKnown) jobs[count++] = {Method::matching, std::min(level, defaultLevel)};
    for (size_t i = 0; i < hopeful; ++i) jobs[count++] = {ways[i], level};
    deflateSample(sample, jobs, count, scratch);
    uint64_t sampled[methodCount] = {defaultSample, UINT64_MAX, UINT64_MAX};
    for (size_t i = 0; i < count; ++i) sampled[int(jobs[i].method)] = jobs[i].size;
    uint64_t& matching = sampled[int(Method::matching)];
    const Method unmatched = sampled[int(Method::runs)] <= sampled[int(Method::literals)] ? Method::runs : Method::literals;
    if (spendsUnderABitAByte(matching, sampleBytes)) return matchingStream();
    // A stronger level's matching is about never larger than the default level's, and far
    // slower: when the default level already beats the rest, its trial is spared.
    if (level > defaultLevel && matching > sampled[int(unmatched)]) {
        SampleJob stronger{Method::matching, level};
        deflateSample(sample, &stronger, 1, scratch);
        matching = stronger.size;
    }
    // The smaller on the sample is written: a margin in matching's favour (3 %) made
    // files of the rebuildable set up to 2.6 % larger, and none smaller.
    const bool unmatchedWins = sampled[int(unmatched)] < matching;
    return unmatchedWins ? compressWith(unmatched, level, src, len, lineBytes, dst, cap) : matchingStream();
}

}  // namespace lumivex::png::compact
