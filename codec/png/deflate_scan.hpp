// Where a raw deflate stream's (RFC 1951) last block begins and ends, to the bit: what it
// takes to turn a whole stream into a piece that more blocks may follow (clear the last
// block's final flag, then pad from its end to a byte boundary).
// Pure: no Python.h, no exceptions, no global state. findLastDeflateBlock allocates
// nothing; the inflating reference allocates only zlib's working state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

struct DeflateLastBlock {
    uint64_t headerBit;  // bit position of the last block's header (its first bit is the final flag)
    uint64_t endBit;     // bit position just past the last block's end-of-block code or stored bytes
};

// Walks data[0, len), which must hold exactly one whole raw deflate stream (its last
// byte the one the final block ends in), block by block, decoding symbols without
// producing output. Returns false, leaving *found alone, for data that is not such a
// stream: a bad header or code, data cut short, or whole bytes after the final block.
// Distances are not checked against the output they would reach back into.
bool findLastDeflateBlock(const uint8_t* data, size_t len, DeflateLastBlock* found) noexcept;

// The same answer from zlib, which inflates the stream into a scratch window and reports
// each block boundary: the slower reference for findLastDeflateBlock. len <= UINT_MAX.
bool findLastDeflateBlockInflating(const uint8_t* data, size_t len, DeflateLastBlock* found) noexcept;

}  // namespace lumivex::png
