#include "whole.hpp"

#include "header.hpp"
#include "rows.hpp"

namespace lumivex::bmp {
namespace {

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t littleEndian16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

}  // namespace

static_assert(wholeBmpHeaders == fileHeaderSize + infoHeaderSize);

bool readBmpLayout(const uint8_t* headers, uint64_t fileLength, WholeBmp* bmp) noexcept {
    if (fileLength < wholeBmpHeaders || headers[0] != 'B' || headers[1] != 'M') return false;
    const uint8_t* info = headers + fileHeaderSize;
    InfoHeader header;
    header.size = littleEndian32(info);
    header.width = static_cast<int32_t>(littleEndian32(info + 4));
    header.height = static_cast<int32_t>(littleEndian32(info + 8));
    header.planes = littleEndian16(info + 12);
    header.bitCount = littleEndian16(info + 14);
    header.compression = littleEndian32(info + 16);
    if (checkInfoHeaderSize(header.size) != InfoProblem::None || checkPixelFormat(header) != InfoProblem::None ||
        header.width < 1 || header.height == 0) {
        return false;
    }
    const int64_t rows = rowCount(header.height);
    int64_t pixelBytes, lastRowStart;
    if (pixelBufferSize(header.width, rows, &pixelBytes) != SizeProblem::None ||
        !rowOffset(rows - 1, header.width, &lastRowStart)) {
        return false;
    }
    const int64_t rowStride = storedRowStride(header.width);
    const int64_t offset = littleEndian32(headers + 10);
    // Below 2^63: a stride under 2^33 times rows under 2^31, plus an offset under 2^32.
    if (uint64_t(offset + rowStride * rows) > fileLength) return false;
    *bmp = {header.width, header.height, rows, rowStride, offset, pixelBytes};
    return true;
}

void convertBmpRows(const uint8_t* stored, const WholeBmp& bmp, int64_t first, int64_t count, uint8_t* out) noexcept {
    const size_t width = static_cast<size_t>(bmp.width);
    for (int64_t i = 0; i < count; ++i) {
        const int64_t row = first + i;
        const int64_t destination = bmp.height > 0 ? bmp.rows - 1 - row : row;
        storedRowToRgb(stored + i * bmp.rowStride, width, out + destination * bmp.width * 3);
    }
}

}  // namespace lumivex::bmp
