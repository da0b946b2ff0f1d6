#include "compact_stream.hpp"

#include "deflate.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

namespace lumivex::png {
namespace {

// Deflate's matching pays on most pictures; on smooth noisy ones, whose filtered rows
// repeat little, seeking only runs, or no strings at all, is smaller as well as faster.
// The choice is made on evenly spaced strips of rows (on everything, for a small image).

// One piece for each thread: each cut costs the matches that would have reached across it,
// and more pieces gave no steadier times when another process kept a core busy.
constexpr size_t streamPieces = 2;
static_assert(streamPieces <= maxStreamPieces);

bool haveTwoCores() {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    return twoCores;
}

// A small image's two attempts go to two threads from this size on: below it,
// waking a thread costs about what it saves.
constexpr size_t bothAtOnceBytes = 64 * 1024;

RowParts piecesOf(size_t len, size_t lineBytes) {
    const size_t rows = len / lineBytes;
    return {std::min(streamPieces, rows), rows, lineBytes};
}

Unmatched unmatched(Method method) { return method == Method::runs ? Unmatched::runs : Unmatched::literals; }

size_t compressWhole(Method method, int level, const uint8_t* src, size_t len, uint8_t* dst, size_t cap) {
    return method == Method::matching ? compressZlib(level, src, len, dst, cap)
                                      : compressZlibUnmatched(unmatched(method), src, len, dst, cap);
}

// A sample's size by runs or literals alone times this must be below
// matching's for either to be chosen.
constexpr double unmatchedMargin = 1.03;

// Literals alone spend at least a bit a byte: matching that spends less is
// not weighed against them.
bool spendsUnderABitAByte(uint64_t compressed, size_t len) { return compressed < len / 8; }

size_t compressPiece(Method method, int level, bool last, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) {
    return method == Method::matching ? compressDeflatePiece(level, last, src, len, dst, cap)
                                      : compressDeflateUnmatchedPiece(unmatched(method), last, src, len, dst, cap);
}

// The zlib stream of src as pieces deflated on two threads, or 0 if any failed.
size_t compressInPieces(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) {
    const RowParts pieces = piecesOf(len, lineBytes);
    const PieceLayout layout = layOutPieces(pieces);
    // Every area lies within the buffer before any piece is written to one.
    if (layout.total == 0 || layout.total > cap) return 0;
    size_t written[streamPieces] = {0};
    uint32_t sums[streamPieces] = {0};
    shareTasks(pieces.count, [&](size_t i, size_t) {
        const uint8_t* piece = src + pieces.start(i);
        const size_t pieceLen = pieces.length(i);
        written[i] = compressPiece(method, level, i + 1 == pieces.count, piece, pieceLen, dst + layout.offset[i],
                                   layout.area[i]);
        sums[i] = updateAdler32(1, piece, pieceLen);
    });
    return joinPieces(layout, pieces, level, written, sums, dst);
}

size_t compressWith(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                    size_t cap) {
    if (worthTwoThreads(len, lineBytes)) {
        const size_t written = compressInPieces(method, level, src, len, lineBytes, dst, cap);
        if (written != 0) return written;
    }
    return compressWhole(method, level, src, len, dst, cap);
}

}  // namespace

bool worthTwoThreads(size_t len, size_t lineBytes) noexcept {
    return haveTwoCores() && len > smallScanlines && len / lineBytes >= 2;
}

size_t streamCapacity(size_t len, size_t lineBytes) noexcept {
    const size_t whole = zlibCompressBound(len);
    if (whole == 0 || !worthTwoThreads(len, lineBytes)) return whole;
    const size_t pieces = layOutPieces(piecesOf(len, lineBytes)).total;
    return pieces == 0 ? 0 : std::max(whole, pieces);
}

size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) noexcept {
    // A small image whole, or a sample's strip (the whole sample when it is one strip).
    const size_t sampleBytes = sampleStrips * std::max(stripTargetBytes, lineBytes);
    return zlibCompressBound(std::min(scanlineBytes, std::max(smallScanlines, sampleBytes)));
}


size_t stripRowsFor(size_t lineBytes) noexcept { return std::max<size_t>(1, stripTargetBytes / lineBytes); }

Sample sampleOf(size_t height, size_t lineBytes) noexcept {
    const size_t stripRows = stripRowsFor(lineBytes);
    if (height <= sampleStrips * stripRows) return {1, height, height};
    return {sampleStrips, stripRows, height};
}

uint64_t sampledSize(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes,
                     const Scratch& scratch) noexcept {
    const Sample sample = sampleOf(len / lineBytes, lineBytes);
    const size_t stripBytes = sample.stripRows * lineBytes;
    uint64_t sizes[sampleStrips] = {0};
    shareTasks(sample.strips, [&](size_t strip, size_t worker) {
        const uint8_t* rows = src + sample.firstRow(strip) * lineBytes;
        uint8_t* area = scratch.area(worker);
        sizes[strip] = compressWhole(method, level, rows, stripBytes, area, scratch.cap);
    });
    uint64_t total = 0;
    for (size_t i = 0; i < sample.strips; ++i) {
        if (sizes[i] == 0) return UINT64_MAX;  // the compressor lacked memory: this way loses
        total += sizes[i];
    }
    return total;
}

size_t compressMatching(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) noexcept {
    return compressWith(Method::matching, level, src, len, lineBytes, dst, cap);
}

size_t compressBest(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch, uint64_t defaultSample) noexcept {
    if (len <= smallScanlines) {
        // Every way worth trying on everything, two at once when two cores are worth waking.
        // (Method's order: matching, runs, literals.)
        const size_t ways = defaultSample != 0 && spendsUnderABitAByte(defaultSample, len) ? 2 : methodCount;
        uint8_t* const areas[] = {dst, scratch.area(0), scratch.area(1)};
        const size_t caps[] = {cap, scratch.cap, scratch.cap};
        size_t sizes[methodCount] = {0};
        const auto attempt = [&](size_t i, size_t) {
            sizes[i] = compressWhole(static_cast<Method>(i), level, src, len, areas[i], caps[i]);
        };
        if (ways > 1 && haveTwoCores() && len >= bothAtOnceBytes) {
            shareTasks(ways, attempt);
        } else {
            for (size_t i = 0; i < ways; ++i) attempt(i, 0);
        }
        if (sizes[0] == 0) return 0;
        size_t best = 0;  // matching's stream is already in place
        for (size_t i = 1; i < ways; ++i) {
            if (sizes[i] != 0 && sizes[i] < sizes[best]) best = i;
        }
        if (best != 0) std::memcpy(dst, areas[best], sizes[best]);
        return sizes[best];
    }
    const Sample sample = sampleOf(len / lineBytes, lineBytes);
    uint64_t sampled[methodCount];
    uint64_t& matching = sampled[int(Method::matching)];
    const int firstLevel = std::min(level, defaultLevel);
    matching = firstLevel == defaultLevel && defaultSample != 0
                   ? defaultSample
                   : sampledSize(Method::matching, firstLevel, src, len, lineBytes, scratch);
    sampled[int(Method::runs)] = sampledSize(Method::runs, level, src, len, lineBytes, scratch);
    sampled[int(Method::literals)] = spendsUnderABitAByte(matching, sample.bytes(lineBytes))
                                         ? UINT64_MAX
                                         : sampledSize(Method::literals, level, src, len, lineBytes, scratch);
    // A stronger level's matching is about never larger than the default level's, and far
    // slower: when the default level already beats the rest, its trial is spared.
    if (level > defaultLevel && matching > std::min(sampled[int(Method::runs)], sampled[int(Method::literals)])) {
        matching = sampledSize(Method::matching, level, src, len, lineBytes, scratch);
    }
    // A way that seeks no strings must win clearly: where the sample misses the
    // image's repeats (its strips all in a blank margin, say), only matching
    // finds them, and the other ways come out far larger.
    const Method unmatched = sampled[int(Method::runs)] <= sampled[int(Method::literals)] ? Method::runs : Method::literals;
    const bool unmatchedWins = double(sampled[int(unmatched)]) * unmatchedMargin < double(matching);
    return compressWith(unmatchedWins ? unmatched : Method::matching, level, src, len, lineBytes, dst, cap);
}

}  // namespace lumivex::png
