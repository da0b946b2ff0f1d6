// Stage 4 of the compact writer, its tools: the ways to deflate filtered rows
// into a zlib stream (deflate's matching at a level, or a way that seeks no
// strings), whole or in pieces on two threads, and which of the latter may
// win, judged by an estimate. Pure: no Python.
#pragma once

#include "../deflate.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// How deflate looks for repeated strings: matching at the level, or one of the
// ways that seek none (Unmatched).
enum class Method { matching, runs, literals };
constexpr size_t methodCount = 3;

// The zlib stream of src[0, len) by `method` in dst[0, cap), whole on this thread; 0 when it failed.
size_t compressWhole(Method method, DeflateLevel level, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) noexcept;

// The same as pieces deflated on two threads and joined, or 0 if any failed or
// their areas do not fit in cap.
size_t compressInPieces(Method method, DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes,
                        uint8_t* dst, size_t cap) noexcept;

// In pieces when worthTwoThreads, else (or when the pieces failed) whole.
size_t compressWith(Method method, DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes,
                    uint8_t* dst, size_t cap) noexcept;

// The ways that seek no strings, runs up to `last`, that an estimate of
// src[0, len) says may beat `size`, into ways; returns how many.
size_t hopefulWays(uint64_t size, Method last, const uint8_t* src, size_t len, Method ways[]) noexcept;

}  // namespace lumivex::png::compact
