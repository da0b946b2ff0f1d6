// Stage 5 of the compact writer: the strongest level's trials, which pairs of
// layout and filter strategy it deflates at its own level, how, and on which
// threads. Pure: no Python; the work is shared between the calling thread and
// one helper.
#pragma once

#include "candidate.hpp"
#include "plan.hpp"

#include <cstddef>

namespace lumivex::png::compact {

// Deflates the likeliest of the weighed candidates at `level`, and keeps the
// smallest file if it beats the one in *best (*length bytes of rows in
// *layout); outOfMemory when memory ran out.
CompactStatus runStrongestTrials(const Candidate* candidates, size_t count, DeflateLevel level, Owned* best,
                                 size_t* length, const PngLayout** layout);

}  // namespace lumivex::png::compact
