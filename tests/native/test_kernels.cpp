// Unit tests for the byte kernels and the header size arithmetic. Exit status is the number of failed checks (capped), 0 when
// all pass.
#include "codec/bmp/header.hpp"
#include "codec/bmp/rows.hpp"
#include "codec/png/convert.hpp"
#include "codec/png/filter.hpp"
#include "codec/png/header.hpp"
#include "codec/png/rows.hpp"
#include "tests/native/check.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace lumivex;
using namespace nativetest;

namespace {

using Reconstruct = bool (*)(int, const uint8_t*, const uint8_t*, size_t, size_t, uint8_t*) noexcept;
const Reconstruct kBoth[] = {png::reconstructRow, png::reconstructRowScalar};

// Every set of wide kernels this CPU runs, not only the one reconstructRow picks.
std::vector<png::WideKernels> runnableKernels() {
    std::vector<png::WideKernels> sets{png::WideKernels::scalar};
    if (png::bestWideKernels() != png::WideKernels::scalar) sets.push_back(png::WideKernels::sse2);
    if (png::bestWideKernels() == png::WideKernels::sse41) sets.push_back(png::WideKernels::sse41);
    return sets;
}
const std::vector<png::WideKernels> kKernelSets = runnableKernels();

png::WideKernels kernelsUnderTest;
bool reconstructWithKernelsUnderTest(int filterType, const uint8_t* data, const uint8_t* prev, size_t n, size_t bpp,
                                     uint8_t* out) noexcept {
    return png::reconstructRowWith(kernelsUnderTest, filterType, data, prev, n, bpp, out);
}

Bytes reconstruct(Reconstruct fn, int filterType, const Bytes& data, const Bytes* prev, size_t bpp) {
    Bytes out = guarded(data.size());
    CHECK(fn(filterType, data.data(), prev ? prev->data() : nullptr, data.size(), bpp, out.data()));
    CHECK(guardIntact(out, data.size()));
    out.resize(data.size());
    return out;
}

void testHandExamples() {
    for (Reconstruct fn : kBoth) {
        context = fn == png::reconstructRow ? "fast" : "scalar";
        const Bytes data{10, 20, 30, 1, 2, 3, 250, 7};
        CHECK(reconstruct(fn, 0, data, nullptr, 3) == data);
        CHECK(reconstruct(fn, 1, data, nullptr, 3) == (Bytes{10, 20, 30, 11, 22, 33, 5, 29}));
        CHECK(reconstruct(fn, 2, data, nullptr, 3) == data);
        const Bytes above{250, 0, 6, 255, 1, 2, 6, 249};
        CHECK(reconstruct(fn, 2, data, &above, 3) == (Bytes{4, 20, 36, 0, 3, 5, 0, 0}));
        // Average: the first pixel adds (0 + up) / 2; later ones must not lose the carry of left + up.
        const Bytes avgData{255, 255, 255, 255, 0, 0, 0, 0};
        const Bytes avgAbove{0, 1, 2, 3, 255, 255, 255, 255};
        CHECK(reconstruct(fn, 3, avgData, &avgAbove, 4) == (Bytes{255, 255, 0, 0, 255, 255, 127, 127}));
        CHECK(reconstruct(fn, 3, avgData, nullptr, 4) == (Bytes{255, 255, 255, 255, 127, 127, 127, 127}));
        // Paeth on the first row is Sub.
        CHECK(reconstruct(fn, 4, data, nullptr, 3) == reconstruct(fn, 1, data, nullptr, 3));
    }
}

// Pixel 1 of a three-pixel row sees (left, up, upLeft) in every channel: pixel 0 is built so that it
// reconstructs to `left` (its Paeth predictor is up = upLeft), and pixel 1's filtered bytes are 0.
void testPaethTies() {
    struct Case { int left, up, upLeft, expected; const char* why; };
    const Case cases[] = {
        {7, 7, 7, 7, "all equal"},
        {10, 20, 10, 20, "pb smallest"},
        {13, 4, 10, 4, "pb == pc tie goes to up"},
        {50, 10, 30, 30, "pc smallest"},
        {0, 100, 100, 0, "pa == 0"},
        {30, 60, 50, 30, "pa == pc tie goes to left, up above upLeft"},
        {70, 40, 50, 70, "pa == pc tie goes to left, up below upLeft"},
        {60, 30, 50, 30, "pb == pc tie goes to up, up below upLeft"},
        {40, 70, 50, 70, "pb == pc tie goes to up, up above upLeft"},
        {255, 250, 0, 255, "p above the byte range"},
        {0, 5, 255, 0, "p negative"},
    };
    for (const Case& c : cases) {
        for (size_t bpp : {1, 3, 4}) {
            Bytes prev(3 * bpp, 0), data(3 * bpp, 0);
            for (size_t k = 0; k < bpp; ++k) {
                prev[k] = static_cast<uint8_t>(c.upLeft);
                prev[bpp + k] = static_cast<uint8_t>(c.up);
                data[k] = static_cast<uint8_t>(c.left - c.upLeft);
            }
            for (Reconstruct fn : kBoth) {
                context = std::string(c.why) + " bpp " + std::to_string(bpp);
                const Bytes out = reconstruct(fn, 4, data, &prev, bpp);
                for (size_t k = 0; k < bpp; ++k) CHECK(out[bpp + k] == c.expected);
            }
        }
    }
}

void testFastMatchesScalar() {
    for (int filterType = 0; filterType <= 4; ++filterType) {
        for (size_t bpp = 1; bpp <= 8; ++bpp) {
            std::vector<size_t> lengths{0, 1, bpp - 1, bpp, bpp + 1, 2 * bpp - 1, 3, 4, 5, 7, 15, 16, 17, 33, 4 * bpp};
            for (int r = 0; r < 30; ++r) lengths.push_back(rng() % 400);
            for (size_t n : lengths) {
                for (int maxValue : {3, 255}) {
                    context = "filter " + std::to_string(filterType) + " bpp " + std::to_string(bpp) +
                              " n " + std::to_string(n) + " max " + std::to_string(maxValue);
                    const Bytes data = randomBytes(n, maxValue);
                    const Bytes prev = randomBytes(n, maxValue);
                    const Bytes scalarFirst = reconstruct(png::reconstructRowScalar, filterType, data, nullptr, bpp);
                    CHECK(reconstruct(png::reconstructRow, filterType, data, nullptr, bpp) == scalarFirst);
                    const Bytes scalarNext = reconstruct(png::reconstructRowScalar, filterType, data, &prev, bpp);
                    CHECK(reconstruct(png::reconstructRow, filterType, data, &prev, bpp) == scalarNext);
                    for (png::WideKernels kernels : kKernelSets) {
                        kernelsUnderTest = kernels;
                        CHECK(reconstruct(reconstructWithKernelsUnderTest, filterType, data, &prev, bpp) == scalarNext);
                    }
                }
            }
        }
    }
}

// A row above made of runs of one repeated pixel, as flat pictures have, with level stretches of
// every length around the fast kernels' blocks, under filtered bytes that are mostly zero.
Bytes runsOfPixels(size_t n, size_t bpp) {
    Bytes row(n);
    for (size_t start = 0; start < n;) {
        const Bytes pixel = randomBytes(bpp);
        const size_t end = std::min(n, start + bpp * (1 + rng() % 24));
        for (size_t i = start; i < end; ++i) row[i] = pixel[(i - start) % bpp];
        start = end;
    }
    return row;
}

// The filtered bytes are mostly or almost all zero, so that whole blocks of them are, and the
// rows are rebuilt both on separate buffers and one byte before their filtered bytes.
void testPaethUnderLevelRows() {
    for (size_t bpp : {3, 4}) {
        for (int r = 0; r < 400; ++r) {
            const size_t n = bpp * (1 + rng() % 120);
            const unsigned oneIn = r % 2 ? 8 : 128;
            context = "Paeth under level rows: bpp " + std::to_string(bpp) + " n " + std::to_string(n) +
                      " nonzero one in " + std::to_string(oneIn);
            // Every third row above is noise: zero blocks there repeat it when they follow a pixel equal to the one above.
            const Bytes prev = r % 3 == 2 ? randomBytes(n) : runsOfPixels(n, bpp);
            Bytes data = randomBytes(n);
            for (auto& b : data) b = rng() % oneIn == 0 ? b : 0;
            const Bytes expected = reconstruct(png::reconstructRowScalar, 4, data, &prev, bpp);
            for (png::WideKernels kernels : kKernelSets) {
                kernelsUnderTest = kernels;
                CHECK(reconstruct(reconstructWithKernelsUnderTest, 4, data, &prev, bpp) == expected);
                Bytes buffer = guarded(n + 1);
                std::copy(data.begin(), data.end(), buffer.begin() + 1);
                CHECK(png::reconstructRowWith(kernels, 4, buffer.data() + 1, prev.data(), n, bpp, buffer.data()));
                CHECK(Bytes(buffer.begin(), buffer.begin() + n) == expected);
                CHECK(guardIntact(buffer, n + 1));
            }
        }
    }
}

// Rows reconstructed over their own filtered bytes, output starting 1 to n + 1 bytes before them, against the
// scalar kernel on separate buffers; then whole images packed down the way the decoder does it.
void testInPlaceMatchesScalar() {
    for (int filterType = 0; filterType <= 4; ++filterType) {
        for (size_t bpp = 1; bpp <= 8; ++bpp) {
            for (size_t n : {size_t(1), bpp, bpp + 1, size_t(5), size_t(16), size_t(17), size_t(67), size_t(300)}) {
                for (size_t distance : {size_t(1), size_t(2), size_t(3), size_t(4), size_t(9), n, n + 1}) {
                    context = "in place: filter " + std::to_string(filterType) + " bpp " + std::to_string(bpp) +
                              " n " + std::to_string(n) + " distance " + std::to_string(distance);
                    const Bytes data = randomBytes(n, filterType == 4 ? 3 : 255);
                    const Bytes prev = randomBytes(n);
                    for (const Bytes* above : {static_cast<const Bytes*>(nullptr), &prev}) {
                        const Bytes expected = reconstruct(png::reconstructRowScalar, filterType, data, above, bpp);
                        for (png::WideKernels kernels : kKernelSets) {
                            Bytes buffer = guarded(distance + n);
                            std::copy(data.begin(), data.end(), buffer.begin() + distance);
                            CHECK(png::reconstructRowWith(kernels, filterType, buffer.data() + distance,
                                                          above ? above->data() : nullptr, n, bpp, buffer.data()));
                            CHECK(Bytes(buffer.begin(), buffer.begin() + n) == expected);
                            CHECK(guardIntact(buffer, distance + n));
                        }
                    }
                }
            }
        }
    }
    // Row y's filtered bytes start at y * (stride + 1) + 1 and it is rebuilt at y * stride, its previous row just
    // before it: the layout of the decoder's scanline buffer.
    for (size_t bpp : {3, 4}) {
        for (size_t width : {1, 2, 5, 6, 33, 640}) {
            const size_t stride = width * bpp, height = 9;
            context = "packed image: bpp " + std::to_string(bpp) + " width " + std::to_string(width);
            Bytes scanlines = randomBytes(height * (stride + 1));
            for (size_t y = 0; y < height; ++y) scanlines[y * (stride + 1)] = static_cast<uint8_t>((y * 7) % 5);
            Bytes expected;
            Bytes previous;
            for (size_t y = 0; y < height; ++y) {
                const uint8_t* row = scanlines.data() + y * (stride + 1);
                const Bytes data(row + 1, row + 1 + stride);
                previous = reconstruct(png::reconstructRowScalar, row[0], data, y ? &previous : nullptr, bpp);
                expected.insert(expected.end(), previous.begin(), previous.end());
            }
            Bytes packed = guarded(scanlines.size());
            std::copy(scanlines.begin(), scanlines.end(), packed.begin());
            for (size_t y = 0; y < height; ++y) {
                const uint8_t* row = packed.data() + y * (stride + 1);
                CHECK(png::reconstructRowInPlace(row[0], row + 1, y ? packed.data() + (y - 1) * stride : nullptr,
                                                 stride, bpp, packed.data() + y * stride));
            }
            CHECK(Bytes(packed.begin(), packed.begin() + height * stride) == expected);
            CHECK(guardIntact(packed, scanlines.size()));
        }
    }
}

void testInvalidFilterTypes() {
    const Bytes data = randomBytes(40);
    const Bytes prev = randomBytes(40);
    for (Reconstruct fn : kBoth) {
        for (int filterType : {5, 255, -1, 1 << 30}) {
            context = "filter " + std::to_string(filterType);
            Bytes out = guarded(data.size());
            CHECK(fn(filterType, data.data(), prev.data(), data.size(), 4, out.data()) == false);
            CHECK(guardIntact(out, 0));  // not a single byte written
            CHECK(fn(filterType, nullptr, nullptr, 0, 4, nullptr));
        }
    }
}

void testRgbaToRgb() {
    for (size_t count : {0, 1, 5, 15, 16, 17, 31, 32, 33, 100, 1923}) {
        context = "pixels " + std::to_string(count);
        const Bytes rgba = randomBytes(4 * count);
        Bytes rgb = guarded(3 * count);
        png::rgbaToRgb(rgba.data(), count, rgb.data());
        CHECK(guardIntact(rgb, 3 * count));
        bool same = true;
        for (size_t i = 0; i < 3 * count; ++i) same = same && rgb[i] == rgba[i / 3 * 4 + i % 3];
        CHECK(same);
    }
}

// Straightforward restatement of row assembly with a per-byte index, clipped to the buffer.
Bytes referenceAssembly(const Bytes& pixels, uint64_t rowStride, uint64_t height) {
    Bytes out;
    for (uint64_t y = 0; y < height; ++y) {
        out.push_back(0);
        for (uint64_t i = y * rowStride; i < (y + 1) * rowStride && i < pixels.size(); ++i) out.push_back(pixels[i]);
    }
    return out;
}

void testAssembleRows() {
    struct Case { size_t pixelsLen; uint64_t rowStride, height; };
    const Case cases[] = {{12, 6, 2}, {7, 6, 2},  {3, 6, 3},   {20, 6, 2}, {0, 6, 3},
                          {12, 6, 0}, {12, 0, 3}, {0, 0, 0},   {1, 1, 1},  {5760, 5760, 1}};
    for (const Case& c : cases) {
        context = "len " + std::to_string(c.pixelsLen) + " stride " + std::to_string(c.rowStride) + " height " +
                  std::to_string(c.height);
        const Bytes pixels = randomBytes(c.pixelsLen);
        const Bytes expected = referenceAssembly(pixels, c.rowStride, c.height);
        size_t length = 0;
        CHECK(png::assembledLength(pixels.size(), c.rowStride, c.height, &length));
        CHECK(length == expected.size());
        Bytes out = guarded(length);
        png::assembleRows(pixels.data(), pixels.size(), c.rowStride, c.height, out.data());
        CHECK(guardIntact(out, length));
        out.resize(length);
        CHECK(out == expected);
    }
    context = "overflow";
    size_t length = 7;
    CHECK(png::assembledLength(100, uint64_t(1) << 62, 8, &length) && length == 108);
    CHECK(!png::assembledLength(SIZE_MAX, uint64_t(1) << 62, 8, &length) && length == 108);
    CHECK(!png::assembledLength(10, 1, UINT64_MAX, &length));
}

void testStoredRowStride() {
    const int64_t expected[] = {0, 4, 8, 12, 12, 16, 20, 24, 24, 28};
    for (int64_t width = 0; width <= 9; ++width) CHECK(bmp::storedRowStride(width) == expected[width]);
    CHECK(bmp::storedRowStride(-1) == 0);
    CHECK(bmp::storedRowStride(-2) == -4);
    CHECK(bmp::storedRowStride(-3) == -8);
    CHECK(bmp::storedRowStride(-5) == -12);
    CHECK(bmp::storedRowStride(INT32_MAX) == 6442450944);
    CHECK(bmp::storedRowStride(INT32_MIN) == -6442450944);
}

void testBmpSwizzles() {
    for (size_t width : {0, 1, 2, 4, 5, 6, 7, 11, 16, 17, 1921}) {
        const Bytes source = randomBytes(3 * width);
        context = "width " + std::to_string(width);
        Bytes rgb = guarded(3 * width);
        bmp::storedRowToRgb(source.data(), width, rgb.data());
        CHECK(guardIntact(rgb, 3 * width));
        bool swapped = true;
        for (size_t i = 0; i < 3 * width; ++i) swapped = swapped && rgb[i] == source[i - i % 3 + 2 - i % 3];
        CHECK(swapped);
        for (size_t padBytes = 0; padBytes <= 3; ++padBytes) {
            context = "width " + std::to_string(width) + " pad " + std::to_string(padBytes);
            const size_t storedLen = 3 * width + padBytes;
            Bytes stored = guarded(storedLen);
            bmp::rgbToStoredRow(source.data(), width, padBytes, stored.data());
            CHECK(guardIntact(stored, storedLen));
            bool ok = true;
            for (size_t i = 0; i < 3 * width; ++i) ok = ok && stored[i] == source[i - i % 3 + 2 - i % 3];
            for (size_t i = 3 * width; i < storedLen; ++i) ok = ok && stored[i] == 0;
            CHECK(ok);
        }
    }
}


// Batches of any capacity, cut anywhere, must add up to the rows rgbToStoredRow stores one by one, bottom row
// first, never write past their capacity, and end only before a whole pixel or a row's padding.
void testStoreRowsBottomUp() {
    for (size_t width : {1, 2, 3, 4, 5, 17}) {
        for (int64_t height : {1, 2, 7}) {
            const size_t padBytes = static_cast<size_t>(bmp::storedRowStride(int64_t(width))) - 3 * width;
            const Bytes rgb = randomBytes(3 * width * size_t(height));
            Bytes expected;
            for (int64_t y = height - 1; y >= 0; --y) {
                Bytes row(3 * width + padBytes, kGuard);
                bmp::rgbToStoredRow(rgb.data() + 3 * width * size_t(y), width, padBytes, row.data());
                expected.insert(expected.end(), row.begin(), row.end());
            }
            for (size_t capacity : {size_t(3), size_t(4), size_t(5), 3 * width, 3 * width + padBytes,
                                    3 * width + padBytes + 1, expected.size(), expected.size() + 9}) {
                context = "width " + std::to_string(width) + " height " + std::to_string(height) + " capacity " +
                          std::to_string(capacity);
                bmp::StoredRowsCursor at{height - 1, 0};
                Bytes stored;
                for (int batches = 0; at.row >= 0 && batches < 1000; ++batches) {
                    Bytes out = guarded(capacity);
                    const size_t written = bmp::storeRowsBottomUp(rgb.data(), width, padBytes, &at, out.data(), capacity);
                    CHECK(written <= capacity && guardIntact(out, capacity));
                    CHECK(written > 0);
                    CHECK(capacity - written < (at.pixel < width ? 3 : padBytes + 1) || at.row < 0);
                    stored.insert(stored.end(), out.begin(), out.begin() + written);
                }
                CHECK(stored == expected);
            }
        }
    }
    bmp::StoredRowsCursor done{-1, 0};
    Bytes out = guarded(8);
    CHECK(bmp::storeRowsBottomUp(nullptr, 2, 2, &done, out.data(), 8) == 0 && guardIntact(out, 0));
}

// The inflated size of valid headers: totals past a signed 32-bit size, or that overflow int64, must be refused,
// never wrapped into a small allocation. A negative width is passed through for the inflater to refuse.
void testPngInflatedSize() {
    const int32_t rgb = 2, rgba = 6;
    const int64_t refused = -7;  // marks the cases whose size must be refused
    const struct { int32_t width, height, colorType; int64_t inflated; const char* why; } cases[] = {
        {1, 1, rgb, 4, "1x1 RGB"},
        {0, 7, rgb, 7, "zero width: filter bytes only"},
        {5, 0, rgba, 0, "zero height"},
        {715827882, 1, rgb, INT32_MAX, "RGB row of exactly INT32_MAX bytes"},
        {536870911, 1, rgba, 2147483645, "widest RGBA row that fits"},
        {357913941, 2, rgb, refused, "two rows of exactly 2^31 bytes in all"},
        {1, INT32_MAX, rgb, refused, "INT32_MAX rows: past INT32_MAX, within int64"},
        {INT32_MAX, INT32_MAX, rgba, refused, "both INT32_MAX: the product overflows int64"},
        {-5, 3, rgb, -42, "negative width"},
        {INT32_MIN, 1, rgba, INT64_C(-8589934591), "INT32_MIN width"},
        {INT32_MIN, INT32_MAX, rgba, refused, "INT32_MIN width, INT32_MAX rows: overflow"},
    };
    for (const auto& c : cases) {
        context = c.why;
        const png::Ihdr header{c.width, c.height, 8, c.colorType, 0, 0, 0};
        int64_t size = refused;
        CHECK(png::inflatedSize(png::rowLayout(header), &size) == (c.inflated != refused));
        CHECK(size == c.inflated);
    }
}

// The pixel buffer size of a BMP's width and height: width * rows * 3 is refused (TooLarge) when it
// overflows, and a negative width with rows is reported, never allocated.
void testBmpPixelBufferSize() {
    using S = bmp::SizeProblem;
    const int64_t untouched = 12345;
    const struct { int64_t width, height; S size; int64_t bytes; const char* why; } cases[] = {
        {2, 3, S::None, 18, "bottom-up"},
        {2, -3, S::None, 18, "top-down"},
        {0, 5, S::None, 0, "zero width"},
        {-4, 0, S::None, 0, "negative width, no rows"},
        {-4, 2, S::Negative, -24, "negative width"},
        {INT32_MAX, -1, S::None, INT64_C(6442450941), "INT32_MAX width, one row"},
        {INT32_MAX, INT32_MAX, S::TooLarge, untouched, "both INT32_MAX: past int64"},
        {INT32_MAX, INT32_MIN, S::TooLarge, untouched, "INT32_MIN rows, 2^31 of them"},
        {INT32_MIN, INT32_MIN, S::TooLarge, untouched, "both INT32_MIN"},
        {INT32_MIN, 1, S::Negative, INT64_C(-6442450944), "INT32_MIN width"},
    };
    for (const auto& c : cases) {
        context = c.why;
        int64_t size = untouched;
        CHECK(bmp::pixelBufferSize(c.width, bmp::rowCount(c.height), &size) == c.size);
        CHECK(size == c.bytes);
    }
}

// Rows of every colour type and depth brought to RGB give each pixel what a
// plain reading of the format gives, nothing past 3 * width, and the same
// where they lie when RGB is narrower.
void testRowToRgb() {
    const png::StoredPixels formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                         {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    png::Palette palette;
    const Bytes entries = randomBytes(sizeof palette.rgb);
    std::copy(entries.begin(), entries.end(), palette.rgb);
    for (const png::StoredPixels format : formats) {
        const size_t channels = format.colorType == 2 ? 3 : format.colorType == 4 ? 2 : format.colorType == 6 ? 4 : 1;
        for (size_t width : {0, 1, 3, 7, 8, 9, 33}) {
            context = "colour type " + std::to_string(format.colorType) + " depth " + std::to_string(format.bitDepth) +
                      " width " + std::to_string(width);
            const size_t rowBytes = (width * channels * format.bitDepth + 7) / 8;
            const Bytes row = randomBytes(rowBytes);
            const png::RowConverter converter(format, palette);
            Bytes apart = guarded(3 * width);
            converter.toRgb(row.data(), width, apart.data());
            CHECK(guardIntact(apart, 3 * width));
            if (!converter.expands()) {
                Bytes shared = row;
                converter.toRgb(shared.data(), width, shared.data());
                CHECK(std::equal(shared.begin(), shared.begin() + 3 * width, apart.begin()));
            }
            // Against a plain reading of the format, sample by sample.
            for (size_t x = 0; x < width; ++x) {
                const size_t bits = static_cast<size_t>(format.bitDepth), at = x * channels * bits;
                const unsigned first = bits < 8 ? (row[at / 8] >> (8 - bits - at % 8)) & ((1u << bits) - 1)
                                                : row[at / 8];
                const size_t sampleBytes = bits / 8;
                uint8_t expected[3];
                for (size_t c = 0; c < 3; ++c) {
                    const size_t channel = channels >= 3 ? c : 0;
                    expected[c] = bits < 8 ? static_cast<uint8_t>(first * (255u / ((1u << bits) - 1)))
                                           : row[x * channels * sampleBytes + channel * sampleBytes];
                    if (format.colorType == 3) expected[c] = palette.rgb[3 * first + c];
                }
                CHECK(std::equal(expected, expected + 3, apart.begin() + 3 * x));
            }
        }
    }
}

}  // namespace

int main() {
    rng.seed(12345);
    testHandExamples();
    testPaethTies();
    testFastMatchesScalar();
    testPaethUnderLevelRows();
    testInPlaceMatchesScalar();
    testInvalidFilterTypes();
    testRgbaToRgb();
    testAssembleRows();
    testStoredRowStride();
    testBmpSwizzles();
    testStoreRowsBottomUp();
    testPngInflatedSize();
    testBmpPixelBufferSize();
    testRowToRgb();
    return report();
}
