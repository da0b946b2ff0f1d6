// libFuzzer target: a zlib stream deflated in pieces of whole rows and joined.
// Checks that the layout keeps every area inside its checked total, that each
// piece deflated into its own area stays there (exact-size buffer: ASan sees
// any write past it), and that the joined stream inflates to the input.
// Input: byte 0 picks the piece count (1..maxStreamPieces), byte 1 the row
// length (1..64), byte 2 the method and level; the rest is the rows (a short
// tail that is not a whole row is dropped). Byte 3's low bit, when set,
// stretches the rows by repeating the input, so long, compressible and
// incompressible pieces all occur.
#include "codec/png/deflate.hpp"
#include "codec/png/inflate.hpp"
#include "codec/png/pieces.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace png = lumivex::png;

namespace {

[[noreturn]] void fail(const char* what, size_t count, size_t rows, size_t lineBytes) {
    std::fprintf(stderr, "%s: %zu pieces, %zu rows of %zu bytes\n", what, count, rows, lineBytes);
    std::abort();
}

int levelOf(uint8_t byte) {
    const int levels[] = {1, 2, 4, 6, 9, int(png::DeflateLevel::strongest)};
    return levels[byte % 6];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const size_t wanted = 1 + data[0] % png::maxStreamPieces;
    const size_t lineBytes = 1 + data[1] % 64;
    const bool unmatched = data[2] & 0x80;  // a way that seeks no strings
    const png::Unmatched how = data[2] & 0x40 ? png::Unmatched::literals : png::Unmatched::runs;
    const int level = levelOf(data[2] & 0x3F);
    std::vector<uint8_t> input(data + 4, data + size);
    if (data[3] & 1) {
        const size_t copies = 1 + data[3] / 2;
        for (size_t i = 1; i < copies; ++i) input.insert(input.end(), data + 4, data + size);
    }
    const size_t rows = input.size() / lineBytes;
    if (rows == 0) return 0;
    input.resize(rows * lineBytes);
    const png::RowParts pieces{std::min(wanted, rows), rows, lineBytes};

    const png::PieceLayout layout = png::layOutPieces(pieces);
    if (layout.total == 0 || layout.count != pieces.count) fail("no layout", pieces.count, rows, lineBytes);
    size_t end = png::zlibHeaderLength;
    for (size_t i = 0; i < layout.count; ++i) {
        if (layout.offset[i] != end || layout.area[i] != png::deflatePieceBound(pieces.length(i))) {
            fail("areas not laid end to end, each its own piece's bound", pieces.count, rows, lineBytes);
        }
        end += layout.area[i];
    }
    if (end + png::zlibTrailerLength != layout.total) fail("total is not the areas' sum", pieces.count, rows, lineBytes);

    std::vector<uint8_t> stream(layout.total);
    size_t written[png::maxStreamPieces] = {};
    uint32_t adlers[png::maxStreamPieces] = {};
    for (size_t i = 0; i < layout.count; ++i) {
        const uint8_t* piece = input.data() + pieces.start(i);
        const bool last = i + 1 == layout.count;
        uint8_t* area = stream.data() + layout.offset[i];
        written[i] = unmatched ? png::compressDeflateUnmatchedPiece(how, last, piece, pieces.length(i), area, layout.area[i])
                          : png::compressDeflatePiece(png::DeflateLevel(level), last, piece, pieces.length(i), area, layout.area[i]);
        if (written[i] == 0) fail("a piece did not fit its area", pieces.count, rows, lineBytes);
        adlers[i] = png::updateAdler32(1, piece, pieces.length(i));
    }
    const size_t length = png::joinPieces(layout, pieces, png::DeflateLevel(level), written, adlers, stream.data());
    if (length == 0 || length > layout.total) fail("join failed", pieces.count, rows, lineBytes);

    std::vector<uint8_t> inflated(input.size());
    png::InflateCounts counts;
    const png::InflateStatus status = png::inflateInto(stream.data(), length, inflated.data(), inflated.size(), &counts);
    if (status != png::InflateStatus::complete || counts.consumed != length || inflated != input) {
        fail("joined stream does not inflate to the input", pieces.count, rows, lineBytes);
    }
    return 0;
}
