#include "deflate_scan.hpp"

#include <climits>
#include <cstring>

#include <zlib.h>

namespace lumivex::png {
namespace {

constexpr unsigned maxCodeLength = 15;
constexpr unsigned litLenSymbols = 288, distSymbols = 32, codeLengthSymbols = 19;
constexpr unsigned endOfBlock = 256;

// Reads bits least significant first, as deflate packs them, at any position; bytes past
// the end read as zeros, and the caller sees that it went past through overrun().
class BitReader {
public:
    BitReader(const uint8_t* data, size_t len) : data_(data), len_(len) {}

    // At least 57 bits from the current position on.
    uint64_t peek() const {
        const size_t at = static_cast<size_t>(position_ >> 3);
        uint64_t word = 0;
        if (at + 8 <= len_) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            std::memcpy(&word, data_ + at, 8);
#else
            for (unsigned i = 0; i < 8; ++i) word |= uint64_t(data_[at + i]) << (8 * i);
#endif
        } else {
            for (size_t i = 0; at + i < len_ && i < 8; ++i) word |= uint64_t(data_[at + i]) << (8 * i);
        }
        return word >> (position_ & 7);
    }
    uint32_t take(unsigned count) {  // count <= 32
        const uint32_t bits = count == 0 ? 0 : static_cast<uint32_t>(peek() & ((uint64_t(1) << count) - 1));
        position_ += count;
        return bits;
    }
    void skip(uint64_t count) { position_ += count; }
    void alignToByte() { position_ = (position_ + 7) & ~uint64_t(7); }
    uint64_t position() const { return position_; }
    bool overrun() const { return position_ > uint64_t(len_) * 8; }

private:
    const uint8_t* data_;
    size_t len_;
    uint64_t position_ = 0;
};

// A canonical Huffman code: codes of up to fastBits bits decode with one table look-up,
// longer ones bit by bit from the counts per length.
class HuffmanCode {
public:
    // lengths[0, n): each symbol's code length, 0 for none. False for an over-subscribed
    // set of lengths. A set with no code at all is a code that decodes nothing (a block of
    // literals alone may say so of its distances).
    bool build(const uint8_t* lengths, unsigned n) {
        std::memset(count_, 0, sizeof count_);
        for (unsigned s = 0; s < n; ++s) ++count_[lengths[s]];
        int left = 1;
        for (unsigned len = 1; len <= maxCodeLength; ++len) {
            left = 2 * left - count_[len];
            if (left < 0) return false;
        }
        uint16_t offset[maxCodeLength + 2] = {0};
        for (unsigned len = 1; len <= maxCodeLength; ++len) offset[len + 1] = uint16_t(offset[len] + count_[len]);
        for (unsigned s = 0; s < n; ++s)
            if (lengths[s] != 0) symbols_[offset[lengths[s]]++] = uint16_t(s);
        fillFastTable(lengths, n);
        return true;
    }

    // The next symbol, or -1 for a code the set of lengths leaves unassigned.
    int decode(BitReader& bits) const {
        const uint64_t window = bits.peek();
        const uint16_t entry = fast_[window & (fastSize - 1)];
        if (entry != 0) {
            bits.skip(entry & 15);
            return entry >> 4;
        }
        // Codes are packed most significant bit first: rebuild one bit at a time.
        int code = 0, first = 0, index = 0;
        for (unsigned len = 1; len <= maxCodeLength; ++len) {
            code |= int((window >> (len - 1)) & 1);
            const int count = count_[len];
            if (code - first < count) {
                bits.skip(len);
                return symbols_[index + code - first];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    static constexpr unsigned fastBits = 10, fastSize = 1u << fastBits;

    // Each short code fills every table slot whose low bits are that code, reversed.
    void fillFastTable(const uint8_t* lengths, unsigned n) {
        std::memset(fast_, 0, sizeof fast_);
        unsigned next[maxCodeLength + 1] = {0};
        unsigned code = 0;
        for (unsigned len = 1; len <= maxCodeLength; ++len) {
            code = (code + count_[len - 1] * (len > 1)) << 1;
            next[len] = code;
        }
        for (unsigned s = 0; s < n; ++s) {
            const unsigned len = lengths[s];
            if (len == 0) continue;
            const unsigned value = next[len]++;
            if (len > fastBits) continue;
            unsigned reversed = 0;
            for (unsigned i = 0; i < len; ++i) reversed |= ((value >> i) & 1) << (len - 1 - i);
            for (unsigned slot = reversed; slot < fastSize; slot += 1u << len) fast_[slot] = uint16_t(s << 4 | len);
        }
    }

    uint16_t count_[maxCodeLength + 1];
    uint16_t symbols_[litLenSymbols];
    uint16_t fast_[fastSize];
};

// Extra bits after each length symbol (257..285) and each distance symbol (0..29).
constexpr uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool buildFixedCodes(HuffmanCode& litLen, HuffmanCode& dist) {
    uint8_t lengths[litLenSymbols];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    if (!litLen.build(lengths, litLenSymbols)) return false;
    std::memset(lengths, 5, distSymbols);
    return dist.build(lengths, distSymbols);
}

// A dynamic block's header: the code-length code, then the lengths of both codes.
bool readDynamicCodes(BitReader& bits, HuffmanCode& litLen, HuffmanCode& dist) {
    static constexpr uint8_t order[codeLengthSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                         11, 4, 12, 3, 13, 2, 14, 1, 15};
    const unsigned nLitLen = bits.take(5) + 257, nDist = bits.take(5) + 1, nCodeLength = bits.take(4) + 4;
    if (nLitLen > 286 || nDist > 30) return false;
    uint8_t codeLengthLengths[codeLengthSymbols] = {0};
    for (unsigned i = 0; i < nCodeLength; ++i) codeLengthLengths[order[i]] = uint8_t(bits.take(3));
    HuffmanCode codeLengthCode;
    if (!codeLengthCode.build(codeLengthLengths, codeLengthSymbols)) return false;
    uint8_t lengths[litLenSymbols + distSymbols] = {0};
    for (unsigned i = 0; i < nLitLen + nDist;) {
        if (bits.overrun()) return false;
        const int symbol = codeLengthCode.decode(bits);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        if (symbol == 16 && i == 0) return false;  // nothing to repeat
        const uint8_t value = symbol == 16 ? lengths[i - 1] : 0;
        const unsigned repeat = symbol == 16 ? 3 + bits.take(2) : symbol == 17 ? 3 + bits.take(3) : 11 + bits.take(7);
        if (i + repeat > nLitLen + nDist) return false;
        for (unsigned r = 0; r < repeat; ++r) lengths[i++] = value;
    }
    if (lengths[endOfBlock] == 0) return false;
    return litLen.build(lengths, nLitLen) && dist.build(lengths + nLitLen, nDist);
}

// Reads one Huffman-coded block's symbols up to and including its end-of-block code.
bool skipSymbols(BitReader& bits, const HuffmanCode& litLen, const HuffmanCode& dist) {
    for (;;) {
        if (bits.overrun()) return false;
        const int symbol = litLen.decode(bits);
        if (symbol < int(endOfBlock)) {
            if (symbol < 0) return false;
            continue;
        }
        if (symbol == int(endOfBlock)) return true;
        if (symbol > 285) return false;
        bits.skip(lengthExtra[symbol - 257]);
        const int distance = dist.decode(bits);
        if (distance < 0 || distance >= 30) return false;
        bits.skip(distanceExtra[distance]);
    }
}

// A stored block, its header bits read: padding to a byte boundary, LEN, NLEN, LEN bytes.
bool skipStored(BitReader& bits) {
    bits.alignToByte();
    const uint32_t length = bits.take(16), check = bits.take(16);
    if ((length ^ 0xFFFF) != check) return false;
    bits.skip(uint64_t(length) * 8);
    return true;
}

}  // namespace

bool findLastDeflateBlock(const uint8_t* data, size_t len, DeflateLastBlock* found) noexcept {
    BitReader bits(data, len);
    HuffmanCode litLen, dist;
    for (;;) {
        const uint64_t header = bits.position();
        const bool final = bits.take(1) != 0;
        const uint32_t type = bits.take(2);
        bool read;
        switch (type) {
            case 0: read = skipStored(bits); break;
            case 1: read = buildFixedCodes(litLen, dist) && skipSymbols(bits, litLen, dist); break;
            case 2: read = readDynamicCodes(bits, litLen, dist) && skipSymbols(bits, litLen, dist); break;
            default: read = false;
        }
        if (!read || bits.overrun()) return false;
        if (final) {
            if ((bits.position() + 7) / 8 != len) return false;
            *found = {header, bits.position()};
            return true;
        }
    }
}

bool findLastDeflateBlockInflating(const uint8_t* data, size_t len, DeflateLastBlock* found) noexcept {
    if (len > UINT_MAX) return false;
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return false;
    uint8_t sink[16384];
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(len);
    DeflateLastBlock last{0, 0};
    bool ended = false;
    for (;;) {
        stream.next_out = sink;
        stream.avail_out = sizeof sink;
        if (inflate(&stream, Z_BLOCK) != Z_OK) break;
        // data_type: the count of unused bits in the last byte read, +64 once the final
        // block's header has been read, +128 at a block boundary.
        if ((stream.data_type & 128) == 0) continue;
        const uint64_t position = uint64_t(stream.total_in) * 8 - (stream.data_type & 7);
        if (stream.data_type & 64) {
            last.endBit = position;
            ended = true;
            break;
        }
        last.headerBit = position;
    }
    inflateEnd(&stream);
    if (!ended || (last.endBit + 7) / 8 != len) return false;
    *found = last;
    return true;
}

}  // namespace lumivex::png
