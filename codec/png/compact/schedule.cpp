#include "schedule.hpp"

#include "policy.hpp"

#include <algorithm>
#include <thread>

namespace lumivex::png::compact {

static_assert(streamPieces <= maxStreamPieces);

bool haveTwoCores() noexcept {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    return twoCores;
}

bool worthTwoThreads(size_t len, size_t lineBytes) noexcept {
    return haveTwoCores() && len > smallScanlines && len / lineBytes >= 2;
}

bool trialsAtOnce(size_t len) noexcept { return haveTwoCores() && len >= bothAtOnceBytes; }

RowParts piecesOf(size_t len, size_t lineBytes) noexcept {
    const size_t rows = len / lineBytes;
    return {std::min(streamPieces, rows), rows, lineBytes};
}

RowParts filterChunksOf(size_t height, size_t lineBytes) noexcept {
    return {std::min(filterChunks, height), height, lineBytes};
}

}  // namespace lumivex::png::compact
