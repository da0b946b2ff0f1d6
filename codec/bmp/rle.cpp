#include "rle.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::bmp {

RleDecoder::RleDecoder(int bits, int64_t width, int64_t rows, const png::Palette& palette,
                       const png::RowConverter& literal, uint8_t* out) noexcept
    : bits_(bits), width_(width), rows_(rows), literal_(literal), out_(out) {
    for (unsigned value = 0; value < 256; ++value) {
        const unsigned first = bits == 8 ? value : value >> 4, second = bits == 8 ? value : value & 15;
        for (int i = 0; i < 16; i += 6) {
            std::memcpy(patterns_[value] + i, palette.rgb + 3 * first, 3);
            std::memcpy(patterns_[value] + i + 3, palette.rgb + 3 * second, i + 6 <= 16 ? 3 : 1);
        }
    }
}

uint8_t* RleDecoder::pixel(int64_t y, int64_t x) const noexcept {
    return out_ + ((rows_ - 1 - y) * width_ + x) * 3;
}

void RleDecoder::fill(size_t pixels, const uint8_t* pattern) noexcept {
    uint8_t* at = pixel(y_, x_);
    const size_t bytes = 3 * pixels, room = 3 * static_cast<size_t>(width_ - x_);
    // 16-byte stores 12 bytes apart keep the pattern in step; the last may
    // reach 15 bytes past the run, which is allowed only inside the row
    // (past its end lie rows already decoded).
    const size_t wholeStores = room >= bytes + 16 ? bytes : (bytes >= 16 ? bytes - 15 : 0);
    size_t done = 0;
    for (; done < wholeStores; done += 12) std::memcpy(at + done, pattern, 16);
    for (; done < bytes; done += 3) std::memcpy(at + done, pattern + (done % 6), 3);
}

void RleDecoder::run(size_t count, uint8_t value) noexcept {
    if (y_ < rows_ && x_ < width_) fill(std::min<size_t>(count, static_cast<size_t>(width_ - x_)), patterns_[value]);
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
    // Value byte 0 is entry 0 twice, for RLE8 and RLE4 alike.
    for (; y_ < y; ++y_, x_ = 0) fill(static_cast<size_t>(width_ - x_), patterns_[0]);
    if (y_ < rows_ && x > x_) {
        fill(static_cast<size_t>(x - x_), patterns_[0]);
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
