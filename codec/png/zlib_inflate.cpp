#include "zlib_inflate.hpp"

#include <algorithm>
#include <climits>

#include <zlib.h>

namespace lumivex::png {
namespace {

uInt window(size_t left) { return static_cast<uInt>(std::min<size_t>(left, UINT_MAX)); }

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
