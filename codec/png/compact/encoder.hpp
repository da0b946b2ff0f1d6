// The compact PNG writer: an 8-bit RGB image stored in the smallest layout
// that holds it exactly, filtered and deflated to the smallest stream its
// level can find. One pipeline, in the order the data flows:
//   1. layouts.cpp   count the colours, lay out the candidates (RGB, palette, grey)
//   2. estimate.cpp  estimate each candidate's file for each filter strategy
//   3. choose.cpp    choose the strategies to weigh and the layout to write
//   4. stream.cpp    filter its rows and deflate them by the best method
//   5. trials.cpp    at the strongest level, weigh the closest pairs whole and
//                    deflate the likeliest at that level
//   6. ../framing.cpp frame the stream as a PNG file (the caller does)
// Every tuning constant is in policy.hpp; what runs on a second thread is
// decided in schedule.cpp. Pure: no Python.
#pragma once

#include "plan.hpp"

#include "../reduce.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace lumivex::png::compact {

// A plan's level and strategy, checked before any work.
CompactStatus checkCompactPlan(const CompactPlan& plan) noexcept;

// The zlib stream of a checked plan's image; owns its bytes.
class CompactStream {
public:
    CompactStream() = default;
    CompactStream(const CompactStream&) = delete;
    CompactStream& operator=(const CompactStream&) = delete;
    ~CompactStream() { std::free(data_); }

    const uint8_t* data() const noexcept { return data_; }
    size_t length() const noexcept { return length_; }
    // The layout the stream's rows are in: what the file's IHDR (and PLTE) say.
    const PngLayout& layout() const noexcept { return layout_; }

    // Takes over `data` (from malloc) as the stream of rows in `layout`.
    void adopt(uint8_t* data, size_t length, const PngLayout& layout) noexcept {
        std::free(data_);
        data_ = data;
        length_ = length;
        layout_ = layout;
    }

private:
    uint8_t* data_ = nullptr;
    size_t length_ = 0;
    PngLayout layout_;
};

// Filters and deflates the plan's image (checked with checkCompactPlan) into
// *stream: ok, or outOfMemory when a buffer or the compressor's working
// memory could not be had.
CompactStatus encodeCompactStream(const CompactPlan& plan, CompactStream* stream) noexcept;

}  // namespace lumivex::png::compact
