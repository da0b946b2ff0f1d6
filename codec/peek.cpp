#include "peek.hpp"

#include "png/deflate.hpp"

#include <cstring>

namespace lumivex {
namespace {

uint32_t bigEndian32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}
uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t littleEndian16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

constexpr uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

PeekProblem peekPng(const uint8_t* data, size_t n, PeekedHeader* header) {
    constexpr size_t ihdrEnd = 8 + 8 + 13 + 4;
    if (n < 16) return PeekProblem::truncated;
    if (bigEndian32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0) return PeekProblem::noIhdr;
    if (n < ihdrEnd) return PeekProblem::truncated;
    if (png::updateCrc32(0, data + 12, 17) != bigEndian32(data + 29)) return PeekProblem::ihdrCrc;
    const uint8_t* fields = data + 16;
    header->png = true;
    header->width = bigEndian32(fields);
    header->height = bigEndian32(fields + 4);
    header->bitDepth = fields[8];
    header->colourType = fields[9];
    header->interlace = fields[12];
    return PeekProblem::none;
}

// Windows compression values with masks: BI_BITFIELDS and BI_ALPHABITFIELDS.
constexpr uint32_t bitFields = 3, alphaBitFields = 6;

PeekProblem peekBmp(const uint8_t* data, size_t n, PeekedHeader* header) {
    constexpr size_t info = 14;
    if (n < info + 4) return PeekProblem::truncated;
    const uint32_t size = littleEndian32(data + info);
    header->headerSize = size;
    if (size == 12) {  // the OS/2 core header: 16-bit fields, no compression
        if (n < info + 12) return PeekProblem::truncated;
        header->width = littleEndian16(data + info + 4);
        header->height = littleEndian16(data + info + 6);
        header->bitCount = littleEndian16(data + info + 10);
        return PeekProblem::none;
    }
    if (size < 16 || n < info + 16) return PeekProblem::truncated;
    header->width = static_cast<int32_t>(littleEndian32(data + info + 4));
    header->height = static_cast<int32_t>(littleEndian32(data + info + 8));
    header->bitCount = littleEndian16(data + info + 14);
    if (size >= 20 && n >= info + 20) header->compression = littleEndian32(data + info + 16);
    // The alpha mask, where a Windows header has one: in the 56-byte, V4 and
    // V5 headers with BI_BITFIELDS, and with BI_ALPHABITFIELDS also right
    // after a 40- or 52-byte header; 52 bytes into the header either way.
    const bool windows = size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
    const bool masked = windows && ((size >= 56 && header->compression == bitFields) ||
                                    header->compression == alphaBitFields);
    if (masked && n >= info + 56) header->alphaMask = littleEndian32(data + info + 52) != 0;
    return PeekProblem::none;
}

}  // namespace

PeekProblem peekHeader(const uint8_t* data, size_t n, PeekedHeader* header) noexcept {
    *header = PeekedHeader();
    if (n >= 8 && std::memcmp(data, pngSignature, 8) == 0) return peekPng(data, n, header);
    if (n >= 2 && data[0] == 'B' && data[1] == 'M') return peekBmp(data, n, header);
    const bool signatureCut = n > 0 && n < 8 && std::memcmp(data, pngSignature, n) == 0;
    return signatureCut || (n == 1 && data[0] == 'B') ? PeekProblem::truncated : PeekProblem::unknownFormat;
}

}  // namespace lumivex
