#include "reconstruct.hpp"

#include "filter.hpp"

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

}  // namespace lumivex::png
