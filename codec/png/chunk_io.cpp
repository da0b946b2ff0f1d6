#include "chunk_io.hpp"

#include "deflate.hpp"

#include <algorithm>

namespace lumivex::png {
namespace {

uint32_t bigEndian32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

// The largest single read of chunk data: a declared length is only a claim,
// so room is made as the data actually comes.
constexpr size_t largestPiece = size_t(16) << 20;

}  // namespace

PngProblem readHead(ByteSource& source, ChunkHead* head) noexcept {
    uint8_t lengthBytes[4];
    size_t got;
    if (!source.read(lengthBytes, 4, &got)) return PngProblem::sourceFailed;
    if (got == 0) {
        head->end = true;
        return PngProblem::none;
    }
    if (got != 4) return PngProblem::eofInLength;
    head->length = bigEndian32(lengthBytes);
    if (!source.read(head->type, 4, &got)) return PngProblem::sourceFailed;
    return got == 4 ? PngProblem::none : PngProblem::eofInType;
}

PngProblem readDataOnto(ByteSource& source, uint32_t length, ByteBuffer& into) noexcept {
    const size_t start = into.size();
    // A source that cannot tell what remains (a stream) may hold far less
    // than the length claims: room for more than a piece is made as it comes.
    const uint64_t remaining = source.remaining();
    const uint64_t expected = std::min<uint64_t>(length, remaining == UINT64_MAX ? largestPiece : remaining);
    if (into.capacity() - start < expected && !into.reserve(start + static_cast<size_t>(expected))) {
        return PngProblem::outOfMemory;
    }
    size_t have = 0;
    while (have < length) {
        const size_t ask = std::min<size_t>(length - have, largestPiece);
        if (!into.reserve(start + have + ask)) return PngProblem::outOfMemory;
        size_t got;
        if (!source.read(into.data() + start + have, ask, &got)) return PngProblem::sourceFailed;
        have += got;
        into.setSize(start + have);
        if (got < ask) break;
    }
    return have == length ? PngProblem::none : PngProblem::eofInData;
}

PngProblem readDataThrough(ByteSource& source, uint32_t length, uint32_t* crc, uint8_t* kept, size_t keep) noexcept {
    uint8_t scratch[16384];
    size_t have = 0;
    while (have < length) {
        const size_t ask = std::min<size_t>(length - have, sizeof scratch);
        size_t got;
        if (!source.read(scratch, ask, &got)) return PngProblem::sourceFailed;
        if (have < keep) std::memcpy(kept + have, scratch, std::min(keep - have, got));
        *crc = updateCrc32(*crc, scratch, got);
        have += got;
        if (got < ask) break;
    }
    return have == length ? PngProblem::none : PngProblem::eofInData;
}

PngProblem checkCrc(ByteSource& source, uint32_t actual) noexcept {
    uint8_t stored[4];
    size_t got;
    if (!source.read(stored, 4, &got)) return PngProblem::sourceFailed;
    if (got != 4) return PngProblem::eofInCrc;
    return bigEndian32(stored) == actual ? PngProblem::none : PngProblem::corruptedChunk;
}

}  // namespace lumivex::png
