// What the compact PNG writer is asked to do, and how it can end. Pure: no Python.
#pragma once

#include "../deflate.hpp"
#include "../filter_select.hpp"

#include <cstdint>

namespace lumivex::png::compact {

// Which layouts the writer may store an image in: the smallest of every one
// that holds it exactly, or 8-bit RGB alone.
enum class ColourChoice { automatic, rgb };

// What to encode and how: the image's RGB rows, top first, the deflate level
// (1 to 9 or strongest) and the filter strategy (a filter type, or adaptive).
struct CompactPlan {
    const uint8_t* pixels;
    uint32_t width, height;  // each at least 1
    DeflateLevel level;
    FilterStrategy strategy;
    ColourChoice colour = ColourChoice::automatic;
};

enum class CompactStatus { ok, unknownLevel, unknownFilter, outOfMemory };

}  // namespace lumivex::png::compact
