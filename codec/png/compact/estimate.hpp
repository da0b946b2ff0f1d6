// Stage 2 of the compact writer: what a default-level deflate is expected to
// make of a candidate's rows filtered by a strategy, judged on its sample.
// Pure: no Python; the work is shared between the calling thread and one helper.
#pragma once

#include "candidate.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// The sample's strips filtered (each against the row above it, as in the
// whole image), deflated as one stream at the default level, and scaled up to
// the whole, so that layouts of different row lengths compare.
struct Estimate {
    uint64_t whole = UINT64_MAX;
    uint64_t sampled = 0;  // the sample's own deflated size
    // When the sample is the whole image: its rows filtered, and their stream.
    Owned filtered, stream;
    size_t streamLength = 0;
};

// The estimate of `image` filtered by `strategy`, judged on `sample`, on the calling thread.
Estimate estimate(const Image& image, FilterStrategy strategy, const Sample& sample, const Scratch& scratch);

// One strategy of one candidate to weigh.
struct Weighing {
    Candidate* candidate;
    FilterStrategy strategy;
    Estimate found{};
};

// Estimates every weighing on its candidate's sample, then keeps each
// candidate's best three, in the order given.
void weighAll(Weighing* jobs, size_t count, const Scratch& scratch);

}  // namespace lumivex::png::compact
