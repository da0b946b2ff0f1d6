#include "compact_methods.hpp"

#include "compact_stream.hpp"
#include "deflate.hpp"
#include "unmatched_estimate.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

namespace lumivex::png {
namespace {

// One piece for each thread: each cut costs the matches that would have reached across it,
// and more pieces gave no steadier times when another process kept a core busy.
constexpr size_t streamPieces = 2;
static_assert(streamPieces <= maxStreamPieces);

Unmatched unmatched(Method method) { return method == Method::runs ? Unmatched::runs : Unmatched::literals; }

size_t compressPiece(Method method, int level, bool last, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) {
    return method == Method::matching ? compressDeflatePiece(level, last, src, len, dst, cap)
                                      : compressDeflateUnmatchedPiece(unmatched(method), last, src, len, dst, cap);
}

// A way that seeks no strings, estimated at this many times the size to beat or
// more, cannot win: the estimates come within 1 % of zlib's streams. Its trial is spared.
constexpr double hopelessMargin = 1.05;

}  // namespace

bool haveTwoCores() noexcept {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    return twoCores;
}

RowParts piecesOf(size_t len, size_t lineBytes) noexcept {
    const size_t rows = len / lineBytes;
    return {std::min(streamPieces, rows), rows, lineBytes};
}

size_t compressWhole(Method method, int level, const uint8_t* src, size_t len, uint8_t* dst, size_t cap) noexcept {
    return method == Method::matching ? compressZlib(level, src, len, dst, cap)
                                      : compressZlibUnmatched(unmatched(method), src, len, dst, cap);
}

size_t compressInPieces(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) noexcept {
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
                    size_t cap) noexcept {
    if (worthTwoThreads(len, lineBytes)) {
        const size_t written = compressInPieces(method, level, src, len, lineBytes, dst, cap);
        if (written != 0) return written;
    }
    return compressWhole(method, level, src, len, dst, cap);
}

// The ways that seek no strings, runs up to `last`, that may beat `size` on
// src[0, len), into ways; returns how many. Large buffers are estimated two at once.
size_t hopefulWays(uint64_t size, Method last, const uint8_t* src, size_t len, Method ways[]) noexcept {
    bool hopeful[methodCount] = {};
    const auto judge = [&](size_t i, size_t) {
        const auto way = static_cast<Method>(size_t(Method::runs) + i);
        const double limit = double(size) * hopelessMargin;
        hopeful[i] = double(estimateUnmatched(unmatched(way), src, len, uint64_t(std::ceil(limit)))) < limit;
    };
    const size_t count = size_t(last) - size_t(Method::runs) + 1;
    if (count > 1 && haveTwoCores() && len >= bothAtOnceBytes) {
        shareTasks(count, judge);
    } else {
        for (size_t i = 0; i < count; ++i) judge(i, 0);
    }
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        if (hopeful[i]) ways[found++] = static_cast<Method>(size_t(Method::runs) + i);
    }
    return found;
}


}  // namespace lumivex::png
