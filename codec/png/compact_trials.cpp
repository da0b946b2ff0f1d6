#include "compact_trials.hpp"

#include "compact_stream.hpp"
#include "deflate.hpp"
#include "filter_select.hpp"
#include "framing.hpp"
#include "pieces.hpp"
#include "predictors.hpp"

#include "../share_tasks.hpp"

#include <algorithm>
#include <cstdint>

namespace lumivex::png {
namespace {

// The strongest level's trials. The default level's sampled strips misjudge
// the pairs of layout and strategy that come close: unfiltered rows and
// palettes, whose repeats reach furthest, most of all. So every pair expected
// within strongestMargin of the best is weighed again on the whole image by a
// quick deflate, and the trials follow that. A long stream (worthCutting;
// less for 8-bit RGB, three times a palette's bytes and the slow one to
// deflate) is deflated in two pieces on two threads where the cut costs little
// (cutPays), and is the likeliest pair alone: that halves the wait.
// A shorter one goes whole on a thread of its own, and is not kept waiting for
// the weighing, which takes a fifth of its time: see deflateWhileWeighing. On a
// short stream the cut costs 1-2 %.
struct Trial {
    const Candidate* candidate = nullptr;
    int strategy = kNone;
    uint64_t expected = UINT64_MAX;
    Owned rows;  // its whole image filtered, once weighed whole
    size_t weighedLength = 0;  // and the length of its stream at wholeWeighLevel
};
constexpr size_t strongestTrials = 2, maxWeighedWhole = 6;
// Level 7 judges the pairs nearest to what level 11 then makes of them. Level 9
// put unfiltered rows ahead more often: 8-15 % smaller on some icons, but
// up to 6 % larger on others and slower (on 122 outside pictures it missed
// the bar of a rival optimiser on 9 against 7's 3); levels 1 to 6 miss the
// long repeats of unfiltered rows.
constexpr int wholeWeighLevel = 7;
constexpr double runnerUpMargin = 1.03;
constexpr uint64_t worthCutting = 128 * 1024, worthCuttingRgb = 32 * 1024;
// Above this many scanline bytes the pairs keep their sampled estimates: the
// weighing holds every pair's whole image filtered (up to six), and two streams.
constexpr size_t maxWeighedBytes = size_t(16) << 20;

// Rows expected to deflate to under this many bits a byte repeat so much that
// the deepest level pays: alone, in two pieces, it takes about the time of one
// whole stream at the strongest level and writes a few to 25 % less.
constexpr double deepBitsPerByte = 0.05;
double bitsPerByte(const Trial& trial) {
    return double(trial.expected) * 8 / double(trial.candidate->image.scanlineBytes());
}
bool veryRepetitive(const Trial& trial) { return bitsPerByte(trial) < deepBitsPerByte; }

// Rows expected to take this many bits a byte or more are a photograph's,
// whose strings are short and near: the strongest level deflates them at a
// third of its pace on drawings, and a cut costs them a tenth of a percent,
// which a grey or palette file, as small as a rival optimiser's, cannot spare.
constexpr double photoBitsPerByte = 2;

bool likelier(const Trial& a, const Trial& b) { return a.expected < b.expected; }

bool worthCut(const Trial& trial) {
    if (trial.candidate->layout.colourType == 2) return trial.expected >= worthCuttingRgb || veryRepetitive(trial);
    return (trial.expected >= worthCutting && bitsPerByte(trial) < photoBitsPerByte) || veryRepetitive(trial);
}

bool withinRunnerUpMargin(const Trial& next, const Trial& first) {
    return double(next.expected) <= double(first.expected) * runnerUpMargin;
}

// Another layout, or unfiltered rows against filtered ones: the pairs the
// weighing judges least surely. (On 122 outside pictures a second trial
// between two ways of choosing filters for one layout never changed the file.)
bool otherKind(const Trial& a, const Trial& b) {
    return a.candidate != b.candidate || (a.strategy == kNone) != (b.strategy == kNone);
}

// The pairs of layout and strategy expected within strongestMargin of the best, likeliest first.
size_t closePairs(const Candidate* candidates, size_t count, Trial pairs[maxWeighedWhole]) {
    Trial all[3 * maxLayouts];
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const Candidate& candidate = candidates[i];
        const auto add = [&](int strategy, uint64_t expected) {
            all[found].candidate = &candidate;
            all[found].strategy = strategy;
            all[found++].expected = expected;
        };
        add(candidate.strategy, candidate.expected);
        if (candidate.runnerUpExpected != UINT64_MAX) add(candidate.runnerUp, candidate.runnerUpExpected);
        if (candidate.unfilteredExpected != UINT64_MAX && candidate.strategy != kNone && candidate.runnerUp != kNone) {
            add(kNone, candidate.unfilteredExpected);
        }
    }
    std::sort(all, all + found, likelier);
    // The likeliest unfiltered pair is weighed however far its sample put it.
    const double cutoff = double(all[0].expected) * strongestMargin;
    size_t kept = 0;
    bool unfiltered = false;
    for (size_t i = 0; i < found && kept < maxWeighedWhole; ++i) {
        const bool first = all[i].strategy == kNone && !unfiltered;
        if (double(all[i].expected) > cutoff && !first) continue;
        unfiltered = unfiltered || all[i].strategy == kNone;
        pairs[kept++] = std::move(all[i]);
    }
    return kept;
}

bool worthWeighing(const Trial* pairs, size_t count) {
    size_t largest = 0;
    for (size_t i = 0; i < count; ++i) largest = std::max(largest, pairs[i].candidate->image.scanlineBytes());
    return count > 1 && largest <= maxWeighedBytes;
}

// Fills in the pair's filtered rows if it has none yet; false when memory ran out.
bool filterRows(Trial* trial, bool twoThreads) {
    if (trial->rows.data != nullptr) return true;
    const Image& image = trial->candidate->image;
    if (!trial->rows.allocate(image.scanlineBytes())) return false;
    if (twoThreads) {
        filterOnTwoThreads(image, trial->strategy, trial->rows.data);
    } else {
        filterImage(image.pixels, image.rowStride, image.height, image.bpp, trial->strategy, trial->rows.data);
    }
    return true;
}

// Weighs the pair again by its whole image's file at wholeWeighLevel, keeping
// its filtered rows for a trial; false when memory ran out.
bool weighWhole(Trial* pair) {
    const size_t len = pair->candidate->image.scanlineBytes(), cap = zlibCompressBound(len);
    Owned stream;
    if (cap == 0 || !filterRows(pair, false) || !stream.allocate(cap)) return false;
    const size_t size = compressZlib(wholeWeighLevel, pair->rows.data, len, stream.data, cap);
    pair->expected = pngFileLength(pair->candidate->layout, size);
    pair->weighedLength = size;
    return size != 0;
}

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

// Whether the trial is deflated in two pieces: a long stream, unless a cut is
// seen to cost its rows too much. Photographs' short strings lose little to a
// cut, and the deepest level more than makes up for it.
bool cutPays(Trial* trial) {
    if (!worthCut(*trial)) return false;
    if (veryRepetitive(*trial) || bitsPerByte(*trial) >= photoBitsPerByte) return true;
    const Image& image = trial->candidate->image;
    if (!worthTwoThreads(image.scanlineBytes(), image.rowStride + 1) || !filterRows(trial, true)) return true;
    const size_t cut = weighCut(trial);
    return cut == 0 || double(cut) <= double(trial->weighedLength) * cutCostLimit;
}

// A trial's stream.
struct Deflated {
    const Trial* trial = nullptr;
    Owned stream;
    size_t length = 0;
};

// The trial's rows (filtered already) deflated whole at `level`; false when memory ran out.
bool deflateWhole(const Trial& trial, int level, Deflated* out) {
    const size_t len = trial.candidate->image.scanlineBytes(), cap = zlibCompressBound(len);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    out->length = compressZlib(level, trial.rows.data, len, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

// The trial's rows in two pieces on two threads, at the deepest level when
// they repeat enough; false when memory ran out.
bool deflateCut(const Trial& trial, int level, Deflated* out) {
    const Image& image = trial.candidate->image;
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride + 1, cap = streamCapacity(len, lineBytes);
    if (cap == 0 || !out->stream.allocate(cap)) return false;
    if (veryRepetitive(trial) && worthTwoThreads(len, lineBytes)) level = deepestDeflateLevel;
    out->length = compressMatching(level, trial.rows.data, len, lineBytes, out->stream.data, cap);
    out->trial = &trial;
    return out->length != 0;
}

constexpr size_t noPair = SIZE_MAX;

// The likeliest pair of another kind than pairs[of], or noPair.
size_t likeliestOtherKind(const Trial* pairs, size_t count, size_t of) {
    size_t found = noPair;
    for (size_t i = 0; i < count; ++i) {
        if (otherKind(pairs[i], pairs[of]) && (found == noPair || likelier(pairs[i], pairs[found]))) found = i;
    }
    return found;
}

// The weighed pairs' trials. The likeliest by its sample and the likeliest of
// another kind are weighed first, two at once, and the lighter is deflated on
// one thread while the other weighs the rest and then deflates the pair the
// weighing puts first, if another, or else the next one of another kind when
// close. Most often the first guess stands and the wait is one deflate.
bool deflateWhileWeighing(Trial* pairs, size_t count, int level, Deflated results[strongestTrials]) {
    const size_t other = likeliestOtherKind(pairs, count, 0);
    Trial* const first[] = {&pairs[0], other == noPair ? nullptr : &pairs[other]};
    bool fine[strongestTrials] = {true, true};
    shareTasks(other == noPair ? 1 : 2, [&](size_t i, size_t) { fine[i] = weighWhole(first[i]); });
    if (!fine[0] || !fine[1]) return false;
    const size_t started = other != noPair && likelier(pairs[other], pairs[0]) ? other : 0;
    shareTasks(strongestTrials, [&](size_t task, size_t) {
        if (task == 0) {
            fine[0] = deflateWhole(pairs[started], level, &results[0]);
            return;
        }
        for (size_t i = 1; i < count && fine[1]; ++i) {
            if (i != other) fine[1] = weighWhole(&pairs[i]);
        }
        if (!fine[1]) return;
        size_t lead = started;
        for (size_t i = 0; i < count; ++i) {
            if (likelier(pairs[i], pairs[lead])) lead = i;
        }
        const size_t next = lead != started ? lead : likeliestOtherKind(pairs, count, started);
        if (next != noPair && (next == lead || withinRunnerUpMargin(pairs[next], pairs[started]))) {
            fine[1] = deflateWhole(pairs[next], level, &results[1]);
        }
    });
    return fine[0] && fine[1];
}

// The trials in the order weighed: the likeliest cut in two when worth it, or
// whole beside the next one when close.
bool deflateLikeliest(Trial* pairs, size_t count, int level, Deflated results[strongestTrials]) {
    Trial& first = pairs[0];
    const bool cut = cutPays(&first);
    const bool second = count > 1 && !cut && withinRunnerUpMargin(pairs[1], first);
    if (!second) return filterRows(&first, true) && (cut ? deflateCut : deflateWhole)(first, level, &results[0]);
    bool fine[strongestTrials] = {filterRows(&pairs[0], true), filterRows(&pairs[1], true)};
    if (!fine[0] || !fine[1]) return false;
    shareTasks(strongestTrials, [&](size_t i, size_t) { fine[i] = deflateWhole(pairs[i], level, &results[i]); });
    return fine[0] && fine[1];
}

}  // namespace

CompactStatus runStrongestTrials(const Candidate* candidates, size_t count, int level, Owned* best, size_t* length,
                                 const PngLayout** layout) {
    Trial pairs[maxWeighedWhole];
    const size_t weighed = closePairs(candidates, count, pairs);
    Deflated results[strongestTrials];
    bool fine = true;
    if (!worthWeighing(pairs, weighed)) {
        fine = deflateLikeliest(pairs, weighed, level, results);
    } else if (!worthCut(pairs[0])) {
        fine = deflateWhileWeighing(pairs, weighed, level, results);
    } else {
        bool weighedFine[maxWeighedWhole] = {};
        shareTasks(weighed, [&](size_t i, size_t) { weighedFine[i] = weighWhole(&pairs[i]); });
        fine = std::all_of(weighedFine, weighedFine + weighed, [](bool f) { return f; });
        std::sort(pairs, pairs + weighed, likelier);
        fine = fine && deflateLikeliest(pairs, weighed, level, results);
    }
    if (!fine) return CompactStatus::outOfMemory;
    for (Deflated& result : results) {
        if (result.trial == nullptr) continue;
        const PngLayout& candidateLayout = result.trial->candidate->layout;
        if (pngFileLength(candidateLayout, result.length) < pngFileLength(**layout, *length)) {
            *length = result.length;
            *best = std::move(result.stream);
            *layout = &candidateLayout;
        }
    }
    return CompactStatus::ok;
}

}  // namespace lumivex::png
