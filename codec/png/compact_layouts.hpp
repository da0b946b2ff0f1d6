// The layouts the compact encoder may store an image in, and its rows packed
// into one. Pure: no Python; a large image's census and packing are shared
// between the calling thread and one helper.
#pragma once

#include "compact_candidates.hpp"

#include <cstddef>

namespace lumivex::png {

// The layouts that hold the plan's image exactly, 8-bit RGB first (the only
// one for ColourChoice::rgb); returns how many.
size_t layoutsFor(const CompactPlan& plan, PngLayout layouts[maxLayouts]) noexcept;

// Gives the candidate `layout` and its image: the plan's pixels for 8-bit RGB,
// else its rows packed into the layout (a large image's in two halves on two
// threads); false when memory ran out.
bool pack(const CompactPlan& plan, const PngLayout& layout, Candidate* out) noexcept;

}  // namespace lumivex::png
