#include "formats.hpp"

#include "rows.hpp"

#include "../png/filter.hpp"

#include <algorithm>

namespace lumivex::bmp {
namespace {

uint32_t le32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

// Compression values as Windows defines them; OS/2 2.x gives 3 and 4 other meanings.
constexpr uint32_t plainRgb = 0, rle8 = 1, rle4 = 2, bitFields = 3, jpeg = 4, pngData = 5, alphaBitFields = 6;

constexpr size_t coreHeader = 12;

bool isWindowsHeader(uint32_t size) { return size == 40 || size == 52 || size == 56 || size == 108 || size == 124; }
bool isOs2Header(uint32_t size) { return size >= 16 && size <= 64 && !isWindowsHeader(size); }

bool knownBitCount(uint32_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// A mask whose set bits are one run (or none).
bool contiguous(uint32_t mask) {
    if (mask == 0) return true;
    const uint32_t run = mask >> __builtin_ctz(mask);
    return (run & (run + 1)) == 0;
}

FormatProblem compressionProblem(uint32_t compression, uint32_t bitCount, bool os2, uint32_t* value) {
    *value = compression;
    if (compression == plainRgb) return FormatProblem::None;
    if (!os2 && (compression == jpeg || compression == pngData)) return FormatProblem::Embedded;
    const bool masked = !os2 && (compression == bitFields || compression == alphaBitFields);
    if (masked && (bitCount == 16 || bitCount == 32)) return FormatProblem::None;
    if ((compression == rle8 && bitCount == 8) || (compression == rle4 && bitCount == 4)) return FormatProblem::None;
    return FormatProblem::Compression;  // OS/2 Huffman and RLE24, CMYK, or a mismatch
}

// The masks of 16- and 32-bit pixels: the defaults without compression, else
// from the header (52 bytes or more) or just after a 40-byte one.
bool readMasks(const uint8_t* info, size_t available, uint32_t size, uint32_t compression, BmpLayout* layout,
               size_t* position) {
    if (compression == plainRgb) {
        const uint32_t defaults16[3] = {0x7C00, 0x03E0, 0x001F}, defaults32[3] = {0xFF0000, 0xFF00, 0xFF};
        std::copy(layout->bitCount == 16 ? defaults16 : defaults32, (layout->bitCount == 16 ? defaults16 : defaults32) + 3,
                  layout->masks);
        return true;
    }
    const uint8_t* at = info + 40;
    if (size < 52) {
        const size_t bytes = compression == alphaBitFields ? 16 : 12;
        if (*position + bytes > available) return false;
        at = info + *position;
        *position += bytes;
    }
    for (int c = 0; c < 3; ++c) layout->masks[c] = le32(at + 4 * c);
    const uint32_t* m = layout->masks;
    if (!(contiguous(m[0]) && contiguous(m[1]) && contiguous(m[2]) && (m[0] & m[1]) == 0 && (m[0] & m[2]) == 0 &&
          (m[1] & m[2]) == 0)) {
        return false;
    }
    // The alpha mask, 52 bytes into the header: in the 56-byte, V4 and V5
    // headers with BI_BITFIELDS, and with BI_ALPHABITFIELDS after any. One
    // that overlaps a colour or is not one run is no alpha (never a refusal).
    const bool alphaField = isWindowsHeader(size) && ((size >= 56 && compression == bitFields) ||
                                                      compression == alphaBitFields);
    if (alphaField && available >= 56) {
        const uint32_t alpha = le32(info + 52);
        if (contiguous(alpha) && (alpha & (m[0] | m[1] | m[2])) == 0) layout->alphaMask = alpha;
    }
    return true;
}

}  // namespace

FormatProblem readBmpLayout(const uint8_t* info, size_t available, int64_t pixelOffset, BmpLayout* layout,
                            uint32_t* problemValue) noexcept {
    const uint32_t size = le32(info);
    *problemValue = size;
    const bool core = size == coreHeader, os2 = isOs2Header(size);
    if (!core && !os2 && !isWindowsHeader(size)) return FormatProblem::HeaderSize;
    // Fields past an OS/2 2.x header's size take their defaults (0).
    auto field32 = [&](size_t offset) { return offset + 4 <= size ? le32(info + offset) : 0u; };
    uint32_t planes, bitCount, compression = 0, coloursUsed = 0;
    if (core) {
        layout->width = le16(info + 4);
        layout->height = le16(info + 6);
        planes = le16(info + 8);
        bitCount = le16(info + 10);
    } else {
        layout->width = static_cast<int32_t>(le32(info + 4));
        layout->height = static_cast<int32_t>(le32(info + 8));
        planes = le16(info + 12);
        bitCount = le16(info + 14);
        compression = field32(16);
        coloursUsed = field32(32);
    }
    layout->planes = planes;
    layout->compression = compression;
    if (planes == 0) return FormatProblem::ZeroPlanes;
    // Embedded JPEG or PNG data comes with a bit count of 0.
    if (!os2 && (compression == jpeg || compression == pngData)) return FormatProblem::Embedded;
    *problemValue = bitCount;
    if (!knownBitCount(bitCount)) return FormatProblem::BitCount;
    const FormatProblem compressed = compressionProblem(compression, bitCount, os2, problemValue);
    if (compressed != FormatProblem::None) return compressed;
    layout->bitCount = static_cast<int>(bitCount);
    layout->indexed = bitCount <= 8;
    if (compression == rle8 || compression == rle4) {
        // Rows of run-length data run bottom-up: a top-down height has no meaning for them.
        if (layout->height < 0) return FormatProblem::TopDownRle;
        layout->rleBits = static_cast<int>(bitCount);
    }
    size_t position = size;
    if ((bitCount == 16 || bitCount == 32) && !readMasks(info, available, size, compression, layout, &position)) {
        return FormatProblem::Masks;
    }
    if (layout->indexed) {
        const uint64_t entrySize = core ? 3 : 4;
        const uint64_t room = pixelOffset > 14 ? uint64_t(pixelOffset - 14) : 0;
        uint64_t entries = coloursUsed != 0 ? coloursUsed : uint64_t(1) << bitCount;
        // Without a colour count (always so in the core header) a palette
        // shorter than the bit depth's ends where the pixel data starts, as
        // some writers have it.
        if (coloursUsed == 0 && room > position && position + entries * entrySize > room) {
            entries = (room - position) / entrySize;
        }
        const uint64_t kept = std::min<uint64_t>(entries, 256);
        if (entries == 0 || position + entries * entrySize > room || position + kept * entrySize > available) {
            return FormatProblem::Palette;
        }
        for (uint64_t i = 0; i < kept; ++i) {
            const uint8_t* entry = info + position + i * entrySize;
            layout->palette.rgb[3 * i] = entry[2];
            layout->palette.rgb[3 * i + 1] = entry[1];
            layout->palette.rgb[3 * i + 2] = entry[0];
        }
        position += static_cast<size_t>(entries * entrySize);
    }
    layout->headerBytes = 14 + static_cast<int64_t>(position);
    return FormatProblem::None;
}

int64_t storedRowBytes(int64_t width, int bitCount) noexcept {
    if (bitCount == 24) return storedRowStride(width);
    return (width * bitCount + 31) / 32 * 4;
}

BmpRowConverter::BmpRowConverter(const BmpLayout& layout) noexcept
    : bitCount_(layout.bitCount), indexed_({3, layout.indexed ? layout.bitCount : 8}, layout.palette) {
    if (bitCount_ != 16 && bitCount_ != 32) return;
    wholeBytes_ = bitCount_ == 32;
    for (int c = 0; c < 3; ++c) {
        const uint32_t mask = layout.masks[c];
        shift_[c] = mask == 0 ? 0 : __builtin_ctz(mask);
        values_[c] = mask >> shift_[c];
        wholeBytes_ = wholeBytes_ && values_[c] == 0xFF && shift_[c] % 8 == 0;
        byteOrder_[c] = static_cast<uint8_t>(shift_[c] / 8);
        // v * 255 // max: exact in 64 bits for any field of up to 32 bits.
        const uint64_t max = values_[c];
        for (uint64_t v = 0; max != 0 && v <= max && v < (1u << tableBits); ++v) {
            scale_[c][v] = static_cast<uint8_t>(v * 255 / max);
        }
    }
    alphaShift_ = layout.alphaMask == 0 ? 0 : __builtin_ctz(layout.alphaMask);
    alphaValues_ = layout.alphaMask >> alphaShift_;
}

void BmpRowConverter::alpha(const uint8_t* stored, size_t width, uint8_t* out) const noexcept {
    const uint64_t max = alphaValues_;
    for (size_t x = 0; x < width; ++x) {
        const uint32_t pixel = bitCount_ == 16 ? le16(stored + 2 * x) : le32(stored + 4 * x);
        out[x] = max == 0 ? 255 : static_cast<uint8_t>(uint64_t((pixel >> alphaShift_) & alphaValues_) * 255 / max);
    }
}

void BmpRowConverter::maskedToRgb(const uint8_t* stored, size_t width, uint8_t* out) const noexcept {
    for (size_t x = 0; x < width; ++x) {
        const uint32_t pixel = bitCount_ == 16 ? le16(stored + 2 * x) : le32(stored + 4 * x);
        for (int c = 0; c < 3; ++c) {
            const uint32_t value = (pixel >> shift_[c]) & values_[c];
            // Fields wider than a table (only in odd 32-bit masks) are scaled one by one.
            out[3 * x + c] = values_[c] < (1u << tableBits)
                                 ? scale_[c][value]
                                 : static_cast<uint8_t>(uint64_t(value) * 255 / values_[c]);
        }
    }
}

void BmpRowConverter::toRgb(const uint8_t* stored, size_t width, uint8_t* out) const noexcept {
    if (bitCount_ <= 8) return indexed_.toRgb(stored, width, out);
    if (bitCount_ == 24) return storedRowToRgb(stored, width, out);
    if (wholeBytes_) return png::pickThreeOfFour(stored, width, byteOrder_, out);
    maskedToRgb(stored, width, out);
}

}  // namespace lumivex::bmp
