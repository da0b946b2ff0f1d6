// What the caller of a decode provides around the codec's work: the image's
// buffer, asked for once the headers are checked and its size is known, and
// the start and end of work that reads nothing from the source (inflating,
// rebuilding, converting), where a host may let other threads run. Pure: no
// Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex {

class DecodeHost {
public:
    virtual ~DecodeHost() = default;
    // `bytes` of memory for the image, which the decode fills; null when the
    // host cannot make it (the host's own error then stands).
    virtual uint8_t* imageBuffer(size_t bytes) noexcept = 0;
    // Work over about `bytes` bytes that reads nothing from the source begins, and ends.
    virtual void beginLongWork(size_t bytes) noexcept { (void)bytes; }
    virtual void endLongWork() noexcept {}
};

}  // namespace lumivex
