// The PNG reader over a byte source: the chunk walk (every chunk's CRC
// checked, the last IHDR used, the IDAT data gathered in one buffer and
// bounded by what can belong to the image), the header checks, and the
// image inflated and rebuilt into the caller's buffer. Pure: no Python; each
// failure is a problem code for the binding to turn into its message.
#pragma once

#include "convert.hpp"
#include "framing.hpp"
#include "output_format.hpp"
#include "header.hpp"
#include "inflate.hpp"

#include "../buffer.hpp"
#include "../byte_source.hpp"
#include "../decode_host.hpp"
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
    header,          // the header used fails the subset's checks: `header` says which
    format,          // the header used is not one the format allows: `format` says why
    noPalette,       // a palette image without a PLTE chunk
    paletteSize,     // a PLTE chunk of `size` bytes: not whole entries, or more than 256
    imageTooLarge,   // the image's RGB bytes cannot be addressed
    malformed,       // IDAT data too long for the image, or inflating to the wrong size
    badFilter,       // a row's filter type above 4: `filterType`
    zlib,            // zlib refused the IDAT stream: `zlib`
    hostFailed,      // the host could not make the image's buffer: its own error stands
};

struct PngOutcome {
    PngProblem problem = PngProblem::none;
    IhdrProblem header = IhdrProblem::None;
    FormatProblem format = FormatProblem::None;
    int32_t colorType = -1, bitDepth = -1;  // with `format`
    uint64_t size = 0;
    int filterType = -1;
    ZlibFailure zlib;

    bool ok() const noexcept { return problem == PngProblem::none; }
    static PngOutcome of(PngProblem kind) noexcept {
        PngOutcome outcome;
        outcome.problem = kind;
        return outcome;
    }
};

// What the chunk walk keeps.
struct PngFile {
    Ihdr header;        // the last IHDR's fields (-1 where none was read)
    ByteBuffer idat;    // every IDAT chunk's data, in order
    bool havePalette = false;  // the last PLTE chunk:
    uint64_t paletteLength = 0;
    uint8_t palette[256 * 3] = {};  // its first 256 entries
    bool haveTransparency = false;  // the last tRNS chunk:
    uint64_t transparencyLength = 0;
    uint8_t transparency[256] = {};  // its first 256 bytes
};

// Which images a decode takes: the 8-bit RGB and RGBA subset of SimpleImage
// (with its messages), or every image the format allows.
enum class PngAccepts { rgb8Subset, everyFormat };

// What decoding the image needs, once its header is checked.
struct PngPlan {
    RowLayout layout;
    int64_t inflatedSize = 0;
    int64_t imageBytes = 0;   // width * height * the output's bytes a pixel
    int64_t bufferBytes = 0;  // what decodePngImage's buffer must hold
    Palette palette;
    OutputFormat format;      // the pixels asked for (8-bit RGB unless told)
    PixelShape shape;         // what they are for this image
    Transparency transparency;
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
// the IHDR checks of `accepts`, then the palette; on success what decoding
// the image into `format` needs.
PngOutcome planPngImage(const PngFile& file, const DecodeLimits& limits, PngAccepts accepts, PngPlan* plan,
                        OutputFormat format = OutputFormat()) noexcept;

// Whether the IDAT data could inflate to `inflatedSize` bytes at all: when it
// could not, decodePngImage needs no buffer to say so.
bool couldFill(size_t idatLength, int64_t inflatedSize) noexcept;

// Inflates the IDAT data idat[0, idatLength) and rebuilds the image in
// buffer[0, plan.bufferBytes), its pixels (in the plan's format) left at the start. Without
// Adam7 the scanlines are inflated into the buffer itself and the image
// rebuilt there; with it they go to scratch of their own, allocated here.
// `buffer` may be null when couldFill is false (the outcome is then always a
// failure); it must not overlap the IDAT data.
PngOutcome decodePngImage(const uint8_t* idat, size_t idatLength, const PngPlan& plan, uint8_t* buffer) noexcept;

// What decodePng is asked for.
struct PngRequest {
    DecodeLimits limits;
    PngAccepts accepts = PngAccepts::everyFormat;
    OutputFormat format;         // 8-bit RGB unless told
    bool signatureRead = false;  // the caller has read and checked the signature
};

// What decodePng found: the header used (its fields -1 where none was read,
// also on failure, so that a refusal above the cap can name the size) and,
// on success, the plan the image was decoded by (its output shape, its size).
struct PngDecoded {
    Ihdr header;
    PngPlan plan;
};

// The whole read of a PNG file from the source's position: the chunk walk,
// the header checks, the image's buffer from the host, then the image
// inflated and rebuilt into it in the format asked for. The source is left
// just after the last byte read.
PngOutcome decodePng(ByteSource& source, const PngRequest& request, DecodeHost& host, PngDecoded* decoded) noexcept;

}  // namespace lumivex::png
