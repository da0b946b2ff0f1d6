#include "trials.hpp"

#include "policy.hpp"
#include "schedule.hpp"
#include "trial_deflates.hpp"

#include "../framing.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace lumivex::png::compact {
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
// short stream the cut costs 1-2 %. Rows that repeat very much are also
// deflated at a quicker level, which at times finds more (worthQuickLevel).

bool withinRunnerUpMargin(const Trial& next, const Trial& first) {
    return double(next.expected) <= double(first.expected) * runnerUpMargin;
}

// Another layout, or unfiltered rows against filtered ones: the pairs the
// weighing judges least surely. (On 122 outside pictures a second trial
// between two ways of choosing filters for one layout never changed the file.)
bool otherKind(const Trial& a, const Trial& b) {
    return a.candidate != b.candidate || (a.strategy == FilterStrategy::none) != (b.strategy == FilterStrategy::none);
}

// The pairs of layout and strategy expected within strongestMargin of the best, likeliest first.
size_t closePairs(const Candidate* candidates, size_t count, Trial pairs[maxWeighedWhole]) {
    Trial all[4 * maxLayouts];
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const Candidate& candidate = candidates[i];
        bool unfilteredAdded = false;
        const auto add = [&](FilterStrategy strategy, uint64_t expected) {
            unfilteredAdded = unfilteredAdded || strategy == FilterStrategy::none;
            all[found].candidate = &candidate;
            all[found].strategy = strategy;
            all[found++].expected = expected;
        };
        const Weighed& third = candidate.best[2];
        add(candidate.strategy(), candidate.expected());
        if (candidate.best[1].expected != UINT64_MAX) add(candidate.best[1].strategy, candidate.best[1].expected);
        // A third strategy changed icons' files (up to 3 % smaller). On photographs
        // the weighing misjudges such near ones by as much as they differ, and on
        // longer rows it changed no file and took a tenth more time.
        const bool thirdPays = third.expected != UINT64_MAX && !photographic(third.expected, candidate.image) &&
                               candidate.image.scanlineBytes() <= thirdStrategyScanlines;
        if (thirdPays) add(third.strategy, third.expected);
        if (candidate.unfilteredExpected != UINT64_MAX && !unfilteredAdded) {
            add(FilterStrategy::none, candidate.unfilteredExpected);
        }
    }
    std::sort(all, all + found, likelier);
    // The likeliest unfiltered pair is weighed however far its sample put it.
    const double cutoff = double(all[0].expected) * strongestMargin;
    size_t kept = 0;
    bool unfiltered = false;
    for (size_t i = 0; i < found && kept < maxWeighedWhole; ++i) {
        const bool first = all[i].strategy == FilterStrategy::none && !unfiltered;
        if (double(all[i].expected) > cutoff && !first) continue;
        unfiltered = unfiltered || all[i].strategy == FilterStrategy::none;
        pairs[kept++] = std::move(all[i]);
    }
    return kept;
}

bool worthWeighing(const Trial* pairs, size_t count) {
    size_t largest = 0;
    for (size_t i = 0; i < count; ++i) largest = std::max(largest, pairs[i].candidate->image.scanlineBytes());
    return count > 1 && largest <= maxWeighedBytes;
}

bool allFine(const bool* fine, size_t count) {
    return std::all_of(fine, fine + count, [](bool f) { return f; });
}

// Filters the pairs' rows before they are weighed, each on both threads: the
// strategies that choose by entropy or by byte pairs take as long to filter a
// 512 x 512 icon as the weighing's deflate, and filtered with it, on the
// thread of its own pair, kept the other thread waiting.
bool filterOnBoth(Trial* const* pairs, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!filterRows(pairs[i], true)) return false;
    }
    return true;
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

// Where a trial's streams go: at the level, and at the quick one beside it.
constexpr size_t quickSlot = strongestTrials, resultSlots = 2 * strongestTrials;

// The trial's rows deflated at the quick level too, when worth it, in
// results[slot + quickSlot]; false when memory ran out.
bool deflateQuick(const Trial& trial, DeflateLevel level, Deflated results[resultSlots], size_t slot) {
    return !worthQuickLevel(trial, level) || deflateWhole(trial, quickLevel, &results[slot + quickSlot]);
}

// The weighed pairs' trials. The likeliest by its sample and the likeliest of
// another kind are weighed first, two at once, and the lighter is deflated on
// one thread while the other weighs the rest and then deflates the pair the
// weighing puts first, if another, or else the next one of another kind when
// close. Most often the first guess stands and the wait is one deflate. The
// first trial's quick deflate falls to whichever thread is free first.
bool deflateWhileWeighing(Trial* pairs, size_t count, DeflateLevel level, Deflated results[resultSlots]) {
    const size_t other = likeliestOtherKind(pairs, count, 0);
    Trial* const first[] = {&pairs[0], other == noPair ? nullptr : &pairs[other]};
    bool fine[strongestTrials] = {true, true};
    if (!filterOnBoth(first, other == noPair ? 1 : 2)) return false;
    shareTasks(other == noPair ? 1 : 2, [&](size_t i, size_t) { fine[i] = weighWhole(first[i]); });
    if (!fine[0] || !fine[1]) return false;
    const size_t started = other != noPair && likelier(pairs[other], pairs[0]) ? other : 0;
    std::atomic<bool> quickClaimed{false};
    bool quickFine = true;
    const auto quickOfStarted = [&] {
        if (!quickClaimed.exchange(true)) quickFine = deflateQuick(pairs[started], level, results, 0);
    };
    shareTasks(strongestTrials, [&](size_t task, size_t) {
        if (task == 0) {
            fine[0] = deflateWhole(pairs[started], level, &results[0]);
            quickOfStarted();
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
            fine[1] = deflateWhole(pairs[next], level, &results[1]) && deflateQuick(pairs[next], level, results, 1);
        }
        quickOfStarted();
    });
    return fine[0] && fine[1] && quickFine;
}

// The trials in the order weighed: the likeliest cut in two when worth it, or
// whole beside the next one when close, the quick levels' deflates after.
bool deflateLikeliest(Trial* pairs, size_t count, DeflateLevel level, Deflated results[resultSlots]) {
    Trial& first = pairs[0];
    const bool cut = cutPays(&first);
    const size_t trials = count > 1 && !cut && withinRunnerUpMargin(pairs[1], first) ? 2 : 1;
    for (size_t i = 0; i < trials; ++i) {
        if (!filterRows(&pairs[i], true)) return false;
    }
    if (cut) return deflateCut(first, level, &results[0]) && deflateQuick(first, level, results, 0);
    // Each trial's deflate at the level, then at the quick level where worth it.
    bool fine[resultSlots] = {true, true, true, true};
    const auto deflate = [&](size_t task, size_t) {
        const size_t slot = task % trials;
        fine[task] = task < trials ? deflateWhole(pairs[slot], level, &results[slot])
                                   : deflateQuick(pairs[slot], level, results, slot);
    };
    if (trials == 1 && !worthQuickLevel(first, level)) {
        deflate(0, 0);
    } else {
        shareTasks(2 * trials, deflate);
    }
    return allFine(fine, resultSlots);
}

}  // namespace

CompactStatus runStrongestTrials(const Candidate* candidates, size_t count, DeflateLevel level, Owned* best, size_t* length,
                                 const PngLayout** layout) {
    Trial pairs[maxWeighedWhole];
    const size_t weighed = closePairs(candidates, count, pairs);
    Deflated results[resultSlots];
    bool fine = true;
    if (!worthWeighing(pairs, weighed)) {
        fine = deflateLikeliest(pairs, weighed, level, results);
    } else if (!worthCut(pairs[0])) {
        fine = deflateWhileWeighing(pairs, weighed, level, results);
    } else {
        Trial* all[maxWeighedWhole];
        for (size_t i = 0; i < weighed; ++i) all[i] = &pairs[i];
        bool weighedFine[maxWeighedWhole] = {};
        if (!filterOnBoth(all, weighed)) return CompactStatus::outOfMemory;
        shareTasks(weighed, [&](size_t i, size_t) { weighedFine[i] = weighWhole(&pairs[i]); });
        fine = allFine(weighedFine, weighed);
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

}  // namespace lumivex::png::compact
