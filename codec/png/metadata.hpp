// A PNG file's chunks without its image: every chunk walked and its CRC
// checked, as the reader does, but the image data read through, neither kept
// nor inflated, so that reading what a file says of itself costs a pass over
// its bytes. Pure: no Python.
#pragma once

#include "chunk_io.hpp"

namespace lumivex::png {

// Where a chunk lies: before the PLTE chunk (and any image data), between
// the PLTE chunk and the image data, or after the first IDAT chunk.
enum class ChunkPlace : int { beforePalette = 0, beforeImageData = 1, afterImageData = 2 };

class ChunkVisitor {
public:
    virtual ~ChunkVisitor() = default;
    // Each chunk but IDAT and IEND, in file order, once its CRC is checked;
    // false stops the walk.
    virtual bool chunk(const ChunkHead& head, const uint8_t* data, size_t length, ChunkPlace place) noexcept = 0;
};

// The signature, then every chunk to IEND or a clean end of the data. On a
// visitor's false, *stopped is set and the walk ends with no problem.
PngOutcome walkPngChunks(ByteSource& source, ChunkVisitor& visitor, bool* stopped) noexcept;

}  // namespace lumivex::png
