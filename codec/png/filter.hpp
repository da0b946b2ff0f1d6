// PNG scanline filter reconstruction and RGBA -> RGB narrowing.
// Pure byte kernels: no allocation, no exceptions, no global state.
#pragma once

#include "wide_kernels.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// Reconstruct one PNG row. rowData: n filtered bytes (without the filter-type byte).
// prevRow: the previous reconstructed row (n bytes) or nullptr for the first row (then up = upLeft = 0).
// out: n bytes, must not alias rowData or prevRow. bpp >= 1 is the distance to the left neighbour.
// Returns false, writing nothing, when n > 0 and filterType is not 0..4. n == 0 returns true without looking at filterType.
bool reconstructRow(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                    uint8_t* out) noexcept;

// Plain byte-at-a-time version of reconstructRow with the same contract; the reference the fast one is held to.
bool reconstructRowScalar(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                          uint8_t* out) noexcept;

// reconstructRow for a row reconstructed over its own filtered bytes: out may overlap
// rowData but must start strictly before it (out < rowData), as when the rows of an
// inflated image are packed down over their filter bytes. Each filtered byte is read
// before any write lands on it. prevRow must not overlap out[0, n). Same results as
// reconstructRowScalar on separate buffers.
bool reconstructRowInPlace(int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n, size_t bpp,
                           uint8_t* out) noexcept;

// The wide kernels reconstructRow and reconstructRowInPlace use: the best this CPU runs.
WideKernels bestWideKernels() noexcept;

// reconstructRowInPlace (so also reconstructRow on separate buffers) with the given kernels, which
// this CPU must be able to run: tests and benchmarks hold each set to the scalar reference.
bool reconstructRowWith(WideKernels kernels, int filterType, const uint8_t* rowData, const uint8_t* prevRow, size_t n,
                        size_t bpp, uint8_t* out) noexcept;

// Copy `pixelCount` RGBA pixels to RGB, dropping alpha. rgb must not overlap rgba.
void rgbaToRgb(const uint8_t* rgba, size_t pixelCount, uint8_t* rgb) noexcept;

// Copy three bytes of each of `pixelCount` four-byte pixels, the ones at
// order[0], order[1] and order[2] (each 0 to 3), as one RGB pixel. rgb must
// not overlap quads.
void pickThreeOfFour(const uint8_t* quads, size_t pixelCount, const uint8_t order[3], uint8_t* rgb) noexcept;

}  // namespace lumivex::png
