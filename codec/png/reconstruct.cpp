#include "reconstruct.hpp"

#include "filter.hpp"

#include <cstring>

namespace lumivex::png {

// Reconstructs every row of `raw` into `pixels` (RGB). Touches no Python
// object. Returns -1 on success, else the offending filter type.
int reconstructImage(const uint8_t* raw, const RowLayout& layout, uint8_t* pixels, uint8_t* rowBuffers) noexcept {
    const size_t rowStride = static_cast<size_t>(layout.rowStride);
    const size_t rgbStride = static_cast<size_t>(layout.width) * 3;
    const uint8_t* previous = nullptr;
    for (int64_t y = 0; y < layout.height; ++y) {
        const uint8_t* row = raw + y * (layout.rowStride + 1);
        // RGB rows are reconstructed in place; RGBA rows go through a buffer
        // and lose their alpha on the way into the image.
        uint8_t* out = layout.channels == 3 ? pixels + y * rgbStride : rowBuffers + (y & 1) * rowStride;
        if (!reconstructRow(row[0], row + 1, previous, rowStride, static_cast<size_t>(layout.channels), out)) {
            return row[0];
        }
        if (layout.channels == 4) rgbaToRgb(out, static_cast<size_t>(layout.width), pixels + y * rgbStride);
        previous = out;
    }
    return -1;
}

// Reconstructs the inflated rows where they lie, packing them down to the
// pixel layout: RGB row y moves from y * (rowStride + 1) + 1 to y * rowStride,
// always before its filtered bytes, so it is rebuilt over them and the row
// above stays intact below it. An RGBA row is rebuilt in a row buffer (it is
// wider than its place in the image) and narrowed into its place, which ends
// before the next row's data. Returns -1 on success, else the offending filter.
int reconstructImageInPlace(uint8_t* scanlines, const RowLayout& layout, uint8_t* rowBuffers) noexcept {
    const size_t rowStride = static_cast<size_t>(layout.rowStride);
    const size_t rgbStride = static_cast<size_t>(layout.width) * 3;
    const uint8_t* previous = nullptr;
    for (int64_t y = 0; y < layout.height; ++y) {
        const uint8_t* row = scanlines + y * (layout.rowStride + 1);
        uint8_t* place = scanlines + y * rgbStride;
        if (layout.channels == 3) {
            if (!reconstructRowInPlace(row[0], row + 1, previous, rowStride, 3, place)) return row[0];
            previous = place;
            continue;
        }
        uint8_t* out = rowBuffers + (y & 1) * rowStride;
        if (!reconstructRow(row[0], row + 1, previous, rowStride, 4, out)) return row[0];
        rgbaToRgb(out, static_cast<size_t>(layout.width), place);
        previous = out;
    }
    return -1;
}

namespace {

RowConverter converterFor(const RowLayout& layout, const Palette& palette) {
    return RowConverter({layout.colorType, layout.bitDepth}, palette);
}

// Rebuilds `rows` rows of `rowBytes` bytes each, every one led by its filter
// byte from `scanlines` on, packed down over their filter bytes (row r ends
// up at scanlines + r * rowBytes); afterRow(r) is called once row r is
// rebuilt. Returns -1, else the offending filter type.
template <typename AfterRow>
int rebuildRows(uint8_t* scanlines, int64_t rows, size_t rowBytes, size_t filterBytes, AfterRow afterRow) {
    const uint8_t* previous = nullptr;
    for (int64_t r = 0; r < rows; ++r) {
        const uint8_t* row = scanlines + r * static_cast<int64_t>(rowBytes + 1);
        uint8_t* place = scanlines + r * static_cast<int64_t>(rowBytes);
        if (!reconstructRowInPlace(row[0], row + 1, previous, rowBytes, filterBytes, place)) return row[0];
        previous = place;
        afterRow(r);
    }
    return -1;
}

int rebuildRows(uint8_t* scanlines, int64_t rows, size_t rowBytes, size_t filterBytes) {
    return rebuildRows(scanlines, rows, rowBytes, filterBytes, [](int64_t) {});
}

}  // namespace

namespace {

// Rows rebuilt where they lie and each brought by `convert(in, width, out)`
// to `outRowBytes` bytes at its place in the image: where the output is no
// wider (`narrower`), each row lands at or before where it lies, converted
// from its first pixel on once the row after it, which reads it, is rebuilt
// (its output ends before that row's place), while both are still in the
// cache; where it is wider, from the last row back, each from a copy of
// itself in `rowScratch`, as its output covers it and the start of the rows
// after it. Returns -1, else the offending filter type.
template <typename Convert>
int rebuildAndConvert(uint8_t* buffer, const RowLayout& layout, bool narrower, size_t outRowBytes,
                      uint8_t* rowScratch, Convert convert) {
    const size_t rowBytes = static_cast<size_t>(layout.rowStride), filterBytes = static_cast<size_t>(layout.filterBytes());
    const size_t width = static_cast<size_t>(layout.width);
    auto convertRow = [&](int64_t y) {
        convert(buffer + y * static_cast<int64_t>(rowBytes), width, buffer + y * static_cast<int64_t>(outRowBytes));
    };
    if (narrower) {
        const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes, [&](int64_t r) {
            if (r > 0) convertRow(r - 1);
        });
        if (badFilter >= 0) return badFilter;
        if (layout.height > 0) convertRow(layout.height - 1);
        return -1;
    }
    const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes);
    if (badFilter >= 0) return badFilter;
    for (int64_t y = layout.height; y-- > 0;) {
        if (rowBytes != 0) std::memcpy(rowScratch, buffer + y * static_cast<int64_t>(rowBytes), rowBytes);
        convert(rowScratch, width, buffer + y * static_cast<int64_t>(outRowBytes));
    }
    return -1;
}

// A pass row's `columns` pixels of `Bytes` bytes each, `dx` pixels apart in
// the image (a constant size, so that each copy is a move, not a call).
template <size_t Bytes>
void scatter(const uint8_t* row, int64_t columns, int64_t dx, uint8_t* out) {
    for (int64_t c = 0; c < columns; ++c) std::memcpy(out + c * dx * int64_t(Bytes), row + c * int64_t(Bytes), Bytes);
}

void scatterPixels(const uint8_t* row, int64_t columns, size_t pixelBytes, int64_t dx, uint8_t* out) {
    switch (pixelBytes) {
        case 1: return scatter<1>(row, columns, dx, out);
        case 2: return scatter<2>(row, columns, dx, out);
        case 3: return scatter<3>(row, columns, dx, out);
        case 4: return scatter<4>(row, columns, dx, out);
        case 6: return scatter<6>(row, columns, dx, out);
        default: return scatter<8>(row, columns, dx, out);  // 16-bit RGBA, the widest
    }
}

// An Adam7 image: each pass's rows rebuilt in place in `scanlines`, brought
// by `convert` to `pixelBytes` a pixel in `rowScratch` and scattered to their
// pixels in `pixels`. Returns -1, else the offending filter type.
template <typename Convert>
int rebuildPassesAndScatter(uint8_t* scanlines, const RowLayout& layout, size_t pixelBytes, uint8_t* pixels,
                            uint8_t* rowScratch, Convert convert) {
    const size_t filterBytes = static_cast<size_t>(layout.filterBytes());
    const int64_t imageStride = layout.width * static_cast<int64_t>(pixelBytes), step = static_cast<int64_t>(pixelBytes);
    for (const Adam7Pass& pass : adam7Passes) {
        const int64_t columns = passSpan(layout.width, pass.x0, pass.dx);
        const int64_t rows = passSpan(layout.height, pass.y0, pass.dy);
        if (columns == 0 || rows == 0) continue;  // an empty pass has no bytes at all
        const size_t rowBytes = static_cast<size_t>(layout.bytesFor(columns));
        const int badFilter = rebuildRows(scanlines, rows, rowBytes, filterBytes);
        if (badFilter >= 0) return badFilter;
        for (int64_t r = 0; r < rows; ++r) {
            convert(scanlines + r * static_cast<int64_t>(rowBytes), static_cast<size_t>(columns), rowScratch);
            scatterPixels(rowScratch, columns, pixelBytes, pass.dx,
                          pixels + (pass.y0 + r * pass.dy) * imageStride + pass.x0 * step);
        }
        scanlines += rows * static_cast<int64_t>(rowBytes + 1);
    }
    return -1;
}

}  // namespace

int rebuildImageInPlace(uint8_t* buffer, const RowLayout& layout, const Palette& palette, uint8_t* rowScratch) noexcept {
    const RowConverter converter = converterFor(layout, palette);
    return rebuildAndConvert(buffer, layout, !converter.expands(), 3 * static_cast<size_t>(layout.width), rowScratch,
                             [&](const uint8_t* in, size_t width, uint8_t* out) { converter.toRgb(in, width, out); });
}

int rebuildInterlaced(uint8_t* scanlines, const RowLayout& layout, const Palette& palette, uint8_t* pixels,
                      uint8_t* rowScratch) noexcept {
    const RowConverter converter = converterFor(layout, palette);
    return rebuildPassesAndScatter(scanlines, layout, 3, pixels, rowScratch,
                                   [&](const uint8_t* in, size_t width, uint8_t* out) { converter.toRgb(in, width, out); });
}

int formatImageInPlace(uint8_t* buffer, const RowLayout& layout, const RowFormatter& formatter, size_t outRowBytes,
                       uint8_t* rowScratch) noexcept {
    if (formatter.unchanged()) {
        return rebuildRows(buffer, layout.height, static_cast<size_t>(layout.rowStride),
                           static_cast<size_t>(layout.filterBytes()));
    }
    return rebuildAndConvert(buffer, layout, formatter.convertsInPlace(), outRowBytes, rowScratch,
                             [&](const uint8_t* in, size_t width, uint8_t* out) { formatter.format(in, width, out); });
}

int formatFromEnd(const uint8_t* scanlines, const RowLayout& layout, const RowFormatter& formatter, size_t outRowBytes,
                  uint8_t* rows, uint8_t* out) noexcept {
    const size_t rowBytes = static_cast<size_t>(layout.rowStride), filterBytes = static_cast<size_t>(layout.filterBytes());
    const uint8_t* previous = nullptr;
    for (int64_t y = 0; y < layout.height; ++y) {
        const uint8_t* row = scanlines + y * static_cast<int64_t>(rowBytes + 1);
        uint8_t* rebuilt = rows + (y & 1) * static_cast<int64_t>(rowBytes);
        if (!reconstructRow(row[0], row + 1, previous, rowBytes, filterBytes, rebuilt)) return row[0];
        formatter.format(rebuilt, static_cast<size_t>(layout.width), out + y * static_cast<int64_t>(outRowBytes));
        previous = rebuilt;
    }
    return -1;
}

int formatInterlaced(uint8_t* scanlines, const RowLayout& layout, const RowFormatter& formatter, size_t pixelBytes,
                     uint8_t* pixels, uint8_t* rowScratch) noexcept {
    return rebuildPassesAndScatter(scanlines, layout, pixelBytes, pixels, rowScratch,
                                   [&](const uint8_t* in, size_t width, uint8_t* out) { formatter.format(in, width, out); });
}

}  // namespace lumivex::png
