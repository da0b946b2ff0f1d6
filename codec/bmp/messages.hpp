// Every fixed message of the BMP reader, in one place.
#pragma once

#include "header.hpp"

namespace lumivex::bmp::message {

constexpr char unsupportedHeader[] = "Unsupported BMP header";
constexpr char corruptedInfoHeader[] = "Corrupted BMP DIB header";
constexpr char incompletePixels[] = "Incomplete BMP pixel data";

// What a reader of every BMP layout says of what it does not take.
constexpr char headerSize[] = "Unsupported BMP information header of %u bytes";  // with its size
constexpr char zeroPlanes[] = "Invalid BMP: zero planes";
constexpr char bitCount[] = "Unsupported BMP bit count %u";                       // with the bit count
constexpr char embedded[] = "BMP files with embedded JPEG or PNG data are not supported";
constexpr char compression[] = "Unsupported BMP compression %u for this bit count";  // with the value
constexpr char masks[] = "Invalid BMP colour masks: they overlap or are not contiguous";
constexpr char palette[] = "Invalid BMP: the palette runs past the pixel data";
constexpr char topDownRle[] = "Invalid BMP: run-length data in a top-down bitmap";
constexpr char offsetPastEnd[] = "Invalid BMP: the pixel data offset %lld is past the end of the file";  // with the offset
constexpr char headerShort[] = "Truncated BMP information header";

// The message for an information header problem other than None.
constexpr const char* forProblem(InfoProblem problem) noexcept {
    return problem == InfoProblem::NotInfoHeader ? "Only BITMAPINFOHEADER BMP files are supported"
                                                 : "Only uncompressed 24-bit BMP files are supported";
}

}  // namespace lumivex::bmp::message
