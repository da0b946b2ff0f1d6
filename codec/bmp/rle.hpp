// BMP run-length data (RLE8 and RLE4) decoded straight into RGB rows.
// Pure: no Python, no allocation.
//
// The data is a series of two-byte items: a count of n > 0 and a value (n
// pixels of that index, or for RLE4 of its two nibbles in turn), or a zero
// and an escape: 0 ends a row, 1 ends the bitmap, 2 moves the cursor by the
// next two bytes (right, then down), and n >= 3 introduces n literal indices
// padded to an even number of bytes. Rows run bottom-up. Pixels the data
// never sets (an early end of a row or of the bitmap, a move) take palette
// entry 0's colour; pixels that would land past a row or the bitmap are
// dropped, so no input reads or writes out of bounds.
#pragma once

#include "../png/convert.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::bmp {

class RleDecoder {
public:
    // `bits`: 8 or 4. `out` holds `rows` rows of `width` RGB pixels, top row
    // first; `palette` gives each index its colour (the converter the same
    // palette at this bit depth, for literal runs).
    RleDecoder(int bits, int64_t width, int64_t rows, const png::Palette& palette, const png::RowConverter& literal,
               uint8_t* out) noexcept;

    // Decodes the whole items at data[0, n) and returns how many bytes they
    // took; an item cut off at the end is left for the next call, with its
    // remaining bytes after these. Stops at the end of the bitmap.
    size_t feed(const uint8_t* data, size_t n) noexcept;

    // Whether the data has said where the bitmap ends.
    bool ended() const noexcept { return ended_; }
    // Whether nothing is left for more data to set: ended, or the cursor past
    // the last row or at the end of it.
    bool covered() const noexcept;
    // Gives every pixel from the cursor to the end palette entry 0's colour.
    void fillRest() noexcept;

    // The longest item: a zero, a count of 255 and 256 bytes of literals.
    static constexpr size_t longestItem = 2 + 256;

private:
    int bits_;
    int64_t width_, rows_;
    const png::RowConverter& literal_;
    // A run's pixels for each value byte, two pixels repeating (for RLE8 the
    // same one twice): 16 bytes, so that a run is filled 12 bytes a step.
    uint8_t patterns_[256][16];
    uint8_t* out_;
    int64_t x_ = 0, y_ = 0;  // the cursor, in stored rows (0 is the bottom); x_ <= width_, y_ <= rows_
    bool ended_ = false;

    uint8_t* pixel(int64_t y, int64_t x) const noexcept;
    void run(size_t count, uint8_t value) noexcept;
    // Fills `pixels` from the cursor on with a pattern; none past the row's end.
    void fill(size_t pixels, const uint8_t* pattern) noexcept;
    void literals(const uint8_t* indices, size_t count) noexcept;
    // Moves the cursor to (y, x), giving the pixels it passes entry 0's colour.
    void skipTo(int64_t y, int64_t x) noexcept;
};

}  // namespace lumivex::bmp
