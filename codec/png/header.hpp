// The PNG image header (IHDR) as the reader sees it, its checks and the size
// arithmetic that follows from it. Pure: no Python types, no allocation.
#pragma once

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

}  // namespace lumivex::png
