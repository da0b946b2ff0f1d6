// The pixels a decode hands out: a layout of channels and a sample depth,
// either as the file stores them or converted. Reconstructed PNG rows of any
// colour type and depth, with their transparency, are brought to such a
// format here. Pure byte kernels: no allocation, no Python.
//
// The rules: grey becomes colour by copying; colour becomes grey with the
// weights (19595 R + 38470 G + 7471 B + 32768) >> 16; a missing alpha is the
// maximum; alpha not asked for is dropped, without compositing. Grey below 8
// bits is scaled to 8 (x255, x85, x17), a palette index becomes its entry
// (and its tRNS alpha), and a grey or RGB pixel equal to the tRNS colour (as
// stored, before any scaling) has alpha 0. Narrowing 16-bit samples to 8
// takes their high byte, before any conversion; widening 8-bit samples to 16
// multiplies them by 257, after it. 16-bit samples come out in the machine's
// byte order.
#pragma once

#include "convert.hpp"
#include "header.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumivex::png {

// The channels asked for: as the file stores them, or one of the four layouts.
enum class ChannelLayout : int { asStored = 0, grey = 1, greyAlpha = 2, rgb = 3, rgba = 4 };
// The sample depth asked for: as stored (16 for 16-bit files, else 8), or 8 or 16.
enum class SampleDepth : int { asStored = 0, eight = 8, sixteen = 16 };

struct OutputFormat {
    ChannelLayout layout = ChannelLayout::rgb;
    SampleDepth depth = SampleDepth::eight;

    // The module's and Lumivex.open's pixels: 8-bit RGB.
    bool isRgb8() const noexcept { return layout == ChannelLayout::rgb && depth == SampleDepth::eight; }
};

// The format resolved for one image: channels 1 to 4, 1 or 2 bytes a sample.
struct PixelShape {
    int channels = 3;
    int sampleBytes = 1;
    int64_t pixelBytes() const noexcept { return int64_t(channels) * sampleBytes; }
};

// A tRNS chunk as the image's colour type reads it.
struct Transparency {
    Transparency() noexcept { std::memset(alpha, 255, sizeof alpha); }

    bool present = false;       // a tRNS chunk of the size its colour type needs
    uint16_t colour[3] = {};    // grey (colour[0]) or R, G, B, as stored
    uint8_t alpha[256];         // palette: each entry's alpha (255 past the chunk's)
    bool paletteTranslucent = false;  // an entry of the chunk below 255
};

// Reads a tRNS chunk's data for `colorType`; a chunk of the wrong size for
// it (or any for colour types with alpha) is ignored, as libpng ignores it.
Transparency readTransparency(int32_t colorType, const uint8_t* data, size_t length) noexcept;

// What `format` means for an image stored as `stored` with `transparency`.
PixelShape resolveShape(OutputFormat format, StoredPixels stored, const Transparency& transparency) noexcept;

// Brings reconstructed rows of one image to a resolved shape.
class RowFormatter {
public:
    RowFormatter(StoredPixels stored, const Palette& palette, const Transparency& transparency,
                 PixelShape shape) noexcept;

    // Whether a row converted where it lies (out <= in) reads each pixel
    // before its output lands on it: output pixels no wider than stored ones.
    bool convertsInPlace() const noexcept { return inPlace_; }
    // Whether the rows need no work at all: the stored 8-bit samples are the output.
    bool unchanged() const noexcept { return unchanged_; }

    // The `width` pixels of the reconstructed row at `in` into `out`; they
    // may share memory only as convertsInPlace allows.
    void format(const uint8_t* in, size_t width, uint8_t* out) const noexcept;

private:
    StoredPixels stored_;
    PixelShape shape_;
    Transparency transparency_;
    int precision_;          // 8 or 16: the bits samples are converted at
    bool inPlace_ = false;
    bool unchanged_ = false;
    bool swapOnly_ = false;  // the stored 16-bit samples in the machine's order
    bool byTable_ = false;   // palette or 8-bit-or-less grey through entries_
    uint8_t entries_[256][8] = {};  // a sample value's output pixel (8-bit output)
    uint8_t paletteRgb_[256 * 3] = {};

    template <typename Write>
    void eachPixel(const uint8_t* in, size_t width, Write write) const noexcept;
};

}  // namespace lumivex::png
