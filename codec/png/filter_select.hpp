// PNG forward filtering for the encoder: apply one filter type to a row, and pick a
// filter per row by the minimum sum of absolute differences (each filtered byte read
// as a signed value), the heuristic libpng uses by default.
// Pure byte kernels: no allocation, no exceptions, no global state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

constexpr int filterTypeCount = 5;  // None, Sub, Up, Average, Paeth

// Forward-filter one row with filterType (0..4): out[i] = row[i] - predictor, modulo 256.
// row: n raw bytes; prevRow: the previous raw row (n bytes) or nullptr for the first row
// (then up = upLeft = 0). bpp >= 1 is the distance to the left neighbour. out: n bytes,
// must not overlap row or prevRow. Returns false, writing nothing, for an unknown filterType.
bool filterRow(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
               uint8_t* out) noexcept;
bool filterRowScalar(int filterType, const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                     uint8_t* out) noexcept;

// The heuristic's cost of every filter type for this row, in one pass over it:
// costs[t] = sum over i of min(f, 256 - f), f the byte filter t would write.
void filterCosts(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                 uint64_t costs[filterTypeCount]) noexcept;
void filterCostsScalar(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                       uint64_t costs[filterTypeCount]) noexcept;

// Filters the row with the type of least cost (the lowest type among equals), writes
// the filtered bytes to out (as filterRow) and returns that type.
int filterRowAdaptive(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp, uint8_t* out) noexcept;
int filterRowAdaptiveScalar(const uint8_t* row, const uint8_t* prevRow, size_t n, size_t bpp,
                            uint8_t* out) noexcept;

// How filterImage filters an image's rows: one filter type on every row, or a
// choice per row. `adaptive` takes filterRowAdaptive's choice; `entropy` and
// `pairs` weigh each row's five filterings by other measures, slower and at
// times better for deflate: the Shannon entropy of the filtered bytes, or how
// many distinct pairs of neighbouring bytes they hold (fewer pairs, more
// repeated strings). Both pick the lowest type among equals.
enum class FilterStrategy : uint8_t { none, sub, up, average, paeth, adaptive, entropy, pairs };

// Whether `strategy` is one of the above; whether it is a single filter type.
constexpr bool isKnownStrategy(FilterStrategy strategy) noexcept { return strategy <= FilterStrategy::pairs; }
constexpr bool isFilterType(FilterStrategy strategy) noexcept { return strategy <= FilterStrategy::paeth; }

// The scanline data of an image: for each of `height` rows of rowStride bytes in pixels,
// its filter-type byte and then its filtered bytes, filtered as `strategy` says. out: height * (rowStride + 1) bytes, must not overlap
// pixels. Returns false, writing nothing, for an unknown strategy.
bool filterImage(const uint8_t* pixels, size_t rowStride, size_t height, size_t bpp, FilterStrategy strategy,
                 uint8_t* out) noexcept;

// filterImage's scanlines of rows [firstRow, endRow) alone, written from out on (row
// firstRow's first), each filtered against the raw row above it as in the whole image: so
// parts of an image filtered apart (on different threads, say) join into filterImage's
// output. pixels is the whole image. Returns false, writing nothing, for an unknown strategy.
bool filterImageRows(const uint8_t* pixels, size_t rowStride, size_t firstRow, size_t endRow, size_t bpp,
                     FilterStrategy strategy, uint8_t* out) noexcept;

}  // namespace lumivex::png
