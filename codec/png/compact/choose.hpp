// Stage 3 of the compact writer: which strategies each layout is weighed by,
// and which layout is written. Pure: no Python; the work is shared between
// the calling thread and one helper.
#pragma once

#include "candidate.hpp"
#include "plan.hpp"

#include <cstddef>

namespace lumivex::png::compact {

// The candidates for a checked plan, 8-bit RGB first, each weighed with the
// strategies its level and filter choice call for (none for a single layout
// and filter type: nothing to choose). Returns how many, or 0 when memory ran out.
size_t weighCandidates(const CompactPlan& plan, const Scratch& scratch, Candidate out[maxLayouts]);

// Below the strongest level: the candidate whose file is written.
size_t chooseLayout(const Candidate* candidates, size_t count);

// At the default level a layout weighed on all its rows has its stream in
// hand: where its file is smaller than the one made (*length bytes of *layout),
// it is taken instead.
void takeSmallerWholeStream(Candidate* candidates, size_t count, Owned* best, size_t* length,
                            const PngLayout** layout);

// The strongest level also weighs the slower choosing strategies, for the
// layouts likely to be written.
void weighSlowStrategies(Candidate* candidates, size_t count, const Scratch& scratch);

// The slower strategies weighed for one candidate.
void weighSlowStrategies(Candidate* candidate, const Scratch& scratch);

}  // namespace lumivex::png::compact
