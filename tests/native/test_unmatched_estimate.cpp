// Unit tests for the estimates of deflating without seeking strings: each must
// come close to the stream zlib itself makes the same way, on inputs from
// noise to long runs. Exit status is the number of failed checks (capped), 0
// when all pass.
#include "codec/png/deflate.hpp"
#include "codec/png/unmatched_estimate.hpp"
#include "tests/native/check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace lumivex;
using namespace nativetest;

namespace {

// Runs of random lengths (up to past deflate's longest match) of a few values,
// with random bytes between them.
Bytes runsAndNoise(size_t n, size_t longestRun) {
    std::uniform_int_distribution<size_t> length(1, longestRun);
    std::uniform_int_distribution<int> value(0, 3), noise(0, 255);
    Bytes bytes;
    while (bytes.size() < n) {
        bytes.insert(bytes.end(), length(rng), uint8_t(value(rng)));
        bytes.push_back(uint8_t(noise(rng)));
    }
    bytes.resize(n);
    return bytes;
}

// Mostly zeros, a byte in `every` random: filtered rows of a flat picture with some detail.
Bytes sparse(size_t n, int every) {
    std::uniform_int_distribution<int> pick(0, every - 1), noise(1, 255);
    Bytes bytes(n);
    for (auto& b : bytes) b = pick(rng) == 0 ? uint8_t(noise(rng)) : 0;
    return bytes;
}

void testAgainstZlib() {
    struct Case {
        std::string name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", Bytes()},
        {"one byte", Bytes(1, 9)},
        {"noise 0-255", randomBytes(70000)},
        {"noise 0-7", randomBytes(70000, 7)},
        {"noise 0-1", randomBytes(5000, 1)},
        {"short runs", runsAndNoise(100000, 12)},
        {"long runs", runsAndNoise(100000, 600)},
        {"sparse", sparse(200000, 20)},
        {"one value", Bytes(300000, 7)},
    };
    for (const Case& c : cases) {
        for (png::Unmatched how : {png::Unmatched::runs, png::Unmatched::literals}) {
            context = c.name + (how == png::Unmatched::runs ? " by runs" : " by literals");
            const size_t bound = png::zlibCompressBound(c.bytes.size());
            Bytes stream(bound);
            const double made = double(png::compressZlibUnmatched(how, c.bytes.data(), c.bytes.size(), stream.data(), bound));
            const double estimated = double(png::estimateUnmatched(how, c.bytes.data(), c.bytes.size()));
            CHECK(made > 0);
            // Within 1 %, or a few bytes of header on the smallest streams.
            CHECK(std::abs(estimated - made) <= std::max(made * 0.01, 10.0));
        }
    }
}

}  // namespace

int main() {
    rng.seed(2026);
    testAgainstZlib();
    return report("unmatched estimate");
}
