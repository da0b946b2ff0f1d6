#include "compact_deflates.hpp"

#include "compact_stream.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "framing.hpp"
#include "pieces.hpp"

#include "../share_tasks.hpp"

#include <cstring>

namespace lumivex::png {
namespace {

constexpr uint64_t worthCutting = 128 * 1024, worthCuttingRgb = 32 * 1024;

// Rows expected to deflate to under this many bits a byte repeat so much that
// the deepest level pays: alone, in two pieces, it takes about the time of one
// whole stream at the strongest level and writes a few to 25 % less.
constexpr double deepBitsPerByte = 0.05;
double bitsPerByte(uint64_t expected, const Image& image) {
    return double(expected) * 8 / double(image.scanlineBytes());
}
double bitsPerByte(const Trial& trial) { return bitsPerByte(trial.expected, trial.candidate->image); }
bool veryRepetitive(const Trial& trial) { return bitsPerByte(trial) < deepBitsPerByte; }

// Rows expected to take this many bits a byte or more are a photograph's,
// whose strings are short and near: the strongest level deflates them at a
// third of its pace on drawings, and a cut costs them a tenth of a percent,
// which a grey or palette file, as small as a rival optimiser's, cannot spare.
constexpr double photoBitsPerByte = 2;
bool photograph(const Trial& trial) { return photographic(trial.expected, trial.candidate->image); }

// A cut that costs a weighed drawing more than this at wholeWeighLevel costs
// about as much at the strongest level (1-2 % on some screenshots, where most
// cost under 0.3 %): such rows go whole.
constexpr double cutCostLimit = 1.005;

// The trial's rows deflated at wholeWeighLevel in the two pieces a cut makes
// (and whole as well, if not weighed yet), each piece and the whole as a task
// of its own; 0 when memory ran out.
size_t weighCut(Trial* trial) {
    const Image& image = trial->candidate->image;
    const RowParts pieces{2, image.height, image.rowStride + 1};
    size_t lengths[2] = {};
    bool whole = trial->weighedLength != 0;
    shareTasks(whole ? 2 : 3, [&](size_t task, size_t) {
        if (task == 2) {
            whole = weighWhole(trial);
            return;
        }
        const size_t len = pieces.length(task), cap = deflatePieceBound(len);
        Owned out;
        if (cap == 0 || !out.allocate(cap)) return;
        lengths[task] = compressDeflatePiece(wholeWeighLevel, true, trial->rows.data + pieces.start(task), len,
                                             out.data, cap);
    });
    return whole && lengths[0] != 0 && lengths[1] != 0 ? lengths[0] + lengths[1] : 0;
}

// Rows expected under this many bits a byte, and at most this many bytes,
// deflate erratically at the strongest level: on 140 outside pictures (icons,
// charts, screenshots), libdeflate's level 9 wrote less than its 11 on a
// seventh of them, up to 29 % less on unfiltered palette icons, in a
// twentieth of the time. On longer rows level 11 always came out ahead, and
// on rows over 0.15 bits a byte (by the weighing's estimate) level 9 won once
// in the 132 trials' streams of those pictures, by 0.3 %: there its deflate,
// the last of the trials, was a twentieth of the wait for nothing.
constexpr double erraticBitsPerByte = 0.15;
constexpr size_t erraticScanlines = size_t(1) << 20;

}  // namespace

bool photographic(uint64_t expected, const Image& image) { return bitsPerByte(expected, image) >= photoBitsPerByte; }

bool worthCut(const Trial& trial) {
    if (trial.candidate->layout.colourType == 2) return trial.expected >= worthCuttingRgb || veryRepetitive(trial);
    return (trial.expected >= worthCutting && !photograph(trial)) || veryRepetitive(trial);
}

bool filterRows(Trial* trial, bool twoThreads) {
    if (trial->rows.data != nullptr) return true;
    const Image& image = trial->candidate->image;
    if (!trial->rows.allocate(image.scanlineBytes())) return false;
    // The choosing strategies take a few times longer than a copy.
    if (const uint8_t* kept = trial->candidate->filteredBy(trial->strategy)) {
        std::memcpy(trial->rows.data, kept, image.scanlineBytes());
    } else if (twoThreads) {
        filterOnTwoThreads(image, trial->strategy, trial->rows.data);
    } else {
        filterImage(image.pixels, image.rowStride, image.height, image.bpp, trial->strategy, trial->rows.data);
    }
    return true;
}

bool weighWhole(Trial* pair) {
    Deflated weighed;
    if (!filterRows(pair, false) || !deflateWhole(*pair, wholeWeighLevel, &weighed)) return false;
    pair->expected = pngFileLength(pair->candidate->layout, weighed.length);
    pair->weighedLength = weighed.length;
    return true;
}

// Photographs' short strings lose little to a cut, and the deepest level more
// than makes up for it on the most repetitive rows.
bool cutPays(Trial* trial) {
    if (!worthCut(*trial)) return false;
    if (veryRepetitive(*trial) || photograph(*trial)) return true;
    const Image& image = trial->candidate->image;
    if (!worthTwoThreads(image.scanlineBytes(), image.rowStride + 1) || !filterRows(trial, true)) return true;
    const size_t cut = weighCut(trial);
    return cut == 0 || double(cut) <= double(trial->weighedLength) * cutCostLimit;
}

bool deflateWhole(const Trial& trial, int level, Deflated* out) {
    const size_t len = trial.candidate->image.scanlineBytes(), cap = zlibCompressBound(len);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    out->length = compressZlib(level, trial.rows.data, len, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

bool deflateCut(const Trial& trial, int level, Deflated* out) {
    const Image& image = trial.candidate->image;
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride + 1, cap = streamCapacity(len, lineBytes);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    if (veryRepetitive(trial) && worthTwoThreads(len, lineBytes)) level = deepestDeflateLevel;
    out->length = compressMatching(level, trial.rows.data, len, lineBytes, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

bool worthQuickLevel(const Trial& trial, int level) {
    return !sameCompression(level, quickLevel) && bitsPerByte(trial) < erraticBitsPerByte &&
           trial.candidate->image.scanlineBytes() <= erraticScanlines;
}

}  // namespace lumivex::png
