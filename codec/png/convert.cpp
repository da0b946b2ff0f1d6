#include "convert.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <tmmintrin.h>
#include "../cpu_features.hpp"
#endif

namespace lumivex::png {
namespace {

constexpr int grey = 0, rgb = 2, indexed = 3, greyAlpha = 4;

// The x-th `bits`-bit sample of a row packed from the most significant bit.
inline unsigned subByteSample(const uint8_t* in, size_t x, int bits) {
    const size_t bit = x * static_cast<size_t>(bits);
    const unsigned shift = 8 - static_cast<unsigned>(bits) - static_cast<unsigned>(bit & 7);
    return (in[bit >> 3] >> shift) & ((1u << bits) - 1);
}

// Pixel x's colour from a value whose bytes 0 to 2 are R, G, B, stored four
// bytes at a time: the fourth lands on the next pixel's red, which is
// written next (the last pixel gets three bytes).
inline void putColour(uint8_t* out, size_t x, size_t width, uint32_t colour) {
    uint8_t bytes[4];
    for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(colour >> (8 * b));
    // Two constant sizes: a size known only at run time would be a call to memcpy.
    if (x + 1 < width) {
        std::memcpy(out + 3 * x, bytes, 4);
    } else {
        std::memcpy(out + 3 * x, bytes, 3);
    }
}

inline uint32_t greyColour(unsigned value) { return value * 0x00010101u; }

#if defined(__SSE2__)
// 16 grey bytes to 48 RGB bytes with three shuffles.
__attribute__((target("ssse3"))) size_t widenGreyVectors(const uint8_t* in, size_t width, uint8_t* out) {
    const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i second = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i third = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        __m128i* at = reinterpret_cast<__m128i*>(out + 3 * x);
        _mm_storeu_si128(at, _mm_shuffle_epi8(grey, first));
        _mm_storeu_si128(at + 1, _mm_shuffle_epi8(grey, second));
        _mm_storeu_si128(at + 2, _mm_shuffle_epi8(grey, third));
    }
    return x;
}
#endif

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

}  // namespace

RowConverter::RowConverter(StoredPixels stored, const Palette& palette) noexcept
    : stored_(stored),
      expands_(stored.colorType == grey || stored.colorType == indexed ||
               (stored.colorType == greyAlpha && stored.bitDepth == 8)) {
    const bool byTable = (stored.colorType == grey || stored.colorType == indexed) && stored.bitDepth <= 8;
    if (!byTable) return;
    const unsigned values = 1u << stored.bitDepth;
    const unsigned scale = 255u / (values - 1);
    for (unsigned v = 0; v < 256; ++v) {
        const uint8_t* entry = palette.rgb + 3 * v;
        colour_[v] = stored.colorType == grey ? greyColour(v < values ? v * scale : 0)
                                              : uint32_t(entry[0]) | uint32_t(entry[1]) << 8 | uint32_t(entry[2]) << 16;
    }
#if defined(__SSE2__)
    wideGrey_ = stored.colorType == grey && stored.bitDepth == 8 && cpu::hasSsse3();
#endif
    if (stored.bitDepth == 8) return;
    pixelsPerByte_ = 8 / stored.bitDepth;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const uint8_t packed = static_cast<uint8_t>(byte);
        for (int k = 0; k < pixelsPerByte_; ++k) {
            const uint32_t colour = colour_[subByteSample(&packed, static_cast<size_t>(k), stored.bitDepth)];
            for (int c = 0; c < 3; ++c) byteColours_[byte][3 * k + c] = static_cast<uint8_t>(colour >> (8 * c));
        }
    }
}

namespace {

// Each of `count` bytes' pixels from the byte table, Span bytes of RGB a byte
// (a constant, so that each copy is a few moves rather than a call).
template <size_t Span>
void widenWholeBytes(const uint8_t* in, size_t count, const uint8_t (*byteColours)[24], uint8_t* out) {
    for (size_t k = 0; k < count; ++k) std::memcpy(out + k * Span, byteColours[in[k]], Span);
}

}  // namespace

// Whole bytes through the byte table; the pixels of a last, partly used byte one by one.
void RowConverter::widenSubByte(const uint8_t* in, size_t width, uint8_t* out) const noexcept {
    const size_t perByte = static_cast<size_t>(pixelsPerByte_), wholeBytes = width / perByte;
    switch (perByte) {
        case 8: widenWholeBytes<24>(in, wholeBytes, byteColours_, out); break;
        case 4: widenWholeBytes<12>(in, wholeBytes, byteColours_, out); break;
        default: widenWholeBytes<6>(in, wholeBytes, byteColours_, out); break;
    }
    for (size_t x = wholeBytes * perByte; x < width; ++x) {
        putColour(out, x, width, colour_[subByteSample(in, x, stored_.bitDepth)]);
    }
}

// One sample byte a pixel (`stride` bytes apart): through the colour table
// for grey and palette indices of 8 bits, else its high byte as grey.
void RowConverter::widenBytes(const uint8_t* in, size_t width, size_t stride, uint8_t* out) const noexcept {
    if (stride == 1) {
        size_t x = 0;
#if defined(__SSE2__)
        if (wideGrey_) x = widenGreyVectors(in, width, out);
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Four pixels' colours packed into 12 bytes, written as 8 and 4.
        for (; x + 4 <= width; x += 4) {
            const uint64_t c0 = colour_[in[x]], c1 = colour_[in[x + 1]], c2 = colour_[in[x + 2]],
                           c3 = colour_[in[x + 3]];
            const uint64_t low = c0 | c1 << 24 | c2 << 48;
            const uint32_t high = static_cast<uint32_t>(c2 >> 16 | c3 << 8);
            std::memcpy(out + 3 * x, &low, 8);
            std::memcpy(out + 3 * x + 8, &high, 4);
        }
#endif
        for (; x < width; ++x) putColour(out, x, width, colour_[in[x]]);
        return;
    }
    for (size_t x = 0; x < width; ++x) putColour(out, x, width, greyColour(in[x * stride]));
}

void RowConverter::toRgb(const uint8_t* in, size_t width, uint8_t* out) const noexcept {
    const size_t sampleBytes = stored_.bitDepth == 16 ? 2 : 1;
    switch (stored_.colorType) {
        case grey:
        case indexed:
            if (stored_.bitDepth < 8) return widenSubByte(in, width, out);
            return widenBytes(in, width, sampleBytes, out);
        case greyAlpha:
            if (sampleBytes == 1) return widenBytes(in, width, 2, out);
            return widenBytes(in, width, 4, out);
        case rgb:
            if (sampleBytes == 1) {
                if (width != 0) std::memcpy(out, in, 3 * width);
                return;
            }
            return narrowRgb(in, width, 6, 2, out);
        default:  // RGBA
            return narrowRgb(in, width, 4 * sampleBytes, sampleBytes, out);
    }
}

}  // namespace lumivex::png
