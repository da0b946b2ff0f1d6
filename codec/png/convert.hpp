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

// Brings rows of one image to RGB, with the tables its layout needs built
// once (a sample value's colour; for sub-byte samples, a whole byte's pixels).
class RowConverter {
public:
    // The palette is read for colour type 3 only.
    RowConverter(StoredPixels stored, const Palette& palette) noexcept;

    // Whether a row takes more room as RGB than stored (3 bytes a pixel or
    // more than it takes).
    bool expands() const noexcept { return expands_; }

    // Brings the `width` pixels of a reconstructed row at `in` to RGB at
    // out[0, 3 * width), which must not overlap it, except that a row that
    // does not expand may be converted where it lies (out <= in): its pixels
    // go from the first on, each read before anything lands on it.
    void toRgb(const uint8_t* in, size_t width, uint8_t* out) const noexcept;

private:
    StoredPixels stored_;
    bool expands_;
    bool wideGrey_ = false;   // 8-bit grey through SSSE3 shuffles
    int pixelsPerByte_ = 0;   // sub-byte samples: 8 / bitDepth
    uint32_t colour_[256];    // a sample value's R, G, B in bytes 0 to 2 (stored 4 bytes at a time)
    uint8_t byteColours_[256][24];  // sub-byte samples: a byte's pixels, R, G, B each

    void widenSubByte(const uint8_t* in, size_t width, uint8_t* out) const noexcept;
    void widenBytes(const uint8_t* in, size_t width, size_t stride, uint8_t* out) const noexcept;
};

}  // namespace lumivex::png
