// Lossless colour reduction for the PNG writer: which smaller layouts can hold
// an 8-bit RGB image exactly (a palette of its colours, greyscale of fewer
// bits), and its rows packed in one of them. Pure: no Python, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// The colours of an image, counted up to 256 of them.
struct ColourCensus {
    bool many = false;      // more than 256 colours: no palette, not grey
    uint32_t count = 0;     // distinct colours, when not many
    uint32_t colours[256];  // each 0xRRGGBB, in order of first appearance
    uint64_t uses[256];     // how many pixels have each
    bool grey = false;      // every pixel has R = G = B
    int greyBits = 8;       // the fewest bits (1, 2, 4 or 8) that hold every grey value exactly
};

// Counts the colours of `pixels` RGB pixels, stopping at the 257th.
void takeCensus(const uint8_t* rgb, size_t pixels, ColourCensus* census) noexcept;
// Adds the census of the pixels that follow into's to it (other's new colours
// after into's), as if the two had been taken as one.
void joinCensus(ColourCensus* into, const ColourCensus& other) noexcept;

// A layout to store an RGB image in: colour type 2 (8-bit RGB), 3 (palette)
// or 0 (grey), and its bit depth.
struct PngLayout {
    int colourType = 2;
    int bitDepth = 8;
    uint32_t paletteSize = 0;     // colour type 3: its entries
    uint8_t palette[256 * 3] = {};

    // Bytes of one row of `width` pixels, and the filters' distance to the left neighbour.
    size_t rowBytes(uint32_t width) const noexcept { return (size_t(width) * channels() * bitDepth + 7) / 8; }
    size_t filterDistance() const noexcept { return colourType == 2 ? 3 : 1; }
    int channels() const noexcept { return colourType == 2 ? 3 : 1; }
};

// How a palette's entries are ordered. The values of the indices change no
// repeated string, but deflate's choices of where blocks end and how its
// codes are stored see them: by use, most graphics tried came out smallest;
// by luminance, brightest first, many icons came out 5-10 % smaller, and
// darkest first about as many others, up to 25 % smaller.
enum class PaletteOrder { byUse, brightestFirst, darkestFirst };

// The palette layout of a census of 256 colours or fewer: the fewest bits
// that index them, entries in `order` (by use: most used first).
PngLayout paletteLayout(const ColourCensus& census, PaletteOrder order = PaletteOrder::byUse) noexcept;
// The grey layout of a census whose pixels are all grey, at its fewest bits.
PngLayout greyLayout(const ColourCensus& census) noexcept;

// Packs `height` rows of `width` RGB pixels into `layout` (a palette made from
// this image's census, or grey where it holds every pixel), rows of
// layout.rowBytes(width) bytes at out, each row's unused low bits zero.
void packRows(const uint8_t* rgb, uint32_t width, uint32_t height, const PngLayout& layout, uint8_t* out) noexcept;

}  // namespace lumivex::png
