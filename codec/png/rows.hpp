// PNG encoder row assembly: every scanline goes out with filter type 0 (None).
// Pure byte kernels: no allocation, no exceptions, no global state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// Length of the assembled scanline data: height filter bytes plus min(pixelsLen, height*rowStride) pixel bytes.
// Returns false, leaving *length alone, if that length does not fit in size_t.
bool assembledLength(size_t pixelsLen, uint64_t rowStride, uint64_t height, size_t* length) noexcept;

// For y in [0, height): write the filter byte 0, then the pixel bytes [y*rowStride, (y+1)*rowStride) with both
// ends clipped to pixelsLen, so a short buffer gives short or empty rows, each still led by its 0 byte; bytes
// beyond height*rowStride are ignored. out has assembledLength() bytes and must not overlap pixels.
void assembleRows(const uint8_t* pixels, size_t pixelsLen, uint64_t rowStride, uint64_t height,
                  uint8_t* out) noexcept;

}  // namespace lumivex::png
