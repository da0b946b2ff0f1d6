// One zlib stream deflated as consecutive pieces of whole rows: where each
// piece is compressed in the output buffer, and how the pieces are joined into
// the stream. Pure: no Python, no allocation, no threads.
//
// Each piece is deflated into its own area, laid one after another behind the
// zlib header, every area as long as its own piece's worst case; the joining
// then moves each piece down onto the end of the one before. The layout is
// computed in one place, with a checked total, so that no caller can size an
// area from the wrong piece.
#pragma once

#include "deflate.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// Consecutive runs of whole rows: part i is rows [firstRow(i), firstRow(i + 1)).
struct RowParts {
    size_t count, rows, lineBytes;
    size_t firstRow(size_t i) const { return rows * i / count; }
    size_t start(size_t i) const { return firstRow(i) * lineBytes; }
    size_t length(size_t i) const { return start(i + 1) - start(i); }
};

// The most pieces one stream is laid out in.
constexpr size_t maxStreamPieces = 8;

// Where each piece's area lies in the output buffer, and how long it is.
struct PieceLayout {
    size_t count = 0;
    size_t offset[maxStreamPieces] = {};  // from the start of the output buffer
    size_t area[maxStreamPieces] = {};    // the piece's worst-case compressed length
    size_t total = 0;  // zlib header, every area and the trailer; 0 when the layout is impossible
};

// The areas of `pieces` (at most maxStreamPieces of them). total is 0 when
// there are no pieces or too many, a piece's bound is unknown, or the sum
// does not fit in size_t.
PieceLayout layOutPieces(const RowParts& pieces) noexcept;

// Joins pieces deflated into their areas: `written[i]` bytes of piece i, each
// no longer than its area, and `adlers[i]`, the Adler-32 of piece i's input.
// Writes the zlib header (with `level`'s informative bits) and trailer and
// returns the stream's length, which starts at dst; 0 if any piece is empty or
// longer than its area.
size_t joinPieces(const PieceLayout& layout, const RowParts& pieces, DeflateLevel level, const size_t written[],
                  const uint32_t adlers[], uint8_t* dst) noexcept;

}  // namespace lumivex::png
