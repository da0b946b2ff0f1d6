// Decompression of whole zlib streams (RFC 1950) into a buffer of known size:
// fast (libdeflate when the build defines LUMIVEX_HAVE_LIBDEFLATE, zlib
// otherwise), and through the zlib library itself, giving the outcomes and
// the words Python's zlib module gives for the same stream, for the reader to
// report a damaged stream as zlib reports it. Pure: no Python, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

enum class InflateStatus {
    complete,        // the stream ended, having produced exactly dstCap bytes
    shortOutput,     // the stream ended, having produced fewer than dstCap bytes
    outputTooLarge,  // the stream holds more than dstCap bytes
    badData,         // corrupt or unsupported data: bad header, block or checksum, a preset
                     // dictionary, or input that ends before the stream does
    outOfMemory,     // the library could not get its working memory
};

struct InflateCounts {
    size_t produced = 0;  // bytes written to dst (complete, shortOutput)
    size_t consumed = 0;  // bytes of src the stream spans, trailer included (complete, shortOutput):
                          // consumed < srcLen means data follows the stream
};

// Inflates the zlib stream at the start of src[0, srcLen) into dst[0, dstCap).
// Never writes past dst + dstCap; dst's contents are unspecified unless the status is
// complete or shortOutput, and counts is filled only then. dst must not overlap src.
InflateStatus inflateInto(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstCap,
                          InflateCounts* counts) noexcept;


// zlib's error code and its own description (null when it gave none).
struct ZlibFailure {
    int code = 0;
    const char* detail = nullptr;
};

enum class ZlibInflate {
    exact,        // the stream ended after exactly `size` bytes
    tooShort,     // the stream ended before `size` bytes
    tooLong,      // the stream holds more than `size` bytes
    failed,       // zlib refused the data (*failure says how), or it ends before the stream does
    outOfMemory,
};

// Inflates the zlib stream at the start of src[0, srcLen) into dst[0, size)
// (dst null: nothing is kept, only the outcome), stopping at size + 1 bytes
// as zlib.decompressobj().decompress(src, size + 1) stops: an error found
// after that many bytes is not reported. Data after the stream is ignored.
ZlibInflate inflateWithZlib(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t size,
                            ZlibFailure* failure) noexcept;

}  // namespace lumivex::png
