#include "framing.hpp"

#include "deflate.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png {
namespace {

size_t idatChunkCount(size_t streamLength) { return streamLength == 0 ? 1 : (streamLength - 1) / maxChunkData + 1; }

}  // namespace

uint8_t* putBigEndian(uint8_t* out, uint32_t value) noexcept {
    for (int shift : {24, 16, 8, 0}) *out++ = static_cast<uint8_t>(value >> shift);
    return out;
}

uint8_t* putChunk(uint8_t* out, const char type[4], const uint8_t* data, size_t length) noexcept {
    out = putBigEndian(out, static_cast<uint32_t>(length));
    std::memcpy(out, type, 4);
    if (length > 0) std::memcpy(out + 4, data, length);
    const uint32_t crc = updateCrc32(0, out, 4 + length);
    return putBigEndian(out + 4 + length, crc);
}

size_t pngFileLength(const PngLayout& layout, size_t streamLength) noexcept {
    const size_t palette = layout.colourType == 3 ? chunkFraming + 3 * size_t(layout.paletteSize) : 0;
    return sizeof signatureBytes + (chunkFraming + ihdrLength) + palette + idatChunkCount(streamLength) * chunkFraming +
           streamLength + chunkFraming;
}

void putPngFile(uint32_t width, uint32_t height, const PngLayout& layout, const uint8_t* stream, size_t streamLength,
                uint8_t* out) noexcept {
    std::memcpy(out, signatureBytes, sizeof signatureBytes);
    out += sizeof signatureBytes;
    uint8_t ihdr[ihdrLength];
    putBigEndian(putBigEndian(ihdr, width), height);
    // Bit depth, colour type, then deflate, adaptive filtering, no interlace.
    const uint8_t depthAndMethods[5] = {static_cast<uint8_t>(layout.bitDepth), static_cast<uint8_t>(layout.colourType),
                                        0, 0, 0};
    std::memcpy(ihdr + 8, depthAndMethods, 5);
    out = putChunk(out, "IHDR", ihdr, sizeof ihdr);
    if (layout.colourType == 3) out = putChunk(out, "PLTE", layout.palette, 3 * size_t(layout.paletteSize));
    size_t done = 0;
    do {
        const size_t piece = std::min(maxChunkData, streamLength - done);
        out = putChunk(out, "IDAT", stream + done, piece);
        done += piece;
    } while (done < streamLength);
    putChunk(out, "IEND", nullptr, 0);
}

}  // namespace lumivex::png
