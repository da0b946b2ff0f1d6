// Reconstructed PNG rows of every colour type and bit depth brought to 8-bit
// RGB. Pure byte kernels: no allocation, no exceptions, no global state.
//
// Greyscale becomes R = G = B, grey below 8 bits scaled to the full range
// (x255, x85, x17 for 1, 2 and 4 bits); a palette index becomes its entry;
// a 16-bit sample becomes its high byte; alpha is dropped. Sub-byte samples
// are unpacked from the most significant bit, and a row's padding bits are
// never read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// The palette as RGB triples; entries past the PLTE chunk's are black.
struct Palette {
    uint8_t rgb[256 * 3] = {};
};

// How a reconstructed row's pixels are stored.
struct StoredPixels {
    int colorType;  // 0, 2, 3, 4 or 6
    int bitDepth;   // one the colour type allows
};

// Whether a row takes more room as RGB than stored (3 bytes a pixel or more
// than it takes): such rows are converted from their last pixel to their first.
bool expandsToRgb(StoredPixels stored) noexcept;

// Brings the `width` pixels of a reconstructed row at `in` to RGB at out[0, 3 * width).
// out may overlap in: when the row expands (expandsToRgb), with out >= in;
// otherwise with out <= in. The palette is read for colour type 3 only.
void rowToRgb(const uint8_t* in, size_t width, StoredPixels stored, const Palette& palette, uint8_t* out) noexcept;

}  // namespace lumivex::png
