// The compact encoder's deflate policy: how the filtered scanlines of an image
// become one zlib stream. Small images try deflate's matching and the ways that
// seek no strings on everything and keep the smallest; large ones judge them on sampled
// strips of rows, then deflate in two pieces on two threads when the machine
// has two cores. Pure: no Python.
#pragma once

#include "pieces.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png {

constexpr int defaultLevel = 6;

// At or below this many scanline bytes an image is a small one.
constexpr size_t smallScanlines = size_t(1) << 18;

// Above smallScanlines, with two cores, a large image's rows are filtered in chunks and its
// stream deflated in pieces, both shared out between two threads.
bool worthTwoThreads(size_t len, size_t lineBytes) noexcept;

// Room for the stream of len scanline bytes of lineBytes-byte rows, whole or in pieces; 0 when too large.
size_t streamCapacity(size_t len, size_t lineBytes) noexcept;

// Room for trial compressions: two areas of `cap` bytes, one for each thread
// samples are compressed on.
struct Scratch {
    uint8_t* data;
    size_t cap;
    uint8_t* area(size_t index) const { return data + index * cap; }
};
// The size of each scratch area (0 when too large).
size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) noexcept;

// How deflate looks for repeated strings: matching at the level, or one of the
// ways that seek none (Unmatched).
enum class Method { matching, runs, literals };
constexpr size_t methodCount = 3;

// Trials judge a large image by evenly spaced strips of rows, each of about
// stripTargetBytes (at least one row): a sixteenth of the image, at least
// minSampleStrips and at most maxSampleStrips of them. A sample is deflated
// as one stream, its strips' rows end to end, so that it warms up once as the
// whole image's stream does: deflated apart, each strip's first rows found
// nothing to match, which underrated unfiltered rows, whose repeats reach furthest.
constexpr size_t minSampleStrips = 8, maxSampleStrips = 32, sampleFraction = 16;
constexpr size_t stripTargetBytes = 48 * 1024;

// Rows a trial judges an image by: `strips` evenly spaced strips of `stripRows` rows.
struct Sample {
    size_t strips, stripRows, height;
    size_t firstRow(size_t strip) const noexcept {
        return strips == 1 ? 0 : strip * (height - stripRows) / (strips - 1);
    }
    size_t bytes(size_t lineBytes) const noexcept { return strips * stripRows * lineBytes; }
};
// The sample of an image of `height` rows in strips of about stripBytes, or
// all of a small one as one strip.
Sample sampleOf(size_t height, size_t lineBytes, size_t stripBytes = stripTargetBytes) noexcept;

// Below the strongest level, 8-bit RGB is judged by strips of a quarter the
// size when the image fits a palette or grey too. There it only has to be
// weighed against a layout of a third of its bytes or less, which on the
// outside pictures always came out smaller (by up to half), and its trial
// was the longest: judged by the usual sample, those pictures took 1.34 times
// as long (on the geometric mean), for the same files. Where a coarse sample
// misjudges a palette that was weighed whole, the palette's kept stream is
// still written when smaller.
constexpr size_t besideSmallerLayoutStripBytes = stripTargetBytes / 4;

// At the default level an image of one layout whose sample would hold this
// share of its rows or more is weighed on all of them, each strategy's stream
// deflated whole on a thread of its own, and the winner's stream is the
// file's: that takes about the wall time of weighing the sample and then
// deflating the winner in two pieces, and the choice is exact (on 512 x 512
// icons, whose sample is 48 % of the rows, strips misjudged filtering against
// none by up to 5 %). On smaller shares the sample is the quicker.
constexpr double wholeWeighingShare = 0.45;
inline bool worthWeighingWhole(size_t height, size_t lineBytes) noexcept {
    return double(sampleOf(height, lineBytes).bytes(lineBytes)) >= wholeWeighingShare * double(height * lineBytes);
}
inline Sample wholeImage(size_t height) noexcept { return {1, height, height}; }

// The zlib stream of src[0, len) (rows of lineBytes) by matching at a known `level`, in
// two pieces on two threads when worthTwoThreads, in dst[0, cap) with cap >=
// streamCapacity; 0 when the compressor could not get memory.
size_t compressMatching(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) noexcept;

// What the caller already has of the image deflated by matching at the default level.
struct DefaultMatching {
    uint64_t sampleSize = 0;          // its sample's deflated size (0: not known)
    size_t sampleBytes = 0;           // and that sample's length
    const uint8_t* stream = nullptr;  // when the sample is the whole image, that stream
    size_t length = 0;

    // The sample's size scaled to `bytes` of rows, when it was weighed on
    // others (the whole image, or a coarser sample).
    uint64_t sizeOn(size_t bytes) const noexcept {
        if (sampleBytes == 0 || sampleBytes == bytes) return sampleSize;
        return uint64_t(double(sampleSize) * double(bytes) / double(sampleBytes));
    }
};

// The smaller zlib stream of src[0, len) (rows of lineBytes) at a known `level`, in
// dst[0, cap) with cap >= streamCapacity; 0 when the compressor could not get memory.
size_t compressBest(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch, const DefaultMatching& known = {}) noexcept;

}  // namespace lumivex::png
