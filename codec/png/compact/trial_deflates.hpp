// Stage 5 of the compact writer, its tools: one trial of the strongest level: a pair of layout and
// filter strategy, its rows filtered, weighed by a quick deflate of the whole
// image, and deflated whole or cut in two. Pure: no Python; a long stream's
// work is shared between the calling thread and one helper.
#pragma once

#include "candidate.hpp"

#include "../deflate.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

struct Trial {
    const Candidate* candidate = nullptr;
    FilterStrategy strategy = FilterStrategy::none;
    uint64_t expected = UINT64_MAX;
    Owned rows;  // its whole image filtered, once weighed whole
    size_t weighedLength = 0;  // and the length of its stream at wholeWeighLevel
};

// Whether rows of `image` expected to deflate to `expected` bytes are a
// photograph's: short, near strings, which weigh and cut differently.
bool photographic(uint64_t expected, const Image& image);

inline bool likelier(const Trial& a, const Trial& b) { return a.expected < b.expected; }

// A long stream (less for 8-bit RGB, three times a palette's bytes and the
// slow one to deflate) halves its wait when cut in two pieces on two threads.
bool worthCut(const Trial& trial);

// Fills in the pair's filtered rows if it has none yet; false when memory ran out.
bool filterRows(Trial* trial, bool twoThreads);

// Weighs the pair again by its whole image's file at wholeWeighLevel, keeping
// its filtered rows for a trial; false when memory ran out.
bool weighWhole(Trial* pair);

// Whether the trial is deflated in two pieces: a long stream, unless a cut is
// seen to cost its rows too much.
bool cutPays(Trial* trial);

// A trial's stream.
struct Deflated {
    const Trial* trial = nullptr;
    Owned stream;
    size_t length = 0;
};

// The trial's rows (filtered already) deflated whole at `level`; false when memory ran out.
bool deflateWhole(const Trial& trial, DeflateLevel level, Deflated* out);

// The trial's rows in two pieces on two threads, at the deepest level when
// they repeat enough; false when memory ran out.
bool deflateCut(const Trial& trial, DeflateLevel level, Deflated* out);

// Whether the trial's rows repeat so much, and are short enough, that a quick
// level is also worth a try beside `level` (see quickLevel).
bool worthQuickLevel(const Trial& trial, DeflateLevel level);

}  // namespace lumivex::png::compact
