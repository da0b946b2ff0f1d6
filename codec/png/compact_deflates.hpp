// One trial of the compact encoder's strongest level: a pair of layout and
// filter strategy, its rows filtered, weighed by a quick deflate of the whole
// image, and deflated whole or cut in two. Pure: no Python; a long stream's
// work is shared between the calling thread and one helper.
#pragma once

#include "compact_candidates.hpp"
#include "predictors.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

struct Trial {
    const Candidate* candidate = nullptr;
    int strategy = kNone;
    uint64_t expected = UINT64_MAX;
    Owned rows;  // its whole image filtered, once weighed whole
    size_t weighedLength = 0;  // and the length of its stream at wholeWeighLevel
};

// Level 7 judges the pairs nearest to what level 11 then makes of them. Level 9
// put unfiltered rows ahead more often: 8-15 % smaller on some icons, but
// up to 6 % larger on others and slower (on 122 outside pictures it missed
// the bar of a rival optimiser on 9 against 7's 3); levels 1 to 6 miss the
// long repeats of unfiltered rows.
constexpr int wholeWeighLevel = 7;

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
bool deflateWhole(const Trial& trial, int level, Deflated* out);

// The trial's rows in two pieces on two threads, at the deepest level when
// they repeat enough; false when memory ran out.
bool deflateCut(const Trial& trial, int level, Deflated* out);

// Whether the trial's rows repeat so much, and are short enough, that a quick
// level is also worth a try beside `level` (see quickLevel).
bool worthQuickLevel(const Trial& trial, int level);

// The level tried beside the strongest on such rows.
constexpr int quickLevel = 9;

}  // namespace lumivex::png
