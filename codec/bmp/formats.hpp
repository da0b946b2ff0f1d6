// The BMP layouts beyond the 24-bit BITMAPINFOHEADER: every information
// header (the 12-byte OS/2 1.x core header, OS/2 2.x headers of 16 to 64
// bytes, the 40-byte header and its 52- and 56-byte variants with masks, V4
// and V5), palettes of 1 to 8 bits, and 16- and 32-bit pixels with masks.
// Pure: no Python, no allocation.
#pragma once

#include "../png/convert.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::bmp {

// What is wrong with a BMP's headers for a reader of every layout.
enum class FormatProblem {
    None,
    HeaderSize,    // an information header of a size no BMP version has: `value`
    ZeroPlanes,
    BitCount,      // a bit count the format does not define: `value`
    Embedded,      // JPEG or PNG data inside the BMP
    Compression,   // a compression this reader does not take, or that does not fit the bit count: `value`
    Masks,         // colour masks that overlap or are not contiguous
    Palette,       // a palette that runs past the start of the pixel data
    TopDownRle,    // run-length data in a bitmap stored top-down
};

// A BMP's pixel layout once its headers are read.
struct BmpLayout {
    int64_t width = 0;
    int64_t height = 0;    // negative for rows stored top-down
    int bitCount = 0;      // 1, 2, 4, 8, 16, 24 or 32
    uint32_t planes = 0;
    uint32_t compression = 0;  // as stored
    bool indexed = false;  // 1 to 8 bits through the palette
    int rleBits = 0;       // 8 or 4 for run-length data (RLE8, RLE4), else 0
    uint32_t masks[3] = {};  // 16 and 32 bits: red, green, blue
    uint32_t alphaMask = 0;  // 16 and 32 bits: alpha, where a Windows header gives a valid one
    png::Palette palette;  // RGB; entries past the file's are black
    int64_t headerBytes = 0;  // file header, information header, masks and palette
};

// Reads the layout from the bytes after the file header: `info` holds the
// information header and whatever follows it up to the pixel data
// (`available` bytes, at most what the file holds there). *problemValue
// receives the value a problem names.
FormatProblem readBmpLayout(const uint8_t* info, size_t available, int64_t pixelOffset, BmpLayout* layout,
                            uint32_t* problemValue) noexcept;

// Bytes of one stored row of `width` pixels of `bitCount` bits, padded to 4.
int64_t storedRowBytes(int64_t width, int bitCount) noexcept;

// Brings the stored rows of one layout to RGB, with the tables it needs built
// once: the palette's colours, or for 16 and 32 bits each mask's values
// scaled to 8 bits.
class BmpRowConverter {
public:
    explicit BmpRowConverter(const BmpLayout& layout) noexcept;

    // One stored row of `width` pixels to RGB at out[0, 3 * width).
    void toRgb(const uint8_t* stored, size_t width, uint8_t* out) const noexcept;
    // The palette's converter (1 to 8 bits), for indices that are not rows.
    const png::RowConverter& indexed() const noexcept { return indexed_; }
    // One stored row's alpha, scaled to 8 bits as colours are, at out[0, width).
    void alpha(const uint8_t* stored, size_t width, uint8_t* out) const noexcept;

private:
    // A channel of at most this many bits is scaled through a table.
    static constexpr int tableBits = 12;

    int bitCount_;
    png::RowConverter indexed_;
    bool wholeBytes_ = false;  // 32 bits, each mask one whole byte (or none): picked by a shuffle
    uint8_t byteOrder_[3] = {};
    int shift_[3] = {};
    uint32_t values_[3] = {};  // each field's largest value, 0 for no mask
    uint8_t scale_[3][1 << tableBits] = {};
    int alphaShift_ = 0;
    uint32_t alphaValues_ = 0;  // the alpha field's largest value, 0 for none

    void maskedToRgb(const uint8_t* stored, size_t width, uint8_t* out) const noexcept;
};

}  // namespace lumivex::bmp
