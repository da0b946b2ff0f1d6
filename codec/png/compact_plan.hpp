// What the compact PNG encoder is asked to do: an image and the level,
// filter strategy and colour choice to write it with. Pure: no Python.
#pragma once

#include <cstdint>

namespace lumivex::png {

// Which layouts the encoder may store an image in: the smallest of every one
// that holds it exactly, or 8-bit RGB alone.
enum class ColourChoice { automatic = 0, rgb = 1 };

// What to encode and how: the image's RGB rows, top first, and the deflate
// level (1..9 or strongestDeflateLevel) and filter strategy (a filter type
// 0..4 or adaptiveFilter).
struct CompactPlan {
    const uint8_t* pixels;
    uint32_t width, height;  // each at least 1
    int level;
    int strategy;
    ColourChoice colour = ColourChoice::automatic;
};

}  // namespace lumivex::png
