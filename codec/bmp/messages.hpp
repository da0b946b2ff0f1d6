// Every fixed message of the BMP reader, in one place.
#pragma once

#include "header.hpp"

namespace lumivex::bmp::message {

constexpr char unsupportedHeader[] = "Unsupported BMP header";
constexpr char corruptedInfoHeader[] = "Corrupted BMP DIB header";
constexpr char incompletePixels[] = "Incomplete BMP pixel data";

// The message for an information header problem other than None.
constexpr const char* forProblem(InfoProblem problem) noexcept {
    return problem == InfoProblem::NotInfoHeader ? "Only BITMAPINFOHEADER BMP files are supported"
                                                 : "Only uncompressed 24-bit BMP files are supported";
}

}  // namespace lumivex::bmp::message
