// The BMP headers as the reader and writer see them, their checks and the
// size arithmetic that follows from them. Pure: no Python types, no allocation.
#pragma once

#include <cstdint>

namespace lumivex::bmp {

constexpr int64_t fileHeaderSize = 14;  // "BM", file size, two reserved fields, pixel data offset
constexpr int64_t infoHeaderSize = 40;  // BITMAPINFOHEADER, the only information header supported
constexpr int64_t pixelDataOffset = fileHeaderSize + infoHeaderSize;  // where the writer puts the rows
constexpr int64_t bitsPerPixel = 24;
constexpr int64_t pixelsPerMetre = 2835;  // 72 dpi, written as both resolutions

// The information header fields the reader looks at, as unpacked. Values
// come from the interpreter's struct module, which callers may replace, so
// they are held wider than the 32-bit fields they are stored in.
struct InfoHeader {
    int64_t size = 0;
    int64_t width = 0;
    int64_t height = 0;  // negative for rows stored top-down
    int64_t planes = 0;
    int64_t bitCount = 0;
    int64_t compression = 0;
};

// What is wrong with an information header, in the order the checks are made:
// the size first (it is read and checked before the rest of the header).
enum class InfoProblem { None, NotInfoHeader, NotUncompressed24Bit };

constexpr InfoProblem checkInfoHeaderSize(int64_t size) noexcept {
    return size == infoHeaderSize ? InfoProblem::None : InfoProblem::NotInfoHeader;
}

constexpr InfoProblem checkPixelFormat(const InfoHeader& header) noexcept {
    if (header.planes != 1 || header.bitCount != bitsPerPixel || header.compression != 0) {
        return InfoProblem::NotUncompressed24Bit;
    }
    return InfoProblem::None;
}

// Stored rows: |height|. `height` must not be INT64_MIN.
constexpr int64_t rowCount(int64_t height) noexcept { return height < 0 ? -height : height; }

enum class SizeProblem { None, TooLarge, Negative };

// width * rows * 3 bytes of RGB pixels into *size (untouched when TooLarge):
// TooLarge when that overflows or exceeds the largest object size, Negative
// for a negative width with rows (a zero-row image of any width has size 0).
constexpr SizeProblem pixelBufferSize(int64_t width, int64_t rows, int64_t* size) noexcept {
    int64_t product = 0;
    if (__builtin_mul_overflow(width, rows, &product) || __builtin_mul_overflow(product, int64_t(3), &product) ||
        product > PTRDIFF_MAX) {
        return SizeProblem::TooLarge;
    }
    *size = product;
    return product < 0 ? SizeProblem::Negative : SizeProblem::None;
}

// Row offsets into the pixel buffer are 32-bit quantities: a row starting
// past this offset is refused.
constexpr int64_t maxRowOffset = INT32_MAX;

// Where RGB row `destination` starts in a buffer of `width`-pixel rows, for a
// buffer whose size pixelBufferSize accepted; false past maxRowOffset.
constexpr bool rowOffset(int64_t destination, int64_t width, int64_t* offset) noexcept {
    const int64_t start = destination * width * 3;
    if (start > maxRowOffset) return false;
    *offset = start;
    return true;
}

// The writer's header sizes, saturating: values far outside what the 32-bit
// header fields hold stay far outside instead of wrapping.
constexpr int64_t saturatingProduct(int64_t a, int64_t b) noexcept {
    int64_t product = 0;
    if (!__builtin_mul_overflow(a, b, &product)) return product;
    return (a < 0) != (b < 0) ? INT64_MIN : INT64_MAX;
}

// rowStride * height: the size of the stored pixel array.
constexpr int64_t pixelArraySize(int64_t rowStride, int64_t height) noexcept {
    return saturatingProduct(rowStride, height);
}

// The whole file: the two headers and the pixel array.
constexpr int64_t fileSize(int64_t pixelArraySize) noexcept {
    return pixelArraySize > INT64_MAX - pixelDataOffset ? INT64_MAX : pixelDataOffset + pixelArraySize;
}

}  // namespace lumivex::bmp
