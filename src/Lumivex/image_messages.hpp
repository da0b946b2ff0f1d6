// SimpleImage's own messages, in one place as each codec keeps its own in its
// messages.hpp.
#pragma once

namespace lumivex::image::message {

constexpr char lengthMismatch[] = "Pixel data length does not match image dimensions";
constexpr char outOfBounds[] = "Pixel coordinate out of bounds";
constexpr char notPicklable[] = "no default __reduce__ due to non-trivial __cinit__";
constexpr char badSource[] = "source must be a file path or raw bytes";
constexpr char unsupportedFormat[] = "Unsupported image format";

}  // namespace lumivex::image::message
