#include "unmatched_estimate.hpp"

#include <algorithm>
#include <cmath>

namespace lumivex::png {
namespace {

// zlib (memLevel 8) ends a block when its symbol buffer holds this many.
constexpr size_t blockSymbols = 16383;
constexpr size_t literalLengthSymbols = 286, endOfBlock = 256, firstLengthCode = 257;
constexpr size_t minRun = 3, maxRun = 258;

// Deflate's length codes: the code's offset from firstLengthCode and its extra bits, by run length.
struct LengthCodes {
    uint8_t code[maxRun + 1] = {};
    uint8_t extraBits[maxRun + 1] = {};
    constexpr LengthCodes() {
        // The first of each code's lengths; the code for 258 alone has no extra bits.
        constexpr uint16_t base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        constexpr size_t codes = sizeof(base) / sizeof(base[0]);
        for (size_t c = 0; c < codes; ++c) {
            const size_t end = c + 1 < codes ? base[c + 1] : maxRun + 1;
            const uint8_t extra = c < 8 || c + 1 == codes ? 0 : uint8_t((c - 4) / 4);
            for (size_t length = base[c]; length < end; ++length) {
                code[length] = uint8_t(c);
                extraBits[length] = extra;
            }
        }
    }
};
constexpr LengthCodes lengthCodes;

// The bits an optimal Huffman code spends on symbols with these counts: the
// sum of the weights its merges make (a lone symbol still takes a bit a use).
double huffmanBits(const uint32_t* counts, size_t size) {
    uint64_t leaves[literalLengthSymbols], merged[literalLengthSymbols];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (counts[i] != 0) leaves[used++] = counts[i];
    }
    if (used < 2) return used == 0 ? 0 : double(leaves[0]);
    std::sort(leaves, leaves + used);
    // Two queues: leaves ascending, and merged weights, which come out ascending too.
    size_t leaf = 0, front = 0, back = 0;
    double bits = 0;
    const auto lightest = [&] {
        const bool fromLeaves = leaf < used && (front == back || leaves[leaf] <= merged[front]);
        return fromLeaves ? leaves[leaf++] : merged[front++];
    };
    for (size_t merges = 1; merges < used; ++merges) {
        const uint64_t weight = lightest() + lightest();
        merged[back++] = weight;
        bits += double(weight);
    }
    return bits;
}

// One block's symbol counts, and the bits its matches spend beyond their codes.
struct Block {
    uint32_t counts[literalLengthSymbols] = {};
    size_t symbols = 0, matches = 0;
    uint64_t extraBits = 0;

    // The symbols' codes, a bit for each match's one distance code, and the
    // header: about three bits for each symbol used, besides its fixed fields.
    double bits() {
        ++counts[endOfBlock];
        double sum = 3 + 14 + 19 * 3 + huffmanBits(counts, literalLengthSymbols) + double(extraBits + matches);
        for (uint32_t count : counts) sum += count != 0 ? 3 : 0;
        return sum;
    }
};

// A zlib stream of that many bits of deflate blocks, in bytes.
uint64_t zlibStreamBytes(double bits) { return uint64_t(std::ceil(bits / 8)) + zlibHeaderLength + zlibTrailerLength; }

class Estimate {
public:
    explicit Estimate(uint64_t limit) : limit_(limit) {}
    void literal(uint8_t byte) {
        ++block_.counts[byte];
        next();
    }
    void run(size_t length) {
        ++block_.counts[firstLengthCode + lengthCodes.code[length]];
        block_.extraBits += lengthCodes.extraBits[length];
        ++block_.matches;
        next();
    }
    uint64_t zlibBytes() {
        return zlibStreamBytes(bits_ + block_.bits());
    }
    // Whether the blocks ended so far already come to the limit.
    bool reachedLimit() const { return reachedLimit_; }

private:
    void next() {
        if (++block_.symbols < blockSymbols) return;
        bits_ += block_.bits();
        block_ = Block();
        reachedLimit_ = zlibStreamBytes(bits_) >= limit_;
    }
    Block block_;
    double bits_ = 0;
    const uint64_t limit_;
    bool reachedLimit_ = false;
};

// Bytes alone: each block's counts in four tables, so that a byte repeated
// does not wait on its own count.
uint64_t estimateLiterals(const uint8_t* src, size_t len, uint64_t limit) {
    double bits = 0;
    size_t start = 0;
    do {
        if (start != 0 && zlibStreamBytes(bits) >= limit) return limit;
        const size_t n = std::min(blockSymbols, len - start);
        const uint8_t* const block = src + start;
        uint32_t counts[4][256] = {};
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            for (size_t k = 0; k < 4; ++k) ++counts[k][block[i + k]];
        }
        for (; i < n; ++i) ++counts[0][block[i]];
        Block sums;
        for (size_t byte = 0; byte < 256; ++byte) {
            sums.counts[byte] = counts[0][byte] + counts[1][byte] + counts[2][byte] + counts[3][byte];
        }
        bits += sums.bits();
        start += n;
    } while (start < len);
    return zlibStreamBytes(bits);
}

}  // namespace

uint64_t estimateUnmatched(Unmatched how, const uint8_t* src, size_t len, uint64_t limit) noexcept {
    if (how == Unmatched::literals) return estimateLiterals(src, len, limit);
    Estimate estimate(limit);
    for (size_t i = 0; i < len;) {
        if (estimate.reachedLimit()) return limit;
        // zlib's run-length parse: a run of the byte before i, when three bytes or more long.
        size_t length = 0;
        if (i > 0 && len - i >= minRun) {
            const uint8_t before = src[i - 1];
            const size_t longest = std::min(maxRun, len - i);
            while (length < longest && src[i + length] == before) ++length;
        }
        if (length >= minRun) {
            estimate.run(length);
            i += length;
        } else {
            estimate.literal(src[i++]);
        }
    }
    return estimate.zlibBytes();
}

}  // namespace lumivex::png
