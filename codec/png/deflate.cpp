#include "deflate.hpp"

#include "deflate_scan.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "zlib_window.hpp"

#include <zlib.h>

#if defined(LUMIVEX_HAVE_LIBDEFLATE)
#include "kept_compressors.hpp"
#endif

namespace lumivex::png {
namespace {

// Leaves room for any wrapper's worst-case growth without wrapping around.
constexpr size_t largestBoundedInput = SIZE_MAX / 2;

#if defined(LUMIVEX_HAVE_LIBDEFLATE)
int libraryLevel(DeflateLevel level) { return static_cast<int>(level); }
#else
int libraryLevel(DeflateLevel level) { return std::min(static_cast<int>(level), Z_BEST_COMPRESSION); }
#endif

}  // namespace

bool sameCompression(DeflateLevel a, DeflateLevel b) noexcept { return libraryLevel(a) == libraryLevel(b); }

namespace {

using zlibwindow::Cursor;
using zlibwindow::window;

// What zlibDeflate writes: a whole zlib stream, or a raw deflate piece that ends the
// stream or that stops byte-aligned without a final block (a sync flush).
enum class ZlibOutput { stream, lastPiece, innerPiece };

// src deflated through zlib into dst; 0 if it does not fit or zlib cannot get memory.
// Input and output go through in uInt-sized windows.
size_t zlibDeflate(int level, int strategy, ZlibOutput output, const uint8_t* src, size_t srcLen, uint8_t* dst,
                   size_t dstCap) {
    z_stream stream{};
    const int windowBits = output == ZlibOutput::stream ? 15 : -15;
    if (deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy) != Z_OK) return 0;
    const int endFlush = output == ZlibOutput::innerPiece ? Z_SYNC_FLUSH : Z_FINISH;
    Cursor cursor{src, srcLen, dst, dstCap};
    bool done = false;
    for (;;) {
        stream.next_in = const_cast<Bytef*>(cursor.in);
        stream.avail_in = window(cursor.inLeft);
        stream.next_out = cursor.out;
        stream.avail_out = window(cursor.outLeft);
        const uInt inWindow = stream.avail_in, outWindow = stream.avail_out;
        // Finish (or flush) only once the last piece of input is in the window.
        const bool lastWindow = inWindow == cursor.inLeft;
        const int rc = deflate(&stream, lastWindow ? endFlush : Z_NO_FLUSH);
        cursor.in += inWindow - stream.avail_in;
        cursor.inLeft -= inWindow - stream.avail_in;
        cursor.out += outWindow - stream.avail_out;
        cursor.outLeft -= outWindow - stream.avail_out;
        // A sync flush is complete when it leaves output room unused.
        done = rc == Z_STREAM_END || (rc == Z_OK && endFlush == Z_SYNC_FLUSH && lastWindow && stream.avail_out > 0);
        // No room left for output before the end: the stream does not fit.
        if (done || rc != Z_OK || cursor.outLeft == 0) break;
    }
    deflateEnd(&stream);
    return done ? dstCap - cursor.outLeft : 0;
}

size_t zlibPiece(int level, int strategy, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                 size_t dstCap) {
    return zlibDeflate(level, strategy, last ? ZlibOutput::lastPiece : ZlibOutput::innerPiece, src, srcLen, dst,
                       dstCap);
}

int zlibStrategy(Unmatched how) { return how == Unmatched::runs ? Z_RLE : Z_HUFFMAN_ONLY; }

// A sync flush's worth of room: an empty stored block after at most 7 bits of padding.
constexpr size_t emptyStoredBlockBound = 5;

}  // namespace

size_t compressZlibUnmatched(Unmatched how, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    return zlibDeflate(Z_BEST_COMPRESSION, zlibStrategy(how), ZlibOutput::stream, src, srcLen, dst, dstCap);
}

size_t compressDeflateUnmatchedPiece(Unmatched how, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                                     size_t dstCap) noexcept {
    return zlibPiece(Z_BEST_COMPRESSION, zlibStrategy(how), last, src, srcLen, dst, dstCap);
}

void putZlibHeader(DeflateLevel deflateLevel, uint8_t out[zlibHeaderLength]) noexcept {
    const int level = static_cast<int>(deflateLevel);
    // CM 8 (deflate) with a 32 KiB window; FLEVEL as zlib sets it: fastest, fast, default, best.
    const unsigned cmf = 0x78;
    const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned flg = flevel << 6;
    flg += 31 - (cmf * 256 + flg) % 31;  // FCHECK: the pair read big-endian is a multiple of 31
    out[0] = static_cast<uint8_t>(cmf);
    out[1] = static_cast<uint8_t>(flg);
}

void putZlibTrailer(uint32_t adler, uint8_t out[zlibTrailerLength]) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(adler >> (24 - 8 * i));
}

uint32_t combineAdler32(uint32_t first, uint32_t second, size_t secondLen) noexcept {
    // With n = secondLen: A = A1 + A2 - 1, and B = B1 + B2 + n * (A1 - 1), modulo 65521.
    constexpr uint64_t base = 65521;
    const uint64_t n = secondLen % base;
    const uint64_t a1 = first & 0xFFFF, b1 = first >> 16, a2 = second & 0xFFFF, b2 = second >> 16;
    const uint64_t a = (a1 + a2 + base - 1) % base;
    const uint64_t b = (b1 + b2 + n * a1 + base - n) % base;
    return static_cast<uint32_t>(b << 16 | a);
}

#if defined(LUMIVEX_HAVE_LIBDEFLATE)

const char* deflateBackend() noexcept { return "libdeflate"; }

size_t zlibCompressBound(size_t srcLen) noexcept {
    if (srcLen > largestBoundedInput) return 0;
    // compressZlibUnmatched goes through zlib even here.
    return std::max<size_t>(libdeflate_zlib_compress_bound(nullptr, srcLen), compressBound(static_cast<uLong>(srcLen)));
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t len) noexcept {
    // libdeflate answers a null buffer with the initial value, whatever `crc` is.
    return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

size_t compressZlib(DeflateLevel level, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    if (!isKnownLevel(level)) return 0;
    const Compressor compressor(libraryLevel(level));
    if (compressor.get() == nullptr) return 0;
    return libdeflate_zlib_compress(compressor.get(), src, srcLen, dst, dstCap);
}

size_t deflatePieceBound(size_t srcLen) noexcept {
    if (srcLen > largestBoundedInput) return 0;
    return std::max<size_t>(libdeflate_deflate_compress_bound(nullptr, srcLen),
                            compressBound(static_cast<uLong>(srcLen))) +
           emptyStoredBlockBound;
}

namespace {

// Turns the whole raw deflate stream in dst[0, len) into a piece that does not end the
// stream: its last block loses the final flag, and an empty stored block (three zero
// header bits, zero padding, LEN 0, NLEN 0xFFFF) brings it to a byte boundary.
size_t endWithoutFinalBlock(uint8_t* dst, size_t len, size_t dstCap) {
    DeflateLastBlock last;
    if (!findLastDeflateBlock(dst, len, &last) || dstCap - len < emptyStoredBlockBound) return 0;
    dst[last.headerBit / 8] &= static_cast<uint8_t>(~(1u << (last.headerBit % 8)));
    const unsigned usedBits = last.endBit % 8;  // of the last byte; 0 when it is full
    if (usedBits != 0) dst[len - 1] &= static_cast<uint8_t>((1u << usedBits) - 1);  // zero the padding
    // The stored block's header goes in the last byte's free bits when three fit there.
    if (usedBits == 0 || usedBits > 5) dst[len++] = 0;
    for (uint8_t byte : {0x00, 0x00, 0xFF, 0xFF}) dst[len++] = byte;
    return len;
}

}  // namespace

size_t compressDeflatePiece(DeflateLevel level, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                            size_t dstCap) noexcept {
    if (!isKnownLevel(level) || dstCap < emptyStoredBlockBound) return 0;
    size_t written = 0;
    {
        const Compressor compressor(libraryLevel(level));
        if (compressor.get() == nullptr) return 0;
        // An inner piece keeps room for the stored block that ends it.
        const size_t room = last ? dstCap : dstCap - emptyStoredBlockBound;
        written = libdeflate_deflate_compress(compressor.get(), src, srcLen, dst, room);
    }
    if (written == 0 || last) return written;
    return endWithoutFinalBlock(dst, written, dstCap);
}

uint32_t updateAdler32(uint32_t adler, const uint8_t* data, size_t len) noexcept {
    return len == 0 ? adler : libdeflate_adler32(adler, data, len);
}

#else

const char* deflateBackend() noexcept { return "zlib"; }

size_t zlibCompressBound(size_t srcLen) noexcept {
    if (srcLen > largestBoundedInput) return 0;
    return compressBound(static_cast<uLong>(srcLen));
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t len) noexcept {
    uLong value = crc;
    for (size_t done = 0; done < len;) {
        const uInt piece = window(len - done);
        value = crc32(value, data + done, piece);
        done += piece;
    }
    return static_cast<uint32_t>(value);
}

size_t compressZlib(DeflateLevel level, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    if (!isKnownLevel(level)) return 0;
    return zlibDeflate(libraryLevel(level), Z_DEFAULT_STRATEGY, ZlibOutput::stream, src, srcLen, dst, dstCap);
}

size_t deflatePieceBound(size_t srcLen) noexcept {
    if (srcLen > largestBoundedInput) return 0;
    return compressBound(static_cast<uLong>(srcLen)) + emptyStoredBlockBound;
}

size_t compressDeflatePiece(DeflateLevel level, bool last, const uint8_t* src, size_t srcLen, uint8_t* dst,
                            size_t dstCap) noexcept {
    if (!isKnownLevel(level)) return 0;
    return zlibPiece(libraryLevel(level), Z_DEFAULT_STRATEGY, last, src, srcLen, dst, dstCap);
}

uint32_t updateAdler32(uint32_t adler, const uint8_t* data, size_t len) noexcept {
    uLong value = adler;
    for (size_t done = 0; done < len;) {
        const uInt piece = window(len - done);
        value = ::adler32(value, data + done, piece);
        done += piece;
    }
    return static_cast<uint32_t>(value);
}

#endif

}  // namespace lumivex::png
