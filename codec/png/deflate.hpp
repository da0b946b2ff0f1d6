// zlib-format (RFC 1950) compression of whole buffers, and the checksums.
// Backed by libdeflate when the build defines LUMIVEX_HAVE_LIBDEFLATE, by zlib otherwise
// (compressZlibUnmatched always uses zlib).
// No Python.h, no exceptions. The only allocation is the compression library's own
// working state, made and freed within each call; calls share nothing, so any number
// may run at once on different threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// "libdeflate" or "zlib": the library behind compressZlib and inflateInto (inflate.hpp) in this build.
const char* deflateBackend() noexcept;

// A deflate level, numbered as libdeflate numbers its levels: 1 (fastest) to 9
// as zlib means them, then 11 (optimal parsing, at about half the time of 12,
// which writes 1-7 % less) and 12 (a longer search and more passes, which
// finds far more in very repetitive rows: a quarter less on a bar chart, at
// about twice the time of 11). Without libdeflate, 11 and 12 are zlib's 9.
// Levels 2 to 5, 7 and 8 have no names of their own: DeflateLevel(n).
enum class DeflateLevel : int { fastest = 1, standard = 6, zlibBest = 9, strongest = 11, deepest = 12 };

// Whether `level` is one of the levels above.
constexpr bool isKnownLevel(DeflateLevel level) noexcept {
    const int n = static_cast<int>(level);
    return (n >= 1 && n <= 9) || level == DeflateLevel::strongest || level == DeflateLevel::deepest;
}

// Whether two known levels compress alike in this build (without libdeflate
// the stronger levels are zlib's 9).
bool sameCompression(DeflateLevel a, DeflateLevel b) noexcept;

// Worst-case length of compressZlib's output for srcLen input bytes, at any level.
// Returns 0 when that length does not fit in size_t.
size_t zlibCompressBound(size_t srcLen) noexcept;

// Compresses src[0, srcLen) into one zlib stream in dst[0, dstCap) at `level`
// (a known level). Returns the stream's
// length, or 0 when the level is unknown, the library could not get memory, or the
// stream does not fit (never the case with dstCap >= zlibCompressBound(srcLen)).
// dst must not overlap src. Never writes past dst + dstCap.
size_t compressZlib(DeflateLevel level, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept;

// zlib's strategies that seek no repeated strings, whatever the backend: `runs` finds
// only runs of the byte just before, `literals` nothing (the Huffman codes alone do
// the work). Several times faster than matching, and smaller for data whose
// redundancy lies in its byte statistics rather than in repeated strings, as filtered
// rows of a noisy, smooth picture; literals alone where even runs are rare.
enum class Unmatched { runs, literals };

// Compresses like compressZlib, the way `how` says. Same contract as compressZlib.
size_t compressZlibUnmatched(Unmatched how, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept;

// --- one zlib stream deflated in pieces ---------------------------------------------
// A long input may be deflated as consecutive pieces, each compressed on its own (on
// different threads, say) and then joined in order: zlibHeaderLength bytes from
// putZlibHeader, every piece's raw deflate data, and the Adler-32 of the whole input
// (putZlibTrailer). Every piece but the last ends on a byte boundary and holds no final
// block, so the next piece's blocks follow it directly. A piece refers back to nothing
// before its own start, which costs a little size at each cut.

constexpr size_t zlibHeaderLength = 2;
constexpr size_t zlibTrailerLength = 4;

// Worst-case length of a piece of srcLen input bytes, by either method and at any level.
// Returns 0 when that length does not fit in size_t.
size_t deflatePieceBound(size_t srcLen) noexcept;

// Compresses src[0, srcLen) into one piece in dst[0, dstCap), as compressZlib does at
// `level`; `last` says whether the piece ends the stream. Returns the piece's length, or
// 0 when the level is unknown, the library could not get memory, or the piece does not
// fit (never the case with dstCap >= deflatePieceBound(srcLen)). dst must not overlap
// src. Never writes past dst + dstCap.
size_t compressDeflatePiece(DeflateLevel level, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                            size_t dstCap) noexcept;
// The same the way `how` says (compressZlibUnmatched).
size_t compressDeflateUnmatchedPiece(Unmatched how, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                                     size_t dstCap) noexcept;

// The stream's two header bytes; the level only sets the informative FLEVEL field.
void putZlibHeader(DeflateLevel level, uint8_t out[zlibHeaderLength]) noexcept;
// The stream's trailer: the whole input's Adler-32, big-endian.
void putZlibTrailer(uint32_t adler, uint8_t out[zlibTrailerLength]) noexcept;

// Adler-32 as zlib defines it, continued from `adler` (1 to start) over data[0, len).
uint32_t updateAdler32(uint32_t adler, const uint8_t* data, size_t len) noexcept;
// The Adler-32 of two inputs joined, from each one's Adler-32 and the second's length.
uint32_t combineAdler32(uint32_t first, uint32_t second, size_t secondLen) noexcept;

// CRC-32 as PNG and zlib define it, continued from `crc` (0 to start) over data[0, len).
uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t len) noexcept;

}  // namespace lumivex::png
