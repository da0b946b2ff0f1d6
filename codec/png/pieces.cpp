#include "pieces.hpp"

#include "deflate.hpp"

#include <cstring>

namespace lumivex::png {

PieceLayout layOutPieces(const RowParts& pieces) noexcept {
    PieceLayout layout;
    if (pieces.count == 0 || pieces.count > maxStreamPieces) return layout;
    size_t end = zlibHeaderLength;
    for (size_t i = 0; i < pieces.count; ++i) {
        const size_t area = deflatePieceBound(pieces.length(i));
        if (area == 0 || __builtin_add_overflow(end, area, &end)) return layout;
        layout.offset[i] = end - area;
        layout.area[i] = area;
    }
    if (__builtin_add_overflow(end, zlibTrailerLength, &layout.total)) return PieceLayout();
    layout.count = pieces.count;
    return layout;
}

size_t joinPieces(const PieceLayout& layout, const RowParts& pieces, DeflateLevel level, const size_t written[],
                  const uint32_t adlers[], uint8_t* dst) noexcept {
    for (size_t i = 0; i < layout.count; ++i) {
        if (written[i] == 0 || written[i] > layout.area[i]) return 0;
    }
    putZlibHeader(level, dst);
    uint8_t* end = dst + zlibHeaderLength;
    uint32_t adler = 1;
    for (size_t i = 0; i < layout.count; ++i) {
        // Closes the gap the areas before left: never past this piece's own area.
        std::memmove(end, dst + layout.offset[i], written[i]);
        end += written[i];
        adler = combineAdler32(adler, adlers[i], pieces.length(i));
    }
    putZlibTrailer(adler, end);
    return size_t(end - dst) + zlibTrailerLength;
}

}  // namespace lumivex::png
