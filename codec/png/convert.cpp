#include "convert.hpp"

#include <cstring>

namespace lumivex::png {
namespace {

constexpr int grey = 0, rgb = 2, indexed = 3, greyAlpha = 4;

// The x-th `bits`-bit sample of a row packed from the most significant bit.
inline unsigned subByteSample(const uint8_t* in, size_t x, int bits) {
    const size_t bit = x * static_cast<size_t>(bits);
    const unsigned shift = 8 - static_cast<unsigned>(bits) - static_cast<unsigned>(bit & 7);
    return (in[bit >> 3] >> shift) & ((1u << bits) - 1);
}

inline void putGrey(uint8_t* out, size_t x, uint8_t value) {
    out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = value;
}

inline void putEntry(uint8_t* out, size_t x, const Palette& palette, unsigned index) {
    const uint8_t* entry = palette.rgb + 3 * index;
    uint8_t* at = out + 3 * x;
    at[0] = entry[0];
    at[1] = entry[1];
    at[2] = entry[2];
}

// Pixels of `stride` bytes whose first three samples (each `sampleBytes`
// wide, high byte first) are R, G, B: narrowed from the first pixel on.
void narrowRgb(const uint8_t* in, size_t width, size_t stride, size_t sampleBytes, uint8_t* out) {
    for (size_t x = 0; x < width; ++x) {
        const uint8_t* pixel = in + x * stride;
        out[3 * x] = pixel[0];
        out[3 * x + 1] = pixel[sampleBytes];
        out[3 * x + 2] = pixel[2 * sampleBytes];
    }
}

// Grey of `stride`-byte pixels, its high byte first, when a pixel takes fewer
// than 3 bytes: widened from the last pixel back.
void widenGrey(const uint8_t* in, size_t width, size_t stride, uint8_t* out) {
    for (size_t x = width; x-- > 0;) putGrey(out, x, in[x * stride]);
}

void narrowGrey(const uint8_t* in, size_t width, size_t stride, uint8_t* out) {
    for (size_t x = 0; x < width; ++x) putGrey(out, x, in[x * stride]);
}

void widenSubByteGrey(const uint8_t* in, size_t width, int bits, uint8_t* out) {
    const unsigned scale = 255u / ((1u << bits) - 1);
    for (size_t x = width; x-- > 0;) putGrey(out, x, static_cast<uint8_t>(subByteSample(in, x, bits) * scale));
}

void widenIndexed(const uint8_t* in, size_t width, int bits, const Palette& palette, uint8_t* out) {
    if (bits == 8) {
        for (size_t x = width; x-- > 0;) putEntry(out, x, palette, in[x]);
        return;
    }
    for (size_t x = width; x-- > 0;) putEntry(out, x, palette, subByteSample(in, x, bits));
}

}  // namespace

bool expandsToRgb(StoredPixels stored) noexcept {
    switch (stored.colorType) {
        case grey: case indexed: return true;
        case greyAlpha: return stored.bitDepth == 8;
        default: return false;
    }
}

void rowToRgb(const uint8_t* in, size_t width, StoredPixels stored, const Palette& palette, uint8_t* out) noexcept {
    const size_t sampleBytes = stored.bitDepth == 16 ? 2 : 1;
    switch (stored.colorType) {
        case grey:
            if (stored.bitDepth < 8) return widenSubByteGrey(in, width, stored.bitDepth, out);
            return widenGrey(in, width, sampleBytes, out);
        case indexed: return widenIndexed(in, width, stored.bitDepth, palette, out);
        case greyAlpha:
            if (sampleBytes == 1) return widenGrey(in, width, 2, out);
            return narrowGrey(in, width, 4, out);
        case rgb:
            if (sampleBytes == 1) {
                if (out != in && width != 0) std::memmove(out, in, 3 * width);
                return;
            }
            return narrowRgb(in, width, 6, 2, out);
        default:  // RGBA
            return narrowRgb(in, width, 4 * sampleBytes, sampleBytes, out);
    }
}

}  // namespace lumivex::png
