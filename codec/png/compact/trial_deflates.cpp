#include "trial_deflates.hpp"

#include "policy.hpp"
#include "schedule.hpp"
#include "stream.hpp"

#include "../framing.hpp"

#include <cstring>

namespace lumivex::png::compact {
namespace {

double bitsPerByte(uint64_t expected, const Image& image) {
    return double(expected) * 8 / double(image.scanlineBytes());
}
double bitsPerByte(const Trial& trial) { return bitsPerByte(trial.expected, trial.candidate->image); }
bool veryRepetitive(const Trial& trial) { return bitsPerByte(trial) < deepBitsPerByte; }

bool photograph(const Trial& trial) { return photographic(trial.expected, trial.candidate->image); }

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

bool deflateWhole(const Trial& trial, DeflateLevel level, Deflated* out) {
    const size_t len = trial.candidate->image.scanlineBytes(), cap = zlibCompressBound(len);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    out->length = compressZlib(level, trial.rows.data, len, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

bool deflateCut(const Trial& trial, DeflateLevel level, Deflated* out) {
    const Image& image = trial.candidate->image;
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride + 1, cap = streamCapacity(len, lineBytes);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    if (veryRepetitive(trial) && worthTwoThreads(len, lineBytes)) level = DeflateLevel::deepest;
    out->length = compressMatching(level, trial.rows.data, len, lineBytes, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

bool worthQuickLevel(const Trial& trial, DeflateLevel level) {
    return !sameCompression(level, quickLevel) && bitsPerByte(trial) < erraticBitsPerByte &&
           trial.candidate->image.scanlineBytes() <= erraticScanlines;
}

}  // namespace lumivex::png::compact
