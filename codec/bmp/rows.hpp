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

// Where storeRowsBottomUp goes on: the next stored byte comes from RGB row `row` of the image (rows are stored
// from the last up to row 0; -1 once all are stored), pixel `pixel` of it (== width when only the row's padding
// is left).
struct StoredRowsCursor {
    int64_t row;
    size_t pixel;
};

// Continues the stored pixel array of a bottom-up 24-bit BMP at `*at` into out[0, capacity): for each row, its
// BGR triples then padBytes zero bytes. Stops at the end of the rows, or before a pixel or a row's padding that
// would not fit whole; returns the bytes written and advances `*at` past them. `rgb` holds rows of `width` RGB
// pixels, row r at byte 3*width*r, at least up to row at->row; out must not overlap rgb. A batch of capacity
// k*rowStride starting at a row's first pixel ends after exactly k rows (or at the last row).
size_t storeRowsBottomUp(const uint8_t* rgb, size_t width, size_t padBytes, StoredRowsCursor* at, uint8_t* out,
                         size_t capacity) noexcept;

}  // namespace lumivex::bmp
