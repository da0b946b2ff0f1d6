// Stage 1 of the compact writer: the layouts that hold the plan's image
// exactly (from a census of its colours), and its rows packed into each.
// Pure: no Python.
#pragma once

#include "candidate.hpp"
#include "plan.hpp"

#include <cstddef>

namespace lumivex::png::compact {

// The layouts that hold the plan's image exactly, 8-bit RGB first (the only
// one for ColourChoice::rgb); returns how many.
size_t layoutsFor(const CompactPlan& plan, PngLayout layouts[maxLayouts]) noexcept;

// Gives the candidate `layout` and its image: the plan's pixels for 8-bit RGB,
// else its rows packed into the layout; false when memory ran out.
bool pack(const CompactPlan& plan, const PngLayout& layout, Candidate* out) noexcept;

}  // namespace lumivex::png::compact
