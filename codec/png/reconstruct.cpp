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

int rebuildImageInPlace(uint8_t* buffer, const RowLayout& layout, const Palette& palette, uint8_t* rowScratch) noexcept {
    const size_t rowBytes = static_cast<size_t>(layout.rowStride), filterBytes = static_cast<size_t>(layout.filterBytes());
    const RowConverter converter = converterFor(layout, palette);
    const size_t width = static_cast<size_t>(layout.width), rgbBytes = 3 * width;
    if (!converter.expands()) {
        // Narrower as RGB: each row lands at or before where it lies, converted from its
        // first pixel on, once the row after it, which reads it, is rebuilt (its RGB ends
        // before that row's place), while both are still in the cache.
        auto convert = [&](int64_t y) { converter.toRgb(buffer + y * rowBytes, width, buffer + y * rgbBytes); };
        const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes, [&](int64_t r) {
            if (r > 0) convert(r - 1);
        });
        if (badFilter >= 0) return badFilter;
        if (layout.height > 0) convert(layout.height - 1);
        return -1;
    }
    const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes);
    if (badFilter >= 0) return badFilter;
    // Wider as RGB: from the last row back, each converted from a copy of itself, as its
    // RGB covers it and the start of the rows after it.
    for (int64_t y = layout.height; y-- > 0;) {
        if (rowBytes != 0) std::memcpy(rowScratch, buffer + y * rowBytes, rowBytes);
        converter.toRgb(rowScratch, width, buffer + y * rgbBytes);
    }
    return -1;
}

int rebuildInterlaced(uint8_t* scanlines, const RowLayout& layout, const Palette& palette, uint8_t* pixels,
                      uint8_t* rowScratch) noexcept {
    const RowConverter converter = converterFor(layout, palette);
    const size_t filterBytes = static_cast<size_t>(layout.filterBytes());
    const int64_t imageStride = layout.width * 3;
    for (const Adam7Pass& pass : adam7Passes) {
        const int64_t columns = passSpan(layout.width, pass.x0, pass.dx);
        const int64_t rows = passSpan(layout.height, pass.y0, pass.dy);
        if (columns == 0 || rows == 0) continue;  // an empty pass has no bytes at all
        const size_t rowBytes = static_cast<size_t>(layout.bytesFor(columns));
        const int badFilter = rebuildRows(scanlines, rows, rowBytes, filterBytes);
        if (badFilter >= 0) return badFilter;
        for (int64_t r = 0; r < rows; ++r) {
            converter.toRgb(scanlines + r * static_cast<int64_t>(rowBytes), static_cast<size_t>(columns), rowScratch);
            uint8_t* out = pixels + (pass.y0 + r * pass.dy) * imageStride + pass.x0 * 3;
            for (int64_t c = 0; c < columns; ++c) {
                std::memcpy(out + c * pass.dx * 3, rowScratch + c * 3, 3);
            }
        }
        scanlines += rows * static_cast<int64_t>(rowBytes + 1);
    }
    return -1;
}

int formatImageInPlace(uint8_t* buffer, const RowLayout& layout, const RowFormatter& formatter, size_t outRowBytes,
                       uint8_t* rowScratch) noexcept {
    const size_t rowBytes = static_cast<size_t>(layout.rowStride), filterBytes = static_cast<size_t>(layout.filterBytes());
    const size_t width = static_cast<size_t>(layout.width);
    if (formatter.unchanged()) return rebuildRows(buffer, layout.height, rowBytes, filterBytes);
    if (formatter.convertsInPlace()) {
        // As for RGB: each row converted once the row after it is rebuilt.
        auto convert = [&](int64_t y) {
            formatter.format(buffer + y * static_cast<int64_t>(rowBytes), width, buffer + y * static_cast<int64_t>(outRowBytes));
        };
        const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes, [&](int64_t r) {
            if (r > 0) convert(r - 1);
        });
        if (badFilter >= 0) return badFilter;
        if (layout.height > 0) convert(layout.height - 1);
        return -1;
    }
    const int badFilter = rebuildRows(buffer, layout.height, rowBytes, filterBytes);
    if (badFilter >= 0) return badFilter;
    for (int64_t y = layout.height; y-- > 0;) {
        if (rowBytes != 0) std::memcpy(rowScratch, buffer + y * static_cast<int64_t>(rowBytes), rowBytes);
        formatter.format(rowScratch, width, buffer + y * static_cast<int64_t>(outRowBytes));
    }
    return -1;
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
    const size_t filterBytes = static_cast<size_t>(layout.filterBytes());
    const int64_t imageStride = layout.width * static_cast<int64_t>(pixelBytes);
    for (const Adam7Pass& pass : adam7Passes) {
        const int64_t columns = passSpan(layout.width, pass.x0, pass.dx);
        const int64_t rows = passSpan(layout.height, pass.y0, pass.dy);
        if (columns == 0 || rows == 0) continue;
        const size_t rowBytes = static_cast<size_t>(layout.bytesFor(columns));
        const int badFilter = rebuildRows(scanlines, rows, rowBytes, filterBytes);
        if (badFilter >= 0) return badFilter;
        for (int64_t r = 0; r < rows; ++r) {
            formatter.format(scanlines + r * static_cast<int64_t>(rowBytes), static_cast<size_t>(columns), rowScratch);
            uint8_t* out = pixels + (pass.y0 + r * pass.dy) * imageStride + pass.x0 * static_cast<int64_t>(pixelBytes);
            for (int64_t c = 0; c < columns; ++c) {
                std::memcpy(out + c * pass.dx * static_cast<int64_t>(pixelBytes), rowScratch + c * pixelBytes, pixelBytes);
            }
        }
        scanlines += rows * static_cast<int64_t>(rowBytes + 1);
    }
    return -1;
}

}  // namespace lumivex::png
