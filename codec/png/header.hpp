// The PNG image header (IHDR) as the reader sees it, its checks and the size
// arithmetic that follows from it. Pure: no Python types, no allocation.
#pragma once

#include "../limits.hpp"

#include <algorithm>
#include <cstdint>

namespace lumivex::png {

enum class ColorType : int32_t { Grey = 0, Rgb = 2, Indexed = 3, GreyAlpha = 4, Rgba = 6 };

// Samples per pixel of a colour type the format defines; 0 for any other.
constexpr int32_t channelsOf(int32_t colorType) noexcept {
    switch (colorType) {
        case 0: case 3: return 1;
        case 4: return 2;
        case 2: return 3;
        case 6: return 4;
        default: return 0;
    }
}

// The bit depths the format allows for each colour type.
constexpr bool allowedBitDepth(int32_t colorType, int32_t bitDepth) noexcept {
    switch (colorType) {
        case 0: return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
        case 3: return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
        case 2: case 4: case 6: return bitDepth == 8 || bitDepth == 16;
        default: return false;
    }
}

// The seven IHDR fields, each a 32-bit int; -1 until an IHDR chunk sets them.
struct Ihdr {
    int32_t width = -1;
    int32_t height = -1;
    int32_t bitDepth = -1;
    int32_t colorType = -1;
    int32_t compression = -1;
    int32_t filterMethod = -1;
    int32_t interlace = -1;

    // Whether an IHDR chunk has set every field.
    constexpr bool complete() const noexcept {
        const int32_t fields[] = {width, height, bitDepth, colorType, compression, filterMethod, interlace};
        for (int32_t field : fields) {
            if (field == -1) return false;
        }
        return true;
    }
};

// What is wrong with a header, in the order the checks are made.
enum class IhdrProblem { None, Incomplete, BitDepth, ColorType, Configuration };

// Only 8-bit RGB and RGBA, compression, filter and interlace method 0.
constexpr IhdrProblem checkIhdr(const Ihdr& header) noexcept {
    if (!header.complete()) return IhdrProblem::Incomplete;
    if (header.bitDepth != 8) return IhdrProblem::BitDepth;
    if (header.colorType != int32_t(ColorType::Rgb) && header.colorType != int32_t(ColorType::Rgba)) {
        return IhdrProblem::ColorType;
    }
    if (header.compression != 0 || header.filterMethod != 0 || header.interlace != 0) {
        return IhdrProblem::Configuration;
    }
    return IhdrProblem::None;
}

// What is wrong with a header for a reader of every valid PNG, in the order
// the checks are made.
enum class FormatProblem { None, Incomplete, ColorType, BitDepth, Configuration };

constexpr FormatProblem checkFormat(const Ihdr& header) noexcept {
    if (!header.complete()) return FormatProblem::Incomplete;
    if (channelsOf(header.colorType) == 0) return FormatProblem::ColorType;
    if (!allowedBitDepth(header.colorType, header.bitDepth)) return FormatProblem::BitDepth;
    if (header.compression != 0 || header.filterMethod != 0 || (header.interlace != 0 && header.interlace != 1)) {
        return FormatProblem::Configuration;
    }
    return FormatProblem::None;
}

// The decoder supports images whose inflated data fits in a signed 32-bit size.
constexpr int64_t maxInflatedSize = INT32_MAX;

// The shape of the inflated data of a checked header: `height` rows, each a
// filter byte and `rowStride` bytes (for Adam7, each pass's rows in turn).
struct RowLayout {
    int64_t width;
    int64_t height;
    int64_t channels;     // samples per pixel: 3 for RGB, 4 for RGBA
    int64_t rowStride;    // bytes of one reconstructed row of the whole width
    int32_t colorType = int32_t(ColorType::Rgb);
    int32_t bitDepth = 8;
    bool interlaced = false;

    constexpr int64_t bitsPerPixel() const noexcept { return channels * bitDepth; }
    // Bytes of a reconstructed row of `pixels` pixels (a whole number of
    // bytes a pixel multiplies exactly, also for the negative widths a
    // replaced struct module can produce).
    constexpr int64_t bytesFor(int64_t pixels) const noexcept {
        const int64_t bits = bitsPerPixel();
        return bits % 8 == 0 ? pixels * (bits / 8) : (pixels * bits + 7) / 8;
    }
    // The distance to the byte a filter predicts from: a whole pixel, or one byte below 8 bits.
    constexpr int64_t filterBytes() const noexcept { return bitsPerPixel() < 8 ? 1 : bitsPerPixel() / 8; }
    constexpr bool isRgbOrRgba8() const noexcept { return bitDepth == 8 && (channels == 3 || channels == 4) && !interlaced; }
};

// The layout of a header whose colour type and depth the format allows (or
// the subset's 8-bit RGB and RGBA).
constexpr RowLayout rowLayout(const Ihdr& header) noexcept {
    const int64_t channels = channelsOf(header.colorType);
    RowLayout layout{header.width, header.height, channels, 0, header.colorType, header.bitDepth, header.interlace == 1};
    layout.rowStride = layout.bytesFor(header.width);
    return layout;
}

// The seven passes of Adam7: where each starts and its steps across and down.
struct Adam7Pass {
    int64_t x0, y0, dx, dy;
};
constexpr Adam7Pass adam7Passes[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// Pixels of a pass along one side of `size` pixels.
constexpr int64_t passSpan(int64_t size, int64_t start, int64_t step) noexcept {
    return size > start ? (size - start + step - 1) / step : 0;
}

// (rowStride + 1) * height into *size (for Adam7, the sum of that over the
// passes that have pixels: an empty pass adds nothing, not even a filter
// byte); false when it overflows or exceeds maxInflatedSize. Header fields
// come from the interpreter's struct module, which callers may replace, so a
// negative size passes through unchanged for the inflater to refuse.
constexpr bool inflatedSize(const RowLayout& layout, int64_t* size) noexcept {
    int64_t product = 0;
    if (!layout.interlaced) {
        if (__builtin_mul_overflow(layout.rowStride + 1, layout.height, &product)) return false;
    } else {
        for (const Adam7Pass& pass : adam7Passes) {
            const int64_t columns = passSpan(layout.width, pass.x0, pass.dx);
            const int64_t rows = passSpan(layout.height, pass.y0, pass.dy);
            if (columns != 0 && rows != 0) product += (layout.bytesFor(columns) + 1) * rows;  // each below 2^36
        }
    }
    if (product > maxInflatedSize) return false;
    *size = product;
    return true;
}

// --- how much IDAT data can belong to an image

// The longest zlib stream that inflates to `inflated` bytes: deflate's stored
// blocks (5 bytes of framing per 65535 bytes of data, at least one block),
// behind the 2-byte header and before the 4-byte Adler-32.
constexpr uint64_t longestZlibStream(uint64_t inflated) noexcept {
    const uint64_t blocks = std::max<uint64_t>(1, (inflated + 65534) / 65535);
    return 2 + inflated + 5 * blocks + 4;
}

// IDAT data after the end of the zlib stream is ignored, as zlib ignores it;
// this much beyond the longest stream is still read, for encoders that pad.
constexpr uint64_t idatSlack = uint64_t(16) << 20;

// The inflated size of an image of this header as the PNG format lays it out
// (a filter byte per row; Adam7 adds at most two bytes per row of each of its
// seven passes). A field not set or not valid for PNG counts at its widest, so
// the result bounds whatever header may yet be accepted. Saturates.
constexpr uint64_t formatInflatedSize(const Ihdr& header) noexcept {
    uint64_t channels = 4;  // RGBA, the widest, for a colour type unknown or not set
    switch (header.colorType) {
        case 0: case 3: channels = 1; break;
        case 4: channels = 2; break;
        case 2: channels = 3; break;
        default: break;
    }
    const bool knownDepth = header.bitDepth >= 1 && header.bitDepth <= 16;
    const uint64_t bitsPerPixel = channels * (knownDepth ? uint64_t(header.bitDepth) : 16);
    const uint64_t width = header.width < 0 ? uint64_t(INT32_MAX) : uint64_t(header.width);
    const uint64_t height = header.height < 0 ? uint64_t(INT32_MAX) : uint64_t(header.height);
    const uint64_t rowBytes = (width * bitsPerPixel + 7) / 8;  // below 2^38: no overflow
    uint64_t size = 0;
    if (__builtin_mul_overflow(rowBytes + 1, height, &size)) return UINT64_MAX;
    if (header.interlace != 0 && __builtin_add_overflow(size, 14 * height + 14, &size)) return UINT64_MAX;
    return size;
}

// The largest inflated size of an image the reader accepts under `limits`:
// its 16-bit RGBA rows are 8 bytes a pixel and a filter byte, so w*h <= cap
// gives at most 9 * cap bytes (a row per pixel at worst; Adam7 adds less
// than a filter byte per pixel).
constexpr uint64_t largestAcceptedInflatedSize(const DecodeLimits& limits) noexcept {
    const uint64_t underCap = limits.maxPixels > UINT64_MAX / 9 ? UINT64_MAX : 9 * limits.maxPixels;
    return std::min<uint64_t>(underCap, maxInflatedSize);
}

// The most IDAT data that can belong to the image: that of the header in
// force (none set yet when `haveHeader` is false: the largest image accepted).
constexpr uint64_t idatLimit(const Ihdr& header, bool haveHeader, const DecodeLimits& limits) noexcept {
    const uint64_t largest = largestAcceptedInflatedSize(limits);
    const uint64_t inflated = haveHeader ? std::min(formatInflatedSize(header), largest) : largest;
    return longestZlibStream(inflated) + idatSlack;
}

}  // namespace lumivex::png
