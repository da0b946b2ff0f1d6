// Unit tests for the compact encoder's candidates: the filtered rows the weighing
// keeps, which the strongest level's trials copy instead of filtering again, must
// be the rows of the strategy they are kept for (a stale copy would still make a
// valid file, only not the one weighed). Exit status is the number of failed
// checks (capped), 0 when all pass.
#include "codec/png/compact_candidates.hpp"
#include "codec/png/deflate.hpp"
#include "codec/png/filter_select.hpp"
#include "tests/native/check.hpp"

#include <cstring>
#include <string>
#include <vector>

using namespace lumivex;
using namespace nativetest;

namespace {

// Smooth ramps with noise of `noiseBits` bits: the strategies choose differently on them.
Bytes rampsWithNoise(uint32_t width, uint32_t height, int noiseBits) {
    Bytes pixels(size_t(width) * height * 3);
    const Bytes noise = randomBytes(pixels.size(), (1 << noiseBits) - 1);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const size_t x = i / 3 % width, y = i / 3 / width;
        pixels[i] = uint8_t(((x * (i % 3 + 1) + y * 2) & 0xF0) + noise[i]);
    }
    return pixels;
}

void testKeptRows() {
    size_t checked = 0;
    for (int noiseBits : {1, 3, 8}) {
        context = "kept rows, noise of " + std::to_string(noiseBits) + " bits";
        const uint32_t width = 200, height = 60;
        const Bytes pixels = rampsWithNoise(width, height, noiseBits);
        const png::CompactPlan plan{pixels.data(), width, height, png::strongestDeflateLevel, png::adaptiveFilter};
        const size_t lineBytes = size_t(width) * 3 + 1;
        const size_t cap = png::scratchBytes(size_t(height) * lineBytes, lineBytes);
        Bytes memory(2 * cap);
        const png::Scratch scratch{memory.data(), cap};
        png::Candidate candidates[png::maxLayouts];
        const size_t count = png::makeCandidates(plan, scratch, candidates);
        CHECK(count >= 1);
        for (size_t i = 0; i < count; ++i) {
            png::Candidate& candidate = candidates[i];
            png::weighSlowStrategies(&candidate, scratch);
            const png::Image& image = candidate.image;
            Bytes rows(image.scanlineBytes());
            for (int strategy : {candidate.strategy, candidate.runnerUp, candidate.third}) {
                const uint8_t* kept = candidate.filteredBy(strategy);
                if (kept == nullptr) continue;
                png::filterImage(image.pixels, image.rowStride, image.height, image.bpp, strategy, rows.data());
                CHECK(std::memcmp(kept, rows.data(), rows.size()) == 0);
                ++checked;
            }
        }
    }
    context = "kept rows";
    CHECK(checked >= 9);  // each picture's best three, at the least
}

}  // namespace

int main() {
    rng.seed(2026);
    testKeptRows();
    return report(png::deflateBackend());
}
