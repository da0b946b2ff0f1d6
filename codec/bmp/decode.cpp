#include "decode.hpp"

#include "rle.hpp"
#include "rows.hpp"

#include "../buffer.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::bmp {
namespace {

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t littleEndian16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

// Reads exactly `n` bytes, else `shortProblem`.
BmpProblem readExactly(ByteSource& source, uint8_t* into, size_t n, BmpProblem shortProblem) {
    size_t got;
    if (!source.read(into, n, &got)) return BmpProblem::sourceFailed;
    return got == n ? BmpProblem::none : shortProblem;
}

// Rows are read about this many bytes at a time, each block converted while
// it is still in the cache.
constexpr int64_t blockBytes = 256 * 1024;

// Converts `count` stored rows from stored row `first` on into their places.
BmpProblem placeRows(const uint8_t* stored, const BmpImage& image, const BmpRowConverter& converter, int64_t first,
                     int64_t count, int64_t rowStride, uint8_t* out, uint8_t* alpha) {
    for (int64_t i = 0; i < count; ++i) {
        const int64_t row = first + i;
        const int64_t destination = image.info.height > 0 ? image.rows - 1 - row : row;
        int64_t start;
        if (!rowOffset(destination, image.info.width, &start)) return BmpProblem::rowOffset;
        if (image.accepts == BmpAccepts::subset) {
            storedRowToRgb(stored + i * rowStride, static_cast<size_t>(image.info.width), out + start);
        } else {
            converter.toRgb(stored + i * rowStride, static_cast<size_t>(image.info.width), out + start);
            if (alpha != nullptr) {
                converter.alpha(stored + i * rowStride, static_cast<size_t>(image.info.width), alpha + start / 3);
            }
        }
    }
    return BmpProblem::none;
}

// The information header and what follows it up to the pixel data, at most
// this much (a V5 header, alpha masks and 256 palette entries fit).
constexpr size_t largestHeaders = 124 + 16 + 256 * 4;

// Every layout: the headers, masks and palette read in one piece and checked.
BmpProblem readAnyInfoHeader(ByteSource& source, uint32_t size, BmpImage* image) {
    uint8_t info[largestHeaders] = {};
    info[0] = static_cast<uint8_t>(size);
    info[1] = static_cast<uint8_t>(size >> 8);
    info[2] = static_cast<uint8_t>(size >> 16);
    info[3] = static_cast<uint8_t>(size >> 24);
    const int64_t room = image->pixelOffset - fileHeaderSize;
    const size_t wanted = std::min<size_t>(largestHeaders, std::max<int64_t>(size, room));
    size_t got = 4;
    if (wanted > 4 && size <= largestHeaders) {
        if (!source.read(info + 4, wanted - 4, &got)) return BmpProblem::sourceFailed;
        got += 4;
        // A short 40-byte header fails as the module's reader fails on it.
        if (got < size) return size == infoHeaderSize ? BmpProblem::infoShort : BmpProblem::headerShort;
    }
    image->format = readBmpLayout(info, got, image->pixelOffset, &image->layout, &image->problemValue);
    if (image->format != FormatProblem::None) return BmpProblem::format;
    InfoHeader& header = image->info;
    header.width = image->layout.width;
    header.height = image->layout.height;
    header.planes = image->layout.planes;
    header.bitCount = image->layout.bitCount;
    header.compression = image->layout.compression;
    return BmpProblem::none;
}

// The image's rows and pixel buffer size from its width and height.
BmpProblem sizeImage(BmpImage* image) {
    image->rows = rowCount(image->info.height);
    switch (pixelBufferSize(image->info.width, image->rows, &image->pixelBytes)) {
        case SizeProblem::TooLarge: return BmpProblem::tooLarge;
        case SizeProblem::Negative: return BmpProblem::negativeWidth;
        case SizeProblem::None: break;
    }
    return BmpProblem::none;
}

// Run-length data from the source's position to the end of the bitmap, or
// of the data: in memory all at once, else a block at a time, an item cut
// off at a block's end carried over to the next.
BmpProblem readRunLengthPixels(ByteSource& source, const BmpImage& image, uint8_t* out) {
    const BmpLayout& layout = image.layout;
    const BmpRowConverter converter(layout);
    RleDecoder decoder(layout.rleBits, image.info.width, image.rows, layout.palette, converter.indexed(), out);
    const uint64_t remaining = source.remaining();
    const uint8_t* whole = remaining <= SIZE_MAX ? source.view(static_cast<size_t>(remaining)) : nullptr;
    if (whole != nullptr) {
        decoder.feed(whole, static_cast<size_t>(remaining));
    } else {
        ByteBuffer block;
        if (!block.reserve(blockBytes + RleDecoder::longestItem)) return BmpProblem::outOfMemory;
        size_t carried = 0, got = 0;
        do {
            if (!source.read(block.data() + carried, blockBytes, &got)) return BmpProblem::sourceFailed;
            const size_t held = carried + got, used = decoder.feed(block.data(), held);
            carried = held - used;
            std::memmove(block.data(), block.data() + used, carried);
        } while (got != 0 && !decoder.ended());
    }
    if (!decoder.covered()) return BmpProblem::incompletePixels;
    decoder.fillRest();
    return BmpProblem::none;
}

}  // namespace

BmpProblem readBmpHeaders(ByteSource& source, BmpImage* image) noexcept {
    uint8_t fileHeader[fileHeaderSize];
    BmpProblem read = readExactly(source, fileHeader, sizeof fileHeader, BmpProblem::fileHeader);
    if (read != BmpProblem::none) return read;
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') return BmpProblem::fileHeader;
    image->pixelOffset = littleEndian32(fileHeader + 10);
    uint8_t info[infoHeaderSize];
    if ((read = readExactly(source, info, 4, BmpProblem::infoSizeShort)) != BmpProblem::none) return read;
    InfoHeader& header = image->info;
    header.size = littleEndian32(info);
    if (image->accepts == BmpAccepts::everyFormat) {
        read = readAnyInfoHeader(source, static_cast<uint32_t>(header.size), image);
        if (read != BmpProblem::none) return read;
        return sizeImage(image);
    }
    if (checkInfoHeaderSize(header.size) != InfoProblem::None) return BmpProblem::infoSize;
    if ((read = readExactly(source, info + 4, infoHeaderSize - 4, BmpProblem::infoShort)) != BmpProblem::none) {
        return read;
    }
    header.width = static_cast<int32_t>(littleEndian32(info + 4));
    header.height = static_cast<int32_t>(littleEndian32(info + 8));
    header.planes = littleEndian16(info + 12);
    header.bitCount = littleEndian16(info + 14);
    header.compression = littleEndian32(info + 16);
    if (checkPixelFormat(header) != InfoProblem::None) return BmpProblem::pixelFormat;
    return sizeImage(image);
}

BmpProblem readBmpPixels(ByteSource& source, const BmpImage& image, uint8_t* out, uint8_t* alpha) noexcept {
    if (!source.seek(static_cast<uint64_t>(image.pixelOffset))) return BmpProblem::sourceFailed;
    const bool every = image.accepts == BmpAccepts::everyFormat;
    const bool empty = image.rows == 0 || image.info.width == 0;
    // A file the module's reader takes fails as it fails there: its rows are missing.
    const bool subsetLayout = image.info.size == infoHeaderSize && checkPixelFormat(image.info) == InfoProblem::None;
    if (every && !empty && !subsetLayout) {
        // Not one byte at the offset: the offset is wrong, not the pixel data short.
        uint8_t probe;
        size_t got;
        if (!source.read(&probe, 1, &got) || !source.seek(static_cast<uint64_t>(image.pixelOffset))) {
            return BmpProblem::sourceFailed;
        }
        if (got == 0) return BmpProblem::offsetPastEnd;
    }
    // No pixels: nothing to read, whatever the compression (a run-length
    // decoder would still step through each of up to 2^31 empty rows).
    if (empty) return BmpProblem::none;
    if (every && image.layout.rleBits != 0) return readRunLengthPixels(source, image, out);
    const int64_t rowStride = every ? storedRowBytes(image.info.width, image.layout.bitCount)
                                    : storedRowStride(image.info.width);
    const BmpRowConverter converter(image.layout);
    // Rows of zero bytes are not read: there is nothing in them, and a
    // 54-byte file may claim 2^31 of them.
    if (rowStride == 0) return BmpProblem::none;
    const int64_t blockRows = std::max<int64_t>(1, std::min(image.rows, blockBytes / rowStride));
    ByteBuffer block;
    for (int64_t row = 0; row < image.rows;) {
        const int64_t wanted = std::min(blockRows, image.rows - row);
        const size_t bytes = static_cast<size_t>(wanted * rowStride);
        const uint8_t* stored = source.view(bytes);
        size_t got = bytes;
        if (stored == nullptr) {
            if (!block.reserve(bytes)) return BmpProblem::outOfMemory;
            if (!source.read(block.data(), bytes, &got)) return BmpProblem::sourceFailed;
            stored = block.data();
        }
        const int64_t complete = static_cast<int64_t>(got) / rowStride;
        BmpProblem placed = placeRows(stored, image, converter, row, complete, rowStride, out,
                                      image.layout.alphaMask != 0 ? alpha : nullptr);
        if (placed != BmpProblem::none) return placed;
        if (complete < wanted) return BmpProblem::incompletePixels;
        row += wanted;
    }
    return BmpProblem::none;
}

}  // namespace lumivex::bmp
