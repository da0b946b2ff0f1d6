// The compact encoder's strongest level: which pairs of layout and filter
// strategy it deflates at its own level, how, and on which threads. Pure: no
// Python; the work is shared between the calling thread and one helper.
#pragma once

#include "compact_candidates.hpp"
#include "compact_encoder.hpp"

#include <cstddef>

namespace lumivex::png {

// Layouts whose estimate is this much above the best one's are not weighed
// further at the strongest level: they have never come out smaller.
constexpr double strongestMargin = 1.1;

// Deflates the likeliest of the weighed candidates at `level`, and keeps the
// smallest file if it beats the one in *best (*length bytes of rows in
// *layout); outOfMemory when memory ran out.
CompactStatus runStrongestTrials(const Candidate* candidates, size_t count, int level, Owned* best, size_t* length,
                                 const PngLayout** layout);

}  // namespace lumivex::png
