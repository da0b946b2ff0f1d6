// Build: g++ -std=c++17 -O2 -I. bench/kernels_bench.cpp codec/png/filter.cpp codec/png/paeth.cpp codec/png/narrow.cpp codec/bmp/rows.cpp -o /tmp/kernels_bench
// Times the byte kernels over a 1920x1080 image; prints the best of several runs in milliseconds.
#include "codec/bmp/rows.hpp"
#include "codec/png/filter.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kWidth = 1920;
constexpr size_t kHeight = 1080;
constexpr int kRuns = 15;

template <typename Work>
double bestMilliseconds(Work work) {
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

Bytes randomBytes(size_t n) {
    std::mt19937 rng(7);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

using Reconstruct = bool (*)(int, const uint8_t*, const uint8_t*, size_t, size_t, uint8_t*) noexcept;

// Every row uses the same filter type and refers to the row reconstructed before it, as a decoder would.
double timeImage(Reconstruct fn, int filterType, size_t bpp, const Bytes& filtered, Bytes& image) {
    const size_t stride = kWidth * bpp;
    return bestMilliseconds([&] {
        for (size_t y = 0; y < kHeight; ++y) {
            const uint8_t* prev = y ? image.data() + (y - 1) * stride : nullptr;
            fn(filterType, filtered.data() + y * stride, prev, stride, bpp, image.data() + y * stride);
        }
    });
}

void benchFilters() {
    const char* names[] = {"None", "Sub", "Up", "Average", "Paeth"};
    for (size_t bpp : {3, 4}) {
        const Bytes filtered = randomBytes(kWidth * kHeight * bpp);
        Bytes fastImage(filtered.size()), scalarImage(filtered.size());
        for (int filterType = 0; filterType <= 4; ++filterType) {
            const double fast = timeImage(lumivex::png::reconstructRow, filterType, bpp, filtered, fastImage);
            const double scalar = timeImage(lumivex::png::reconstructRowScalar, filterType, bpp, filtered, scalarImage);
            std::printf("reconstruct %-7s bpp %zu: fast %7.2f ms  scalar %7.2f ms  %s\n", names[filterType], bpp, fast,
                        scalar, fastImage == scalarImage ? "" : "MISMATCH");
        }
    }
}

void benchSwizzles() {
    const size_t pixels = kWidth * kHeight;
    const Bytes rgba = randomBytes(4 * pixels);
    Bytes rgb(3 * pixels);
    std::printf("rgbaToRgb        : %7.2f ms\n",
                bestMilliseconds([&] { lumivex::png::rgbaToRgb(rgba.data(), pixels, rgb.data()); }));

    const size_t rowStride = static_cast<size_t>(lumivex::bmp::storedRowStride(kWidth));
    Bytes stored(rowStride * kHeight);
    std::printf("storedRowToRgb   : %7.2f ms\n", bestMilliseconds([&] {
                    for (size_t y = 0; y < kHeight; ++y)
                        lumivex::bmp::storedRowToRgb(stored.data() + y * rowStride, kWidth, rgb.data() + y * 3 * kWidth);
                }));
    std::printf("rgbToStoredRow   : %7.2f ms\n", bestMilliseconds([&] {
                    for (size_t y = 0; y < kHeight; ++y)
                        lumivex::bmp::rgbToStoredRow(rgb.data() + y * 3 * kWidth, kWidth, rowStride - 3 * kWidth,
                                                     stored.data() + y * rowStride);
                }));
}

}  // namespace

int main() {
    benchFilters();
    benchSwizzles();
}
