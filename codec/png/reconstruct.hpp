// A whole image's rows rebuilt from its inflated scanlines, and its pixels
// brought to 8-bit RGB: 8-bit RGB and RGBA fast, every other layout and
// Adam7 through the conversion kernels. Pure: no Python, no allocation.
#pragma once

#include "convert.hpp"
#include "header.hpp"
#include "output_format.hpp"

#include <cstdint>

namespace lumivex::png {

// Reconstructs every row of `raw` ((rowStride + 1) * height bytes) into `pixels`
// (RGB). rowBuffers: 2 * rowStride bytes of scratch for RGBA rows. Returns -1 on
// success, else the offending filter type.
int reconstructImage(const uint8_t* raw, const RowLayout& layout, uint8_t* pixels, uint8_t* rowBuffers) noexcept;

// The same where the scanlines lie, packing them down to the pixel layout:
// the image's RGB pixels end up at the start of `scanlines`.
int reconstructImageInPlace(uint8_t* scanlines, const RowLayout& layout, uint8_t* rowBuffers) noexcept;

// The same for a non-interlaced image of any colour type and depth: `buffer`
// holds the inflated scanlines at its start and has room for the larger of
// them and the image's RGB pixels, which end up at its start. Rows are
// rebuilt packed down over their filter bytes, then brought to RGB in their
// places: from the first row on where RGB is narrower than the stored rows;
// else from the last row back, each through a copy in `rowScratch`
// (rowStride bytes).
// Returns -1 on success, else the offending filter type.
int rebuildImageInPlace(uint8_t* buffer, const RowLayout& layout, const Palette& palette, uint8_t* rowScratch) noexcept;

// An Adam7 image: each pass's rows rebuilt in place in `scanlines` (its
// inflated passes, in order), brought to RGB in `rowScratch` (3 * width
// bytes) and scattered to their pixels in `pixels` (width * height * 3).
// Returns -1 on success, else the offending filter type.
int rebuildInterlaced(uint8_t* scanlines, const RowLayout& layout, const Palette& palette, uint8_t* pixels,
                      uint8_t* rowScratch) noexcept;

// rebuildImageInPlace and rebuildInterlaced for any output format: rows
// brought to `formatter`'s pixels (`outRowBytes` a row) instead of RGB.
// rowScratch: the larger of rowStride and outRowBytes bytes.
int formatImageInPlace(uint8_t* buffer, const RowLayout& layout, const RowFormatter& formatter, size_t outRowBytes,
                       uint8_t* rowScratch) noexcept;
// Without Adam7, for a format wider than the stored rows: the scanlines
// inflated into the end of the image's buffer (`out`), each row rebuilt
// into `rows` (two rows of scratch, taken in turn) and formatted into its
// place, which ends before the next row's scanline: one pass over the rows.
int formatFromEnd(const uint8_t* scanlines, const RowLayout& layout, const RowFormatter& formatter, size_t outRowBytes,
                  uint8_t* rows, uint8_t* out) noexcept;
int formatInterlaced(uint8_t* scanlines, const RowLayout& layout, const RowFormatter& formatter, size_t pixelBytes,
                     uint8_t* pixels, uint8_t* rowScratch) noexcept;

}  // namespace lumivex::png
