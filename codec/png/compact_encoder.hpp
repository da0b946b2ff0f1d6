// The compact PNG encoder: an 8-bit RGB image filtered row by row (one filter
// type, or the adaptive choice), deflated by the policy of compact_stream.hpp,
// and framed as a PNG file. Pure: no Python; the work of a large image is
// shared between the calling thread and one helper.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

// What to encode and how: the image's RGB rows, top first, and the deflate
// level (1..9 or strongestDeflateLevel) and filter strategy (a filter type
// 0..4 or adaptiveFilter).
struct CompactPlan {
    const uint8_t* pixels;
    uint32_t width, height;  // each at least 1
    int level;
    int strategy;
};

enum class CompactStatus { ok, unknownLevel, unknownFilter, outOfMemory };

// A plan's level and strategy, checked before any work.
CompactStatus checkCompactPlan(const CompactPlan& plan) noexcept;

// The zlib stream of a checked plan's image; owns its bytes.
class CompactStream {
public:
    CompactStream() = default;
    CompactStream(const CompactStream&) = delete;
    CompactStream& operator=(const CompactStream&) = delete;
    ~CompactStream();

    const uint8_t* data() const noexcept { return data_; }
    size_t length() const noexcept { return length_; }

private:
    friend CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept;
    uint8_t* data_ = nullptr;
    size_t length_ = 0;
};

// Filters and deflates the plan's image (checked with checkCompactPlan) into
// *stream: ok, or outOfMemory when a buffer or the compressor's working
// memory could not be had.
CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept;

}  // namespace lumivex::png
