// PNG framing as the writers lay it out: the signature, big-endian fields, and
// chunks (length, type, data, CRC-32 of type and data). Pure: no Python.
#pragma once

#include "reduce.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// The 8-byte PNG file signature.
inline constexpr char signatureBytes[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

// PNG caps a chunk's length at 2^31 - 1; a longer zlib stream spans several IDAT chunks.
constexpr size_t maxChunkData = 0x7FFFFFFF;
constexpr size_t chunkFraming = 12;  // length, type, CRC
constexpr size_t ihdrLength = 13;

// Writes value big-endian at out; returns the end.
uint8_t* putBigEndian(uint8_t* out, uint32_t value) noexcept;

// Writes one framed chunk at out (length, type, data, CRC); returns the end.
uint8_t* putChunk(uint8_t* out, const char type[4], const uint8_t* data, size_t length) noexcept;

// The length of a PNG file of `layout` around a zlib stream of streamLength
// bytes: signature, IHDR, PLTE for a palette, the stream in as many IDAT
// chunks as it needs, IEND.
size_t pngFileLength(const PngLayout& layout, size_t streamLength) noexcept;

// Writes that file at out (pngFileLength(layout, streamLength) bytes).
void putPngFile(uint32_t width, uint32_t height, const PngLayout& layout, const uint8_t* stream, size_t streamLength,
                uint8_t* out) noexcept;

}  // namespace lumivex::png
