// The compact PNG encoder: an 8-bit RGB image stored in the smallest layout
// that holds it exactly (8-bit RGB, a palette, or grey; see reduce.hpp),
// filtered row by row (one filter type, or the adaptive choice weighed against
// none), deflated by the policy of compact_stream.hpp, and framed as a PNG
// file. Pure: no Python; the work of a large image is shared between the
// calling thread and one helper.
#pragma once

#include "compact_plan.hpp"
#include "reduce.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

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
    // The layout the stream's rows are in: what the file's IHDR (and PLTE) say.
    const PngLayout& layout() const noexcept { return layout_; }

    // Takes over `data` (from malloc) as the stream of rows in `layout`.
    void adopt(uint8_t* data, size_t length, const PngLayout& layout) noexcept;

private:
    uint8_t* data_ = nullptr;
    size_t length_ = 0;
    PngLayout layout_;
};

// Filters and deflates the plan's image (checked with checkCompactPlan) into
// *stream: ok, or outOfMemory when a buffer or the compressor's working
// memory could not be had.
CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept;

}  // namespace lumivex::png
