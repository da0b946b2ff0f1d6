// What the zlib-backed compressor and inflater share: zlib counts its windows
// in uInt, so a buffer is fed in pieces no larger than that, and a cursor
// moves over input and output by what each call took or gave. Inside the
// codec only.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

#include <zlib.h>

namespace lumivex::png::zlibwindow {

inline uInt window(size_t left) { return static_cast<uInt>(std::min<size_t>(left, UINT_MAX)); }

struct Cursor {
    const uint8_t* in;
    size_t inLeft;
    uint8_t* out;
    size_t outLeft;
};

}  // namespace lumivex::png::zlibwindow
