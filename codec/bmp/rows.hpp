// BMP 24-bit rows: stored BGR rows padded to 4 bytes <-> RGB pixels.
// Pure byte kernels: no allocation, no exceptions, no global state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::bmp {

// Bytes of one stored 24-bit row: 3*width rounded up to a multiple of 4, as 4*floor((3*width+3)/4) with floor
// division also for negative widths. |width| must stay below 2^61 so that 3*width+3 fits in int64.
int64_t storedRowStride(int64_t width) noexcept;

// Stored BGR row (at least 3*width bytes; padding not read) -> width RGB pixels. rgb must not overlap stored.
void storedRowToRgb(const uint8_t* stored, size_t width, uint8_t* rgb) noexcept;

// width RGB pixels -> stored row: BGR triples then padBytes zero bytes. stored must not overlap rgb.
void rgbToStoredRow(const uint8_t* rgb, size_t width, size_t padBytes, uint8_t* stored) noexcept;

}  // namespace lumivex::bmp
