#include "output_format.hpp"

#include <cstring>

namespace lumivex::png {
namespace {

constexpr int grey = 0, rgb = 2, indexed = 3, greyAlpha = 4;

uint16_t bigEndian16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// The x-th `bits`-bit sample of a row packed from the most significant bit.
inline unsigned packedSample(const uint8_t* in, size_t x, int bits) {
    const size_t bit = x * static_cast<size_t>(bits);
    const unsigned shift = 8 - static_cast<unsigned>(bits) - static_cast<unsigned>(bit & 7);
    return (in[bit >> 3] >> shift) & ((1u << bits) - 1);
}

// A pixel at the conversion precision: grey in r, g and b alike, or a colour; and its alpha.
struct Pixel {
    uint32_t r, g, b, a;
    bool colour;
};

inline uint32_t luma(const Pixel& p) { return (19595 * p.r + 38470 * p.g + 7471 * p.b + 32768) >> 16; }

}  // namespace

Transparency readTransparency(int32_t colorType, const uint8_t* data, size_t length) noexcept {
    Transparency transparency;
    if (colorType == grey && length == 2) {
        transparency.present = true;
        transparency.colour[0] = bigEndian16(data);
    } else if (colorType == rgb && length == 6) {
        transparency.present = true;
        for (int c = 0; c < 3; ++c) transparency.colour[c] = bigEndian16(data + 2 * c);
    } else if (colorType == indexed) {
        transparency.present = true;
        const size_t entries = length < 256 ? length : 256;
        for (size_t i = 0; i < entries; ++i) {
            transparency.alpha[i] = data[i];
            if (data[i] != 255) transparency.paletteTranslucent = true;
        }
    }
    return transparency;
}

PixelShape resolveShape(OutputFormat format, StoredPixels stored, const Transparency& transparency) noexcept {
    PixelShape shape;
    switch (format.layout) {
        case ChannelLayout::asStored:
            switch (stored.colorType) {
                case grey: shape.channels = transparency.present ? 2 : 1; break;
                case rgb: shape.channels = transparency.present ? 4 : 3; break;
                case indexed: shape.channels = transparency.paletteTranslucent ? 4 : 3; break;
                case greyAlpha: shape.channels = 2; break;
                default: shape.channels = 4; break;
            }
            break;
        default: shape.channels = static_cast<int>(format.layout); break;
    }
    switch (format.depth) {
        case SampleDepth::asStored: shape.sampleBytes = stored.bitDepth == 16 ? 2 : 1; break;
        case SampleDepth::eight: shape.sampleBytes = 1; break;
        case SampleDepth::sixteen: shape.sampleBytes = 2; break;
    }
    return shape;
}

RowFormatter::RowFormatter(StoredPixels stored, const Palette& palette, const Transparency& transparency,
                           PixelShape shape) noexcept
    : stored_(stored), shape_(shape), transparency_(transparency) {
    precision_ = stored.bitDepth == 16 && shape.sampleBytes == 2 ? 16 : 8;
    std::memcpy(paletteRgb_, palette.rgb, sizeof paletteRgb_);
    const int storedChannels = channelsOf(stored.colorType);
    const int64_t storedPixelBits = int64_t(storedChannels) * stored.bitDepth;
    inPlace_ = stored.bitDepth >= 8 && shape.pixelBytes() * 8 <= storedPixelBits;
    const bool sameChannels = stored.colorType != indexed && shape.channels == storedChannels;
    unchanged_ = sameChannels && stored.bitDepth == 8 && shape.sampleBytes == 1;
    swapOnly_ = sameChannels && stored.bitDepth == 16 && shape.sampleBytes == 2;
    byTable_ = (stored.colorType == indexed || stored.colorType == grey) && stored.bitDepth <= 8 &&
               shape.sampleBytes == 1;
    if (!byTable_) return;
    // Each sample value's output pixel, made by the general path from a row
    // of that one value (packed at the top of its byte for sub-byte depths).
    byTable_ = false;
    const unsigned values = 1u << stored.bitDepth;
    for (unsigned value = 0; value < values; ++value) {
        const uint8_t packed = static_cast<uint8_t>(value << (8 - stored.bitDepth));
        format(&packed, 1, entries_[value]);
    }
    byTable_ = true;
}

template <typename Write>
void RowFormatter::eachPixel(const uint8_t* in, size_t width, Write write) const noexcept {
    const int bits = stored_.bitDepth;
    const uint32_t opaque = precision_ == 16 ? 65535 : 255;
    // The index-th sample of the row: as stored, and at the conversion precision.
    auto raw = [&](size_t index) -> uint32_t { return bits == 16 ? bigEndian16(in + 2 * index) : in[index]; };
    auto value = [&](size_t index) -> uint32_t {
        const uint32_t stored = raw(index);
        return bits == 16 && precision_ == 8 ? stored >> 8 : stored;
    };
    switch (stored_.colorType) {
        case grey: {
            const uint32_t scale = bits < 8 ? 255u / ((1u << bits) - 1) : 1;
            for (size_t x = 0; x < width; ++x) {
                const uint32_t sample = bits < 8 ? packedSample(in, x, bits) : raw(x);
                const uint32_t v = bits < 8 ? sample * scale : value(x);
                const bool clear = transparency_.present && sample == transparency_.colour[0];
                write(x, Pixel{v, v, v, clear ? 0 : opaque, false});
            }
            return;
        }
        case rgb:
            for (size_t x = 0; x < width; ++x) {
                const bool clear = transparency_.present && raw(3 * x) == transparency_.colour[0] &&
                                   raw(3 * x + 1) == transparency_.colour[1] && raw(3 * x + 2) == transparency_.colour[2];
                write(x, Pixel{value(3 * x), value(3 * x + 1), value(3 * x + 2), clear ? 0 : opaque, true});
            }
            return;
        case indexed:
            for (size_t x = 0; x < width; ++x) {
                const unsigned index = bits < 8 ? packedSample(in, x, bits) : in[x];
                const uint8_t* entry = paletteRgb_ + 3 * index;
                write(x, Pixel{entry[0], entry[1], entry[2], transparency_.alpha[index], true});
            }
            return;
        case greyAlpha:
            for (size_t x = 0; x < width; ++x) {
                const uint32_t v = value(2 * x);
                write(x, Pixel{v, v, v, value(2 * x + 1), false});
            }
            return;
        default:
            for (size_t x = 0; x < width; ++x) {
                write(x, Pixel{value(4 * x), value(4 * x + 1), value(4 * x + 2), value(4 * x + 3), true});
            }
            return;
    }
}

namespace {

// Each pixel's output from the table of its sample's values, Span bytes a
// pixel (a constant, so that each copy is a move or two).
template <size_t Span>
void fromTable(const uint8_t* in, size_t width, int bits, const uint8_t (*entries)[8], uint8_t* out) {
    if (bits == 8) {
        for (size_t x = 0; x < width; ++x) std::memcpy(out + x * Span, entries[in[x]], Span);
        return;
    }
    for (size_t x = 0; x < width; ++x) std::memcpy(out + x * Span, entries[packedSample(in, x, bits)], Span);
}

// 16-bit samples from the file's order (big-endian) to the machine's.
void toMachineOrder(const uint8_t* in, size_t samples, uint8_t* out) {
    for (size_t i = 0; i < samples; ++i) {
        const uint16_t sample = bigEndian16(in + 2 * i);
        std::memcpy(out + 2 * i, &sample, 2);
    }
}

}  // namespace

void RowFormatter::format(const uint8_t* in, size_t width, uint8_t* out) const noexcept {
    const size_t pixelBytes = static_cast<size_t>(shape_.pixelBytes());
    if (unchanged_) {
        if (in != out && width != 0) std::memmove(out, in, width * pixelBytes);
        return;
    }
    if (swapOnly_) return toMachineOrder(in, width * static_cast<size_t>(shape_.channels), out);
    if (byTable_) {
        switch (pixelBytes) {
            case 1: return fromTable<1>(in, width, stored_.bitDepth, entries_, out);
            case 2: return fromTable<2>(in, width, stored_.bitDepth, entries_, out);
            case 3: return fromTable<3>(in, width, stored_.bitDepth, entries_, out);
            default: return fromTable<4>(in, width, stored_.bitDepth, entries_, out);
        }
    }
    const size_t sampleBytes = static_cast<size_t>(shape_.sampleBytes);
    const bool widen = precision_ == 8 && sampleBytes == 2;
    auto put = [&](uint8_t* at, uint32_t sample) {
        if (sampleBytes == 1) {
            *at = static_cast<uint8_t>(sample);
            return;
        }
        const uint16_t wide = static_cast<uint16_t>(widen ? sample * 257 : sample);
        std::memcpy(at, &wide, 2);
    };
    const int channels = shape_.channels;
    eachPixel(in, width, [&](size_t x, const Pixel& p) {
        uint8_t* at = out + x * pixelBytes;
        if (channels <= 2) {
            put(at, p.colour ? luma(p) : p.r);
            if (channels == 2) put(at + sampleBytes, p.a);
            return;
        }
        put(at, p.r);
        put(at + sampleBytes, p.g);
        put(at + 2 * sampleBytes, p.b);
        if (channels == 4) put(at + 3 * sampleBytes, p.a);
    });
}

}  // namespace lumivex::png
