// A 24-bit BMP read in one piece: the layout from its headers' bytes, then
// its stored rows converted to RGB pixels in one pass. Pure: no Python, no
// allocation.
//
// Only a plainly valid file is taken: what the stream reader would decode
// without a complaint. Anything else is left to the stream reader, whose
// checks and messages are the module's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::bmp {

struct WholeBmp {
    int64_t width = 0;   // at least 1
    int64_t height = 0;  // negative for rows stored top-down
    int64_t rows = 0;    // |height|, at least 1
    int64_t rowStride = 0;
    int64_t pixelOffset = 0;
    int64_t pixelBytes = 0;  // width * rows * 3
};

// The headers' size: the file header and the 40-byte information header.
constexpr size_t wholeBmpHeaders = 54;

// The layout of a file of `fileLength` bytes starting with `headers` (its
// first wholeBmpHeaders bytes) when it is a BMP the stream reader would
// decode: the "BM" file header, a 40-byte information header for an
// uncompressed 24-bit image of one plane, a width and height of at least one
// pixel, every row's place in the image within 32-bit offsets, and all the
// stored rows inside the file. False for anything else.
bool readBmpLayout(const uint8_t* headers, uint64_t fileLength, WholeBmp* bmp) noexcept;

// `count` stored rows from row `first` on (count * rowStride bytes at
// `stored`), each to its place among the RGB pixels at out[0, bmp.pixelBytes).
void convertBmpRows(const uint8_t* stored, const WholeBmp& bmp, int64_t first, int64_t count, uint8_t* out) noexcept;

}  // namespace lumivex::bmp
