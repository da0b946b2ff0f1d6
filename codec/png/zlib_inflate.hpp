// Inflation with the zlib library, giving the outcomes and the words Python's
// zlib module gives for the same stream: the reader's fallback when its fast
// inflate does not end exactly, so that a damaged stream is reported as zlib
// reports it. Pure: no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

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
