// Every fixed message of the PNG reader and writer, in one place.
#pragma once

#include "header.hpp"

namespace lumivex::png::message {

constexpr char unsupportedSignature[] = "Unsupported PNG signature";
constexpr char malformed[] = "Malformed PNG image data";
constexpr char unsupportedFilter[] = "Unsupported PNG filter: %d";  // with the filter type
constexpr char eofInLength[] = "Unexpected EOF while reading chunk length";
constexpr char eofInType[] = "Unexpected EOF while reading chunk type";
constexpr char eofInData[] = "Unexpected EOF while reading chunk data";
constexpr char eofInCrc[] = "Unexpected EOF while reading chunk CRC";
constexpr char corruptedChunk[] = "Corrupted PNG chunk detected";

// What a reader of every valid PNG says of what the format does not allow.
constexpr char invalidColorType[] = "Invalid PNG colour type %d";                 // with the colour type
constexpr char invalidBitDepth[] = "Invalid PNG bit depth %d for colour type %d";  // with both
constexpr char noPalette[] = "PNG palette image without a PLTE chunk";
constexpr char paletteSize[] = "Invalid PNG palette: a PLTE chunk of %llu bytes";  // with its length
constexpr char configuration[] = "Unsupported PNG configuration (compression/filter/interlace)";

// The message for a header problem other than None.
constexpr const char* forProblem(IhdrProblem problem) noexcept {
    switch (problem) {
        case IhdrProblem::Incomplete: return "Incomplete PNG header information";
        case IhdrProblem::BitDepth: return "Only 8-bit PNG images are supported";
        case IhdrProblem::ColorType: return "Only RGB/RGBA PNG images are supported";
        case IhdrProblem::Configuration: return configuration;
        case IhdrProblem::None: break;
    }
    return "";
}

}  // namespace lumivex::png::message
