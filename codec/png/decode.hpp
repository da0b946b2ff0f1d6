// The PNG reader over a byte source: the chunk walk (every chunk's CRC
// checked, the last IHDR used, the IDAT data gathered in one buffer and
// bounded by what can belong to the image), the header checks, and the
// image inflated and rebuilt into the caller's buffer. Pure: no Python; each
// failure is a problem code for the binding to turn into its message.
#pragma once

#include "framing.hpp"
#include "header.hpp"
#include "inflate.hpp"

#include "../buffer.hpp"
#include "../byte_source.hpp"
#include "../limits.hpp"

namespace lumivex::png {

enum class PngProblem {
    none,
    sourceFailed,    // the source could not be read
    outOfMemory,
    signature,       // the first 8 bytes are not the PNG signature
    eofInLength,     // the data ends inside a chunk's length, type, data or CRC
    eofInType,
    eofInData,
    eofInCrc,
    corruptedChunk,  // a stored CRC differs from the computed one
    ihdrSize,        // IHDR data not 13 bytes: `size` holds its length
    ihdrOverflow,    // an IHDR width or height of 2^31 or more
    overCap,         // the header used declares more pixels than the limits allow
    header,          // the header used fails a check: `header` says which
    malformed,       // IDAT data too long for the image, or inflating to the wrong size
    badFilter,       // a row's filter type above 4: `filterType`
    zlib,            // zlib refused the IDAT stream: `zlib`
};

struct PngOutcome {
    PngProblem problem = PngProblem::none;
    IhdrProblem header = IhdrProblem::None;
    uint64_t size = 0;
    int filterType = -1;
    ZlibFailure zlib;

    bool ok() const noexcept { return problem == PngProblem::none; }
};

// What the chunk walk keeps.
struct PngFile {
    Ihdr header;        // the last IHDR's fields (-1 where none was read)
    ByteBuffer idat;    // every IDAT chunk's data, in order
};

// Reads chunks from the source's position until IEND or a clean end of the
// data (nothing where a length would be), as the module's _readChunk reads
// them; the source is left just after the last byte read, also on failure.
// An IDAT chunk longer than what can still belong to the image (idatLimit)
// is refused at its head, before its data is read.
PngOutcome readPngChunks(ByteSource& source, const DecodeLimits& limits, PngFile* file) noexcept;

// The signature, then readPngChunks.
PngOutcome readPngFile(ByteSource& source, const DecodeLimits& limits, PngFile* file) noexcept;

// The header used, checked: the cap first (when it has both sides), then
// the IHDR checks; on success its row layout and inflated size.
PngOutcome checkPngHeader(const Ihdr& header, const DecodeLimits& limits, RowLayout* layout,
                          int64_t* inflatedSize) noexcept;

// Whether the IDAT data could inflate to `inflatedSize` bytes at all: when it
// could not, decodePngImage needs no buffer to say so.
bool couldFill(size_t idatLength, int64_t inflatedSize) noexcept;

// Inflates the IDAT data idat[0, idatLength) into scanlines[0, inflatedSize)
// and rebuilds the rows there, the image's RGB pixels packed at its start.
// `scanlines` may be null when couldFill is false (the outcome is then
// always a failure); it must not overlap the IDAT data.
PngOutcome decodePngImage(const uint8_t* idat, size_t idatLength, const RowLayout& layout, uint8_t* scanlines,
                          int64_t inflatedSize) noexcept;

}  // namespace lumivex::png
