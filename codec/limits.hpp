// What one decode may cost. An open of a file from anywhere passes a pixel
// cap; the readers check every header they size an image from against it
// before allocating for that image, and bound the compressed data they gather
// by what an image under it could hold. Pure: no Python.
#pragma once

#include <cstdint>

namespace lumivex {

struct DecodeLimits {
    // The most pixels an image may have, a zero side counting as one (it
    // still costs a row or column of work per unit of the other side).
    uint64_t maxPixels = UINT64_MAX;

    bool capped() const noexcept { return maxPixels != UINT64_MAX; }
    bool allows(int64_t width, int64_t height) const noexcept { return pixelCount(width, height) <= maxPixels; }

    static uint64_t side(int64_t value) noexcept {
        const uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
        return magnitude == 0 ? 1 : magnitude;
    }
    static uint64_t pixelCount(int64_t width, int64_t height) noexcept {
        uint64_t product;
        return __builtin_mul_overflow(side(width), side(height), &product) ? UINT64_MAX : product;
    }
};

}  // namespace lumivex
