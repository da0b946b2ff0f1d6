#include "methods.hpp"

#include "policy.hpp"
#include "schedule.hpp"

#include "../unmatched_estimate.hpp"

#include <cmath>

namespace lumivex::png::compact {
namespace {

Unmatched unmatched(Method method) { return method == Method::runs ? Unmatched::runs : Unmatched::literals; }

size_t compressPiece(Method method, DeflateLevel level, bool last, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) {
    return method == Method::matching ? compressDeflatePiece(level, last, src, len, dst, cap)
                                      : compressDeflateUnmatchedPiece(unmatched(method), last, src, len, dst, cap);
}

}  // namespace

size_t compressWhole(Method method, DeflateLevel level, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) noexcept {
    return method == Method::matching ? compressZlib(level, src, len, dst, cap)
                                      : compressZlibUnmatched(unmatched(method), src, len, dst, cap);
}

size_t compressInPieces(Method method, DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes,
                        uint8_t* dst, size_t cap) noexcept {
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

size_t compressWith(Method method, DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes,
                    uint8_t* dst, size_t cap) noexcept {
    if (worthTwoThreads(len, lineBytes)) {
        const size_t written = compressInPieces(method, level, src, len, lineBytes, dst, cap);
        if (written != 0) return written;
    }
    return compressWhole(method, level, src, len, dst, cap);
}

size_t hopefulWays(uint64_t size, Method last, const uint8_t* src, size_t len, Method ways[]) noexcept {
    bool hopeful[methodCount] = {};
    const auto judge = [&](size_t i, size_t) {
        const auto way = static_cast<Method>(size_t(Method::runs) + i);
        const double limit = double(size) * hopelessMargin;
        hopeful[i] = double(estimateUnmatched(unmatched(way), src, len, uint64_t(std::ceil(limit)))) < limit;
    };
    const size_t count = size_t(last) - size_t(Method::runs) + 1;
    if (count > 1 && trialsAtOnce(len)) {
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

}  // namespace lumivex::png::compact
