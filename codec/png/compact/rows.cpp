#include "rows.hpp"

#include "policy.hpp"
#include "schedule.hpp"

#include <algorithm>

namespace lumivex::png::compact {
namespace {

// Room for the stream of len scanline bytes whole or in pieces, whichever is
// larger; 0 when too large.
size_t wholeOrPiecesBound(size_t len, size_t lineBytes) {
    const size_t whole = zlibCompressBound(len);
    const size_t pieces = layOutPieces(piecesOf(len, lineBytes)).total;
    return whole == 0 || pieces == 0 ? 0 : std::max(whole, pieces);
}

}  // namespace

Sample sampleOf(size_t height, size_t lineBytes, size_t stripBytes) noexcept {
    const size_t stripRows = std::max<size_t>(1, (stripBytes == 0 ? stripTargetBytes : stripBytes) / lineBytes);
    if (height <= minSampleStrips * stripRows) return {1, height, height};
    const size_t strips = std::clamp(height / (sampleFraction * stripRows), minSampleStrips, maxSampleStrips);
    return {strips, stripRows, height};
}

bool worthWeighingWhole(size_t height, size_t lineBytes) noexcept {
    return double(sampleOf(height, lineBytes).bytes(lineBytes)) >= wholeWeighingShare * double(height * lineBytes);
}

size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) noexcept {
    // A small image or one worth weighing whole, or the sample of any layout of this image (rows
    // no longer than these): eight strips of at most stripTargetBytes or a row each, or a sixteenth.
    // The ways that seek no strings may deflate a small image in pieces there.
    if (worthWeighingWhole(scanlineBytes / lineBytes, lineBytes)) return wholeOrPiecesBound(scanlineBytes, lineBytes);
    const size_t sampleBytes =
        std::max(minSampleStrips * std::max(stripTargetBytes, lineBytes), scanlineBytes / sampleFraction);
    return zlibCompressBound(std::min(scanlineBytes, std::max(smallScanlines, sampleBytes)));
}

size_t streamCapacity(size_t len, size_t lineBytes) noexcept {
    return worthTwoThreads(len, lineBytes) ? wholeOrPiecesBound(len, lineBytes) : zlibCompressBound(len);
}

void filterOnTwoThreads(const Image& image, FilterStrategy strategy, uint8_t* out) {
    const size_t stride = image.rowStride;
    if (!worthTwoThreads(image.scanlineBytes(), stride + 1)) {
        filterImage(image.pixels, stride, image.height, image.bpp, strategy, out);
        return;
    }
    const RowParts chunks = filterChunksOf(image.height, stride + 1);
    shareTasks(chunks.count, [&](size_t i, size_t) {
        filterImageRows(image.pixels, stride, chunks.firstRow(i), chunks.firstRow(i + 1), image.bpp, strategy,
                        out + chunks.start(i));
    });
}

}  // namespace lumivex::png::compact
