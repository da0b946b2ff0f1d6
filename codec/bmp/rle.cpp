#include "rle.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::bmp {
namespace {

// Fills `pixels` RGB pixels at `at` with the two pixels in pattern[0, 6) in
// turn, the first first.
void fillPairs(uint8_t* at, size_t pixels, const uint8_t pattern[6]) {
    constexpr size_t blockPixels = 32;  // an even number: the pattern repeats whole
    if (pixels < blockPixels) {
        for (size_t i = 0; i < pixels; ++i) std::memcpy(at + 3 * i, pattern + 3 * (i & 1), 3);
        return;
    }
    uint8_t block[3 * blockPixels];
    for (size_t i = 0; i < blockPixels; i += 2) std::memcpy(block + 3 * i, pattern, 6);
    size_t done = 0;
    for (; done + blockPixels <= pixels; done += blockPixels) std::memcpy(at + 3 * done, block, sizeof block);
    std::memcpy(at + 3 * done, block, 3 * (pixels - done));
}

}  // namespace

RleDecoder::RleDecoder(int bits, int64_t width, int64_t rows, const png::Palette& palette,
                       const png::RowConverter& literal, uint8_t* out) noexcept
    : bits_(bits), width_(width), rows_(rows), palette_(palette), literal_(literal), out_(out) {}

uint8_t* RleDecoder::pixel(int64_t y, int64_t x) const noexcept {
    return out_ + ((rows_ - 1 - y) * width_ + x) * 3;
}

void RleDecoder::run(size_t count, uint8_t value) noexcept {
    if (y_ < rows_ && x_ < width_) {
        const size_t placed = std::min<size_t>(count, static_cast<size_t>(width_ - x_));
        uint8_t pattern[6];
        const uint8_t first = bits_ == 8 ? value : value >> 4, second = bits_ == 8 ? value : value & 15;
        std::memcpy(pattern, palette_.rgb + 3 * first, 3);
        std::memcpy(pattern + 3, palette_.rgb + 3 * second, 3);
        fillPairs(pixel(y_, x_), placed, pattern);
    }
    x_ = std::min<int64_t>(x_ + static_cast<int64_t>(count), width_);
}

void RleDecoder::literals(const uint8_t* indices, size_t count) noexcept {
    if (y_ < rows_ && x_ < width_) {
        literal_.toRgb(indices, std::min<size_t>(count, static_cast<size_t>(width_ - x_)), pixel(y_, x_));
    }
    x_ = std::min<int64_t>(x_ + static_cast<int64_t>(count), width_);
}

void RleDecoder::skipTo(int64_t y, int64_t x) noexcept {
    y = std::min(y, rows_);
    x = std::min(x, width_);
    uint8_t background[6];
    std::memcpy(background, palette_.rgb, 3);
    std::memcpy(background + 3, palette_.rgb, 3);
    for (; y_ < y; ++y_, x_ = 0) {
        fillPairs(pixel(y_, x_), static_cast<size_t>(width_ - x_), background);
    }
    if (y_ < rows_ && x > x_) {
        fillPairs(pixel(y_, x_), static_cast<size_t>(x - x_), background);
        x_ = x;
    }
}

bool RleDecoder::covered() const noexcept {
    return ended_ || width_ == 0 || y_ >= rows_ || (y_ == rows_ - 1 && x_ >= width_);
}

void RleDecoder::fillRest() noexcept { skipTo(rows_, 0); }

size_t RleDecoder::feed(const uint8_t* data, size_t n) noexcept {
    size_t at = 0;
    while (!ended_ && n - at >= 2) {
        const uint8_t count = data[at], value = data[at + 1];
        if (count != 0) {
            run(count, value);
            at += 2;
        } else if (value == 0) {  // end of the row
            skipTo(y_ + 1, 0);
            at += 2;
        } else if (value == 1) {  // end of the bitmap
            ended_ = true;
            at += 2;
        } else if (value == 2) {  // a move right and down
            if (n - at < 4) break;
            skipTo(y_ + data[at + 3], x_ + data[at + 2]);
            at += 4;
        } else {  // `value` literal indices, padded to an even number of bytes
            const size_t bytes = bits_ == 8 ? value : (value + 1u) / 2, padded = (bytes + 1) & ~size_t(1);
            if (n - at < 2 + padded) break;
            literals(data + at + 2, value);
            at += 2 + padded;
        }
    }
    return at;
}

}  // namespace lumivex::bmp
