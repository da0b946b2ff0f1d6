// The BMP reader over a byte source: the 14-byte file header, the 40-byte
// BITMAPINFOHEADER of an uncompressed 24-bit image, then |height| stored rows
// of BGR pixels padded to four bytes, bottom-up for a positive height and
// top-down for a negative one. Pure: no Python; each failure is a problem
// code for the binding to turn into its message.
#pragma once

#include "formats.hpp"
#include "header.hpp"

#include "../byte_source.hpp"
#include "../decode_host.hpp"
#include "../limits.hpp"
#include "../png/output_format.hpp"

namespace lumivex::bmp {

enum class BmpProblem {
    none,
    sourceFailed,
    outOfMemory,
    fileHeader,      // fewer than 14 bytes, or no "BM"
    infoSizeShort,   // the data ends inside the information header's size field
    infoSize,        // an information header other than BITMAPINFOHEADER
    infoShort,       // the data ends inside the rest of the information header
    pixelFormat,     // not one plane of uncompressed 24-bit pixels
    tooLarge,        // width * rows * 3 bytes cannot be allocated
    negativeWidth,   // a negative width with rows
    rowOffset,       // a row would start past the 32-bit offsets of the pixel buffer
    incompletePixels,
    format,          // a layout the format does not allow or this reader does not take: `format`
    headerShort,     // the data ends inside an information header of another size than 40
    offsetPastEnd,   // every layout: the pixel data would start at or past the end of the data
    overCap,         // the image has more pixels than the limits allow
    hostFailed,      // the host could not make the image's buffer: its own error stands
};

// Which files a decode takes: SimpleImage's 24-bit BITMAPINFOHEADER subset
// (with its messages), or every layout readBmpLayout knows.
enum class BmpAccepts { subset, everyFormat };

struct BmpImage {
    BmpAccepts accepts = BmpAccepts::subset;
    InfoHeader info;
    BmpLayout layout;     // every layout: what readBmpLayout found
    FormatProblem format = FormatProblem::None;
    uint32_t problemValue = 0;
    int64_t rows = 0;         // |height|
    int64_t pixelOffset = 0;  // where the stored rows start
    int64_t pixelBytes = 0;   // width * rows * 3
};

// Reads the headers (and for every layout, the masks and palette) from the
// source's position and checks them, as image->accepts says; on success the
// image's shape, for the caller to check against its cap and to make a
// buffer of pixelBytes for.
BmpProblem readBmpHeaders(ByteSource& source, BmpImage* image) noexcept;

// Seeks to the stored rows and converts each into its place among the RGB
// pixels at out[0, image.pixelBytes), in stored order; a row missing or
// misplaced fails as it comes. With `alpha` (width * rows bytes), a layout
// with an alpha mask also puts each pixel's alpha there.
BmpProblem readBmpPixels(ByteSource& source, const BmpImage& image, uint8_t* out, uint8_t* alpha = nullptr) noexcept;

// What decodeBmp is asked for.
struct BmpRequest {
    DecodeLimits limits;
    BmpAccepts accepts = BmpAccepts::everyFormat;
    png::OutputFormat format;  // 8-bit RGB unless told
};

// What decodeBmp found: the headers (also on failure, for the message and the
// cap's refusal) and the output's shape.
struct BmpDecoded {
    BmpImage image;
    png::PixelShape shape;
};

// The whole read of a BMP file from the source's position: the headers and
// their checks, the cap, the image's buffer from the host, then the pixels
// in the format asked for. An alpha mask gives alpha wherever the format
// keeps it; a plane of zeros everywhere (as writers that fill none leave it)
// is opaque.
BmpProblem decodeBmp(ByteSource& source, const BmpRequest& request, DecodeHost& host, BmpDecoded* decoded) noexcept;

}  // namespace lumivex::bmp
