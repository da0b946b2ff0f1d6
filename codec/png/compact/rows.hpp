// The rows the compact writer works on: an image in one layout, the sample of
// its rows an estimate is made on, and the buffers they are filtered and
// deflated into. Pure: no Python.
#pragma once

#include "../filter_select.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// Rows of one layout: `pixels` holds height rows of rowStride bytes.
struct Image {
    const uint8_t* pixels;
    size_t rowStride;
    uint32_t height;
    size_t bpp;  // the filters' distance to the left neighbour
    size_t scanlineBytes() const { return size_t(height) * (rowStride + 1); }
};

// Rows an estimate judges an image by: `strips` evenly spaced strips of
// `stripRows` rows (one strip: the whole image).
struct Sample {
    size_t strips, stripRows, height;
    size_t firstRow(size_t strip) const noexcept {
        return strips == 1 ? 0 : strip * (height - stripRows) / (strips - 1);
    }
    size_t bytes(size_t lineBytes) const noexcept { return strips * stripRows * lineBytes; }
};

// The sample of an image of `height` rows in strips of about stripBytes
// (stripTargetBytes when 0), or all of a small one as one strip.
Sample sampleOf(size_t height, size_t lineBytes, size_t stripBytes = 0) noexcept;
inline Sample wholeImage(size_t height) noexcept { return {1, height, height}; }

// Whether a default-level image of one layout is weighed on all its rows (see wholeWeighingShare).
bool worthWeighingWhole(size_t height, size_t lineBytes) noexcept;

// Room for trial compressions: two areas of `cap` bytes, one for each thread.
struct Scratch {
    uint8_t* data;
    size_t cap;
    uint8_t* area(size_t index) const { return data + index * cap; }
};
// The size of each scratch area for an image's samples and small trials (0 when too large).
size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) noexcept;

// Room for the stream of len scanline bytes of lineBytes-byte rows, whole or in pieces; 0 when too large.
size_t streamCapacity(size_t len, size_t lineBytes) noexcept;

// The image filtered into out by `strategy`, a large image's rows in chunks on two threads.
void filterOnTwoThreads(const Image& image, FilterStrategy strategy, uint8_t* out);

}  // namespace lumivex::png::compact
