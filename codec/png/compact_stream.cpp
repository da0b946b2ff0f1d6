#include "compact_stream.hpp"

#include "deflate.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

namespace lumivex::png {
namespace {

// Deflate's matching pays on most pictures; on smooth noisy ones, whose filtered rows
// repeat little, seeking only runs is smaller as well as faster. The choice is made on
// evenly spaced strips of rows (on everything, for a small image).

// One piece for each thread: each cut costs the matches that would have reached across it,
// and more pieces gave no steadier times when another process kept a core busy.
constexpr size_t streamPieces = 2;
static_assert(streamPieces <= maxStreamPieces);

RowParts piecesOf(size_t len, size_t lineBytes) {
    const size_t rows = len / lineBytes;
    return {std::min(streamPieces, rows), rows, lineBytes};
}

size_t compressPiece(Method method, int level, bool last, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) {
    return method == Method::runs ? compressDeflateRunsPiece(last, src, len, dst, cap)
                                  : compressDeflatePiece(level, last, src, len, dst, cap);
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
    return method == Method::runs ? compressZlibRuns(src, len, dst, cap) : compressZlib(level, src, len, dst, cap);
}

}  // namespace

bool worthTwoThreads(size_t len, size_t lineBytes) noexcept {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    return twoCores && len > smallScanlines && len / lineBytes >= 2;
}

size_t streamCapacity(size_t len, size_t lineBytes) noexcept {
    const size_t whole = zlibCompressBound(len);
    if (whole == 0 || !worthTwoThreads(len, lineBytes)) return whole;
    const size_t pieces = layOutPieces(piecesOf(len, lineBytes)).total;
    return pieces == 0 ? 0 : std::max(whole, pieces);
}

size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) noexcept {
    return zlibCompressBound(std::min(scanlineBytes, std::max(smallScanlines, lineBytes)));
}


size_t stripRowsFor(size_t lineBytes) noexcept { return std::max<size_t>(1, stripTargetBytes / lineBytes); }

Sample sampleOf(size_t height, size_t lineBytes) noexcept {
    const size_t stripRows = stripRowsFor(lineBytes);
    if (height <= sampleStrips * stripRows) return {1, height, height};
    return {sampleStrips, stripRows, height};
}

uint64_t sampledSize(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes,
                     const Scratch& scratch) noexcept {
    const Sample sample{sampleStrips, stripRowsFor(lineBytes), len / lineBytes};
    uint64_t sizes[sampleStrips] = {0};
    shareTasks(sampleStrips, [&](size_t strip, size_t worker) {
        sizes[strip] = compressWith(method, level, src + sample.firstRow(strip) * lineBytes,
                                    sample.stripRows * lineBytes, lineBytes, scratch.area(worker), scratch.cap);
    });
    uint64_t total = 0;
    for (uint64_t size : sizes) total += size;
    return total;
}

size_t compressBest(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch) noexcept {
    if (len <= smallScanlines) {
        const size_t matched = compressZlib(level, src, len, dst, cap);
        const size_t runs = compressZlibRuns(src, len, scratch.data, scratch.cap);
        if (matched == 0 || runs == 0 || matched <= runs) return matched;
        std::memcpy(dst, scratch.data, runs);
        return runs;
    }
    const uint64_t runs = sampledSize(Method::runs, level, src, len, lineBytes, scratch);
    // A stronger level's matching is about never larger than the default level's, and far
    // slower: when the default level already beats runs, the stronger level's trial is spared.
    const bool defaultMatchingWins =
        level > defaultLevel && sampledSize(Method::matching, defaultLevel, src, len, lineBytes, scratch) <= runs;
    const bool runsSmaller =
        !defaultMatchingWins && runs < sampledSize(Method::matching, level, src, len, lineBytes, scratch);
    return compressWith(runsSmaller ? Method::runs : Method::matching, level, src, len, lineBytes, dst, cap);
}

}  // namespace lumivex::png
