#include "inflate.hpp"

#include <algorithm>
#include <climits>

#include "zlib_window.hpp"

#include <zlib.h>

#if defined(LUMIVEX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace lumivex::png {
namespace {

using zlibwindow::Cursor;
using zlibwindow::window;

// Where the next output goes: into dst while there is room, then one byte of
// probe; without dst, into scratch that is overwritten.
struct Output {
    uint8_t* dst;
    size_t size;
    size_t produced = 0;
    uint8_t scratch[16384];

    uint8_t* next() { return dst != nullptr && produced < size ? dst + produced : scratch; }
    size_t room() const {
        const size_t left = produced < size ? size - produced : 0;
        const size_t bounded = left == 0 ? 1 : left;  // the probe byte past size
        return dst != nullptr ? bounded : std::min(bounded, sizeof scratch);
    }
};

}  // namespace

#if defined(LUMIVEX_HAVE_LIBDEFLATE)

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

ZlibInflate inflateWithZlib(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t size,
                            ZlibFailure* failure) noexcept {
    z_stream stream{};
    int rc = inflateInit(&stream);
    if (rc == Z_MEM_ERROR) return ZlibInflate::outOfMemory;
    if (rc != Z_OK) {
        *failure = {rc, stream.msg};
        return ZlibInflate::failed;
    }
    Output output{dst, size, 0, {}};
    size_t consumed = 0;
    ZlibInflate outcome;
    for (;;) {
        stream.next_in = const_cast<Bytef*>(src + consumed);
        stream.avail_in = window(srcLen - consumed);
        const uInt inWindow = stream.avail_in;
        stream.next_out = output.next();
        stream.avail_out = window(output.room());
        const uInt outWindow = stream.avail_out;
        rc = inflate(&stream, Z_SYNC_FLUSH);
        consumed += inWindow - stream.avail_in;
        output.produced += outWindow - stream.avail_out;
        if (rc == Z_STREAM_END) {
            outcome = output.produced == size ? ZlibInflate::exact : ZlibInflate::tooShort;
            break;
        }
        if (rc == Z_MEM_ERROR) {
            outcome = ZlibInflate::outOfMemory;
            break;
        }
        // An error found by the call that went past `size` is still reported,
        // as zlib's module reports it.
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            *failure = {rc, stream.msg};
            outcome = ZlibInflate::failed;
            break;
        }
        if (output.produced > size) {
            outcome = ZlibInflate::tooLong;
            break;
        }
        if (consumed == srcLen && stream.avail_out != 0) {
            // All the input taken and the stream not ended: what zlib.decompress
            // then says of a truncated stream.
            *failure = {Z_BUF_ERROR, stream.msg};
            outcome = ZlibInflate::failed;
            break;
        }
    }
    inflateEnd(&stream);
    return outcome;
}

}  // namespace lumivex::png
