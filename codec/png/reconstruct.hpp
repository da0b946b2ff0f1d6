// A whole image's rows rebuilt from its inflated scanlines, and its pixels
// brought to 8-bit RGB. Pure: no Python, no allocation.
#pragma once

#include "header.hpp"

#include <cstdint>

namespace lumivex::png {

// Reconstructs every row of `raw` ((rowStride + 1) * height bytes) into `pixels`
// (RGB). rowBuffers: 2 * rowStride bytes of scratch for RGBA rows. Returns -1 on
// success, else the offending filter type.
int reconstructImage(const uint8_t* raw, const RowLayout& layout, uint8_t* pixels, uint8_t* rowBuffers) noexcept;

// The same where the scanlines lie, packing them down to the pixel layout:
// the image's RGB pixels end up at the start of `scanlines`.
int reconstructImageInPlace(uint8_t* scanlines, const RowLayout& layout, uint8_t* rowBuffers) noexcept;

}  // namespace lumivex::png
