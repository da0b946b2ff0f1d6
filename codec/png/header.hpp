// The PNG image header (IHDR) as the reader sees it, its checks and the size
// arithmetic that follows from it. Pure: no Python types, no allocation.
#pragma once

#include "../limits.hpp"

#include <algorithm>
#include <cstdint>

namespace lumivex::png {

enum class ColorType : int32_t { Rgb = 2, Rgba = 6 };

// The seven IHDR fields, each a 32-bit int; -1 until an IHDR chunk sets them.
struct Ihdr {
    int32_t width = -1;
    int32_t height = -1;
    int32_t bitDepth = -1;
    int32_t colorType = -1;
    int32_t compression = -1;
    int32_t filterMethod = -1;
    int32_t interlace = -1;
};

// What is wrong with a header, in the order the checks are made.
enum class IhdrProblem { None, Incomplete, BitDepth, ColorType, Configuration };

// Only 8-bit RGB and RGBA, compression, filter and interlace method 0.
constexpr IhdrProblem checkIhdr(const Ihdr& header) noexcept {
    const int32_t fields[] = {header.width,       header.height,       header.bitDepth, header.colorType,
                              header.compression, header.filterMethod, header.interlace};
    for (int32_t field : fields) {
        if (field == -1) return IhdrProblem::Incomplete;
    }
    if (header.bitDepth != 8) return IhdrProblem::BitDepth;
    if (header.colorType != int32_t(ColorType::Rgb) && header.colorType != int32_t(ColorType::Rgba)) {
        return IhdrProblem::ColorType;
    }
    if (header.compression != 0 || header.filterMethod != 0 || header.interlace != 0) {
        return IhdrProblem::Configuration;
    }
    return IhdrProblem::None;
}

// The decoder supports images whose inflated data fits in a signed 32-bit size.
constexpr int64_t maxInflatedSize = INT32_MAX;

// The shape of the inflated data of a checked header: `height` rows, each a
// filter byte and `rowStride` bytes.
struct RowLayout {
    int64_t width;
    int64_t height;
    int64_t channels;   // 3 for RGB, 4 for RGBA
    int64_t rowStride;  // bytes of one reconstructed row
};

constexpr RowLayout rowLayout(const Ihdr& header) noexcept {
    const int64_t channels = header.colorType == int32_t(ColorType::Rgb) ? 3 : 4;
    return {header.width, header.height, channels, header.width * channels};
}

// (rowStride + 1) * height into *size; false when it overflows or exceeds
// maxInflatedSize. Header fields come from the interpreter's struct module,
// which callers may replace, so a negative size passes through unchanged for
// the inflater to refuse.
constexpr bool inflatedSize(const RowLayout& layout, int64_t* size) noexcept {
    int64_t product = 0;
    if (__builtin_mul_overflow(layout.rowStride + 1, layout.height, &product)) return false;
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
// its 8-bit RGBA rows are 4 bytes a pixel and a filter byte, so w*h <= cap
// gives at most 5 * cap bytes (a row per pixel at worst).
constexpr uint64_t largestAcceptedInflatedSize(const DecodeLimits& limits) noexcept {
    const uint64_t underCap = limits.maxPixels > UINT64_MAX / 5 ? UINT64_MAX : 5 * limits.maxPixels;
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
