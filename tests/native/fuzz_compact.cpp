// libFuzzer target: the compact PNG encoder end to end, without Python.
// Input: byte 0 picks the width, byte 1 the height (now and then enough rows
// for the stream to be deflated in two pieces on two threads, in any layout),
// byte 2 the level, byte 3 the filter strategy, the colour choice and how much
// noise is mixed into the pixels; the rest, tiled, is the pixels. The noise
// (from a generator seeded by the input; on a pixel's three channels alike
// when byte 4's top bit is set, so that the picture stays grey) makes long
// streams of every density, a drawing's and a photograph's among them; byte
// 4's next bit draws runs of colours instead. The
// stream must inflate to one filter byte and one row per row, and
// reconstructing the rows must give back the pixels.
#include "codec/png/compact/encoder.hpp"
#include "codec/png/compact/policy.hpp"
#include "codec/png/convert.hpp"
#include "codec/png/deflate.hpp"
#include "codec/png/inflate.hpp"
#include "codec/png/filter.hpp"
#include "codec/png/filter_select.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace png = lumivex::png;
namespace compact = lumivex::png::compact;

namespace {

[[noreturn]] void fail(const char* what, const compact::CompactPlan& plan) {
    std::fprintf(stderr, "%s: %u x %u, level %d, strategy %d\n", what, plan.width, plan.height,
                 static_cast<int>(plan.level), static_cast<int>(plan.strategy));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint32_t width = 1 + data[0] % 96;
    // Byte 1 at 255: just past the two-piece threshold for 8-bit RGB rows, the row count odd or even by
    // its low bits; at 254, three times that, past it for one-byte rows too; at 253, six times, so that
    // a wide palette's rows are sampled rather than all weighed.
    const uint32_t tall = uint32_t(compact::smallScanlines / (3 * width + 1)) + 1 + data[4] % 3;
    const uint32_t tallTimes[] = {6, 3, 1};
    const uint32_t height = data[1] >= 253 ? tallTimes[data[1] - 253] * tall : 1 + data[1] % 64;
    const png::DeflateLevel levels[] = {png::DeflateLevel(1), png::DeflateLevel(2), png::DeflateLevel(3),
                                        png::DeflateLevel(4), png::DeflateLevel(5), png::DeflateLevel(6),
                                        png::DeflateLevel(7), png::DeflateLevel(8), png::DeflateLevel(9),
                                        png::DeflateLevel::strongest};
    std::vector<uint8_t> pixels(size_t(width) * height * 3);
    // No noise; the low bit flipped in one value of 16 (a drawing's density); the low two bits; all bits.
    const int noise = (data[3] / 12) % 4;
    const uint8_t noiseBits[] = {0x00, 0x01, 0x03, 0xff};
    const bool grey = data[4] & 0x80;
    uint32_t state = 0x9e3779b9u ^ (uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (noise != 0 && (!grey || i % 3 == 0)) state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        const bool flipped = noise != 1 || (state >> 28) == 0;
        pixels[i] = uint8_t(data[5 + (grey ? i / 3 : i) % (size - 5)] ^ (flipped ? state & noiseBits[noise] : 0));
    }
    // Byte 4's bit 0x40: colours in runs instead, each run's drawn from the tiled input's first 256 pixels
    // and a pixel in eight starting a new one on the mean: palette rows that runs alone may deflate
    // smallest, a long stream of them in a small image at byte 1's 255.
    if (data[4] & 0x40) {
        size_t drawn = 0;
        for (size_t at = 0; at < pixels.size(); at += 3) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            if ((state >> 29) == 0) drawn = (state >> 8) % 256;
            for (size_t c = 0; c < 3; ++c) pixels[at + c] = data[5 + (3 * drawn + c) % (size - 5)];
        }
    }
    const compact::ColourChoice colour = (data[3] / 6) % 2 ? compact::ColourChoice::rgb : compact::ColourChoice::automatic;
    const compact::CompactPlan plan{pixels.data(), width, height, levels[data[2] % 10],
                                      png::FilterStrategy(data[3] % 6), colour};

    if (compact::checkCompactPlan(plan) != compact::CompactStatus::ok) fail("a known plan refused", plan);
    compact::CompactStream stream;
    if (compact::encodeCompactStream(plan, &stream) != compact::CompactStatus::ok) fail("encode failed", plan);

    // The rows come back in the layout the encoder chose, then through the reader's converter to RGB.
    const png::PngLayout& layout = stream.layout();
    if (colour == compact::ColourChoice::rgb && layout.colourType != 2) fail("a reduced layout where RGB was asked", plan);
    const size_t stride = layout.rowBytes(width);
    std::vector<uint8_t> scanlines(height * (stride + 1));
    png::InflateCounts counts;
    if (png::inflateInto(stream.data(), stream.length(), scanlines.data(), scanlines.size(), &counts) !=
            png::InflateStatus::complete ||
        counts.consumed != stream.length()) {
        fail("the stream does not inflate to the scanlines", plan);
    }
    std::vector<uint8_t> packed(stride * height), rows(pixels.size());
    png::Palette palette;
    std::copy(layout.palette, layout.palette + 3 * layout.paletteSize, palette.rgb);
    const png::RowConverter converter({layout.colourType, layout.bitDepth}, palette);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* line = scanlines.data() + y * (stride + 1);
        const int type = line[0];
        if (plan.strategy != png::FilterStrategy::adaptive && type != static_cast<int>(plan.strategy)) {
            fail("a row filtered with another type", plan);
        }
        const uint8_t* above = y == 0 ? nullptr : packed.data() + (y - 1) * stride;
        if (!png::reconstructRow(type, line + 1, above, stride, layout.filterDistance(), packed.data() + y * stride)) {
            fail("bad filter type", plan);
        }
        converter.toRgb(packed.data() + y * stride, width, rows.data() + y * size_t(width) * 3);
    }
    if (rows != pixels) fail("the rows do not rebuild the pixels", plan);
    return 0;
}
