#include "deflate.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <zlib.h>

#if defined(LUMIVEX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace lumivex::png {
namespace {

bool isKnownLevel(int level) {
    return (level >= minDeflateLevel && level <= maxDeflateLevel) || level == strongestDeflateLevel;
}

// Leaves room for any wrapper's worst-case growth without wrapping around.
constexpr size_t largestBoundedInput = SIZE_MAX / 2;

#if defined(LUMIVEX_HAVE_LIBDEFLATE)
int libraryLevel(int level) { return level == strongestDeflateLevel ? 12 : level; }
#else
int libraryLevel(int level) { return level == strongestDeflateLevel ? 9 : level; }
#endif

// zlib counts its windows in uInt: a buffer is fed in pieces no larger than this.
uInt window(size_t left) { return static_cast<uInt>(std::min<size_t>(left, UINT_MAX)); }

// Moves a byte window forward by what the last zlib call took or gave.
struct Cursor {
    const uint8_t* in;
    size_t inLeft;
    uint8_t* out;
    size_t outLeft;
};

// One zlib stream of src in dst through zlib's deflate; 0 if it does not fit or zlib
// cannot get memory. Input and output go through in uInt-sized windows.
size_t zlibDeflate(int level, int strategy, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) return 0;
    Cursor cursor{src, srcLen, dst, dstCap};
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_in = const_cast<Bytef*>(cursor.in);
        stream.avail_in = window(cursor.inLeft);
        stream.next_out = cursor.out;
        stream.avail_out = window(cursor.outLeft);
        const uInt inWindow = stream.avail_in, outWindow = stream.avail_out;
        // Finish only once the last piece of input is in the window.
        rc = deflate(&stream, inWindow == cursor.inLeft ? Z_FINISH : Z_NO_FLUSH);
        cursor.in += inWindow - stream.avail_in;
        cursor.inLeft -= inWindow - stream.avail_in;
        cursor.out += outWindow - stream.avail_out;
        cursor.outLeft -= outWindow - stream.avail_out;
        // No room left for output before the end: the stream does not fit.
        if (rc == Z_BUF_ERROR || (rc == Z_OK && cursor.outLeft == 0)) break;
    }
    deflateEnd(&stream);
    return rc == Z_STREAM_END ? dstCap - cursor.outLeft : 0;
}

}  // namespace

size_t compressZlibRuns(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    return zlibDeflate(Z_BEST_COMPRESSION, Z_RLE, src, srcLen, dst, dstCap);
}

#if defined(LUMIVEX_HAVE_LIBDEFLATE)

const char* deflateBackend() noexcept { return "libdeflate"; }

size_t zlibCompressBound(size_t srcLen) noexcept {
    if (srcLen > largestBoundedInput) return 0;
    // compressZlibRuns goes through zlib even here.
    return std::max<size_t>(libdeflate_zlib_compress_bound(nullptr, srcLen), compressBound(static_cast<uLong>(srcLen)));
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t len) noexcept {
    return libdeflate_crc32(crc, data, len);
}

size_t compressZlib(int level, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    if (!isKnownLevel(level)) return 0;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(libraryLevel(level));
    if (compressor == nullptr) return 0;
    const size_t written = libdeflate_zlib_compress(compressor, src, srcLen, dst, dstCap);
    libdeflate_free_compressor(compressor);
    return written;
}

InflateStatus inflateInto(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap,
                          InflateCounts* counts) noexcept {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) return InflateStatus::outOfMemory;
    size_t consumed = 0, produced = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decompressor, src, srcLen, dst, dstCap, &consumed, &produced);
    libdeflate_free_decompressor(decompressor);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            counts->produced = produced;
            counts->consumed = consumed;
            return produced == dstCap ? InflateStatus::complete : InflateStatus::shortOutput;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return InflateStatus::outputTooLarge;
        default:
            return InflateStatus::badData;
    }
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

size_t compressZlib(int level, const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap) noexcept {
    if (!isKnownLevel(level)) return 0;
    return zlibDeflate(libraryLevel(level), Z_DEFAULT_STRATEGY, src, srcLen, dst, dstCap);
}

InflateStatus inflateInto(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap,
                          InflateCounts* counts) noexcept {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return InflateStatus::outOfMemory;
    Cursor cursor{src, srcLen, dst, dstCap};
    // Once dst is full, one more byte inflated into `spare` tells a stream that ends
    // right there from one that holds more.
    uint8_t spare;
    InflateStatus status;
    for (;;) {
        const bool probing = cursor.outLeft == 0;
        stream.next_in = const_cast<Bytef*>(cursor.in);
        stream.avail_in = window(cursor.inLeft);
        stream.next_out = probing ? &spare : cursor.out;
        stream.avail_out = probing ? 1 : window(cursor.outLeft);
        const uInt inWindow = stream.avail_in, outWindow = stream.avail_out;
        const int rc = inflate(&stream, Z_NO_FLUSH);
        cursor.in += inWindow - stream.avail_in;
        cursor.inLeft -= inWindow - stream.avail_in;
        if (probing && stream.avail_out == 0) {
            status = InflateStatus::outputTooLarge;
            break;
        }
        if (!probing) {
            cursor.out += outWindow - stream.avail_out;
            cursor.outLeft -= outWindow - stream.avail_out;
        }
        if (rc == Z_STREAM_END) {
            counts->produced = dstCap - cursor.outLeft;
            counts->consumed = srcLen - cursor.inLeft;
            status = cursor.outLeft == 0 ? InflateStatus::complete : InflateStatus::shortOutput;
            break;
        }
        if (rc == Z_MEM_ERROR) {
            status = InflateStatus::outOfMemory;
            break;
        }
        // A data error, a preset dictionary, or no input left before the stream's end.
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            status = InflateStatus::badData;
            break;
        }
        if (rc == Z_BUF_ERROR && cursor.inLeft == 0) {
            status = InflateStatus::badData;
            break;
        }
    }
    inflateEnd(&stream);
    return status;
}

#endif

}  // namespace lumivex::png
