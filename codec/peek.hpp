// The size and stored layout of a PNG or BMP file from its first bytes, read
// without decoding anything or checking more than where the fields lie: what
// a file holds, also when a reader refuses it. Pure: no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex {

enum class PeekProblem {
    none,
    unknownFormat,  // neither the PNG signature nor "BM"
    truncated,      // the data ends inside the fields
    noIhdr,         // the PNG's first chunk is not a 13-byte IHDR
    ihdrCrc,        // the IHDR's CRC does not match
};

struct PeekedHeader {
    bool png = false;  // else BMP
    int64_t width = 0;
    int64_t height = 0;  // a BMP's is negative for rows stored top-down
    // PNG
    int colourType = 0, bitDepth = 0, interlace = 0;
    // BMP
    uint32_t headerSize = 0, bitCount = 0, compression = 0;
    bool alphaMask = false;  // a 32- or 16-bit BMP whose masks give alpha
};

// Bytes that hold every field peekHeader reads.
constexpr size_t peekBytes = 8 + 8 + 13 + 4 + 56;

// Reads the fields from data[0, n).
PeekProblem peekHeader(const uint8_t* data, size_t n, PeekedHeader* header) noexcept;

}  // namespace lumivex
