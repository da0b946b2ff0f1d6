// Every tuning constant of the compact PNG writer, in the order the pipeline
// meets them: what each buys, and on which pictures that was measured.
// "Outside pictures" are the sets the writer was first tuned on (icons,
// charts, screenshots and photographs kept outside the repository). "Rebuildable
// set" lines were measured on the 133 pictures `make pictures` builds, each
// taken as RGB, by turning the mechanism off and comparing the files' sizes
// (docs/compact-writer.md says how to measure one again). Pure: no code that runs.
#pragma once

#include "../deflate.hpp"
#include "../filter_select.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// --- levels ------------------------------------------------------------------

// What the writer's default level deflates with, and weighs every estimate by.
constexpr DeflateLevel defaultLevel = DeflateLevel::standard;

// --- 1. layouts ----------------------------------------------------------------

// The strongest level weighs palette orders by luminance too (see
// PaletteOrder) for images up to this many pixels: where they paid (icons),
// their trials cost little; on larger outside pictures they gained nothing
// and took a tenth more time.
// Rebuildable set: without these orders the strongest level's files grow by 0.50 %
// (geometric mean), 10 of 133 by over 0.5 %, one by 16.6 %.
constexpr size_t moreOrdersPixels = 512 * 1024;

// --- 2. estimates: the sample each layout and strategy is weighed on ------------

// A large image is judged by evenly spaced strips of rows, each of about
// stripTargetBytes (at least one row): a sixteenth of the image, at least
// minSampleStrips and at most maxSampleStrips of them. A sample is deflated as
// one stream, its strips end to end, so that it warms up once as the whole
// image's stream does: deflated apart, each strip's first rows found nothing
// to match, which underrated unfiltered rows, whose repeats reach furthest.
constexpr size_t minSampleStrips = 8, maxSampleStrips = 32, sampleFraction = 16;
constexpr size_t stripTargetBytes = 48 * 1024;

// Below the strongest level, 8-bit RGB is judged by strips of a quarter the
// size when the image fits a palette or grey too. There it only has to be
// weighed against a layout of a third of its bytes or less, which on the
// outside pictures always came out smaller (by up to half), and its trial was
// the longest: judged by the usual sample, those pictures took 1.34 times as
// long (geometric mean), for the same files.
// Rebuildable set: no file changes with the usual sample in its place; it buys time.
constexpr size_t besideSmallerLayoutStripBytes = stripTargetBytes / 4;

// At the default level an image of one layout whose sample would hold this
// share of its rows or more is weighed on all of them, and the winner's stream
// is the file's: about the wall time of weighing the sample and then deflating
// the winner, and the choice is exact (on 512 x 512 icons, whose sample is
// 48 % of the rows, strips misjudged filtering against none by up to 5 %).
// Rebuildable set: weighed on strips instead, 41 of 133 default-level files grow by
// over 0.5 % (by 0.35 % in the geometric mean, one by 5.8 %).
constexpr double wholeWeighingShare = 0.45;

// Unfiltered rows repeat furthest, and strips see fewer of those repeats than
// the whole image does: on 126 outside pictures whose samples put unfiltered
// rows within 3 % of the filtered ones, the whole image's unfiltered stream was
// mostly the smaller (by up to 4 %). Their sampled size is taken as that much
// smaller.
// Rebuildable set: mixed. Without it, level 9's files grow by 0.53 % (geometric
// mean; 7 of 133 by over 0.5 %, one by 22 %), while level 1's shrink by 0.38 %
// (one by 15 %, two grow 3 %) and level 6's by 0.05 % (none grows). Kept at
// every level until a per-level bias is weighed.
constexpr double unfilteredSampleBias = 1.03;

// --- 3. choices ------------------------------------------------------------------

// The strategies weighed for every layout: the plan's own filter type alone,
// or for the adaptive choice no filtering too (it keeps the exact bytes of
// flat graphics and palette rows as repeated strings, which deflate finds
// better than the small differences the per-row heuristic favours there). At
// the strongest level the likely layouts also weigh the choosing strategies
// that are slower to run.
constexpr FilterStrategy quickStrategies[] = {FilterStrategy::adaptive, FilterStrategy::none};
// Rebuildable set: without the slow strategies the strongest level's files grow by
// 0.63 % (geometric mean), 26 of 133 by over 0.5 %, one by 22 %.
constexpr FilterStrategy slowStrategies[] = {FilterStrategy::entropy, FilterStrategy::pairs};

// 8-bit RGB judged by the coarse sample beside a smaller layout is weighed
// again by the usual sample (or its file made, where the others' are in hand)
// when the coarse one puts it within this much of the smallest of the others:
// such a sample's fixed costs, scaled up with the rest, overrate a stream of a
// few kilobytes by a tenth (on a gradient of 256 colours, whose RGB file came
// out 6 % smaller than its palette's).
// Rebuildable set: the second look changes no file of the set at the default
// level (it is kept for the gradient above: tests/test_colour_reduction.py).
constexpr double coarseRgbMargin = 1.25;

// Layouts whose estimate is this much above the best one's are not weighed
// further at the strongest level: on the outside pictures they never came out
// smaller.
// Rebuildable set: at 1.0 the strongest level's files grow by 0.23 % (6 of 133 by
// over 0.5 %, one by 23 %); at 1.2 by 0.02 % (one by 3 %).
constexpr double strongestMargin = 1.1;

// --- 4. deflate methods ------------------------------------------------------------

// At or below this many scanline bytes an image is a small one: every way of
// deflating that may win is tried on all of its rows.
constexpr size_t smallScanlines = size_t(1) << 18;

// A way that seeks no strings, estimated at this many times the size to beat
// or more, cannot win: the estimates come within 1 % of zlib's streams. Its
// trial is spared.
// The smaller on a large image's sample is written: a margin of 3 % in
// matching's favour made files up to 2.6 % larger on the rebuildable set, and
// none smaller.
// Rebuildable set: without the ways that seek no strings, files grow by 2.1 %, 1.1 %
// and 0.9 % (geometric mean) at levels 1, 6 and 9, 22 to 27 of 133 by over
// 0.5 %, the most by 27 %, 14 % and 11 %.
constexpr double hopelessMargin = 1.05;

// A stream of a way that seeks no strings is cut in two from this size on,
// where the second piece's code tables (some 100 bytes) weigh under 1 %: on a
// stream of 1 KB they came to 3 %.
constexpr uint64_t piecesPayBytes = 16 * 1024;

// --- 5. the strongest level's trials ------------------------------------------------

// The strongest level's sampled strips misjudge the pairs of layout and
// strategy that come close (unfiltered rows and palettes, whose repeats reach
// furthest, most of all), so up to maxWeighedWhole pairs expected within
// strongestMargin of the best are weighed again on the whole image at
// wholeWeighLevel, and at most strongestTrials of them deflated at the
// strongest level.
constexpr size_t strongestTrials = 2, maxWeighedWhole = 6;

// Level 7 judges the pairs nearest to what level 11 then makes of them. Level
// 9 put unfiltered rows ahead more often: 8-15 % smaller on some icons, but up
// to 6 % larger on others and slower (on 122 outside pictures it missed the
// bar of a rival optimiser on 9 against 7's 3); levels 1 to 6 miss the long
// repeats of unfiltered rows.
constexpr DeflateLevel wholeWeighLevel = DeflateLevel(7);

// A second trial is deflated beside the first when the weighing puts it
// within this much of it.
// Rebuildable set: at 1.0 files grow by 0.05 % (2 by over 0.5 %, one by 6 %); at 1.1
// they shrink by 0.18 % (one by 16 %, none grows) for about a tenth more time at
// the strongest level: a trade still to be timed with make writer-ab.
constexpr double runnerUpMargin = 1.03;

// A candidate's third strategy is a trial's pair only on images of up to this
// many scanline bytes: it changed icons' files (up to 3 % smaller), and on
// longer rows it changed no outside picture's file and took a tenth more time.
// Rebuildable set: without the third strategy 2 of 133 strongest-level files grow
// by over 0.5 % (one by 3.2 %).
constexpr size_t thirdStrategyScanlines = size_t(1) << 20;

// Above this many scanline bytes the pairs keep their sampled estimates: the
// weighing holds every pair's whole image filtered (up to six), and two streams.
constexpr size_t maxWeighedBytes = size_t(16) << 20;

// A stream expected to be this long or longer (less for 8-bit RGB, three times
// a palette's bytes and the slowest to deflate) halves its wait when cut in
// two pieces on two threads.
// Rebuildable set: never cut, files change by under 0.5 % either way (0.03 %
// smaller in the geometric mean): the cut buys time.
constexpr uint64_t worthCutting = 128 * 1024, worthCuttingRgb = 32 * 1024;

// Rows expected to deflate to under this many bits a byte repeat so much that
// the deepest level pays: alone, in two pieces, it takes about the time of one
// whole stream at the strongest level and writes a few to 25 % less.
// Rebuildable set: without the deepest level one strongest-level file (a chart)
// grows by 29 %.
constexpr double deepBitsPerByte = 0.05;

// Rows expected to take this many bits a byte or more are a photograph's,
// whose strings are short and near: the strongest level deflates them at a
// third of its pace on drawings, and a cut costs them a tenth of a percent,
// which a grey or palette file, as small as a rival optimiser's, cannot spare.
// Rebuildable set: no picture counted as a photograph, files change by under
// 0.2 % either way (0.01 % smaller in the geometric mean): the rule buys time.
constexpr double photoBitsPerByte = 2;

// A cut that costs a weighed drawing more than this at wholeWeighLevel costs
// about as much at the strongest level (1-2 % on some screenshots, where most
// cost under 0.3 %): such rows go whole.
// Rebuildable set: cut without this check, one strongest-level file grows by 1.1 %.
constexpr double cutCostLimit = 1.005;

// Rows expected under erraticBitsPerByte, and at most erraticScanlines bytes,
// deflate erratically at the strongest level, and are deflated at quickLevel
// too: on 140 outside pictures (icons, charts, screenshots), libdeflate's
// level 9 wrote less than its 11 on a seventh of them, up to 29 % less on
// unfiltered palette icons, in a twentieth of the time. On longer rows level
// 11 always came out ahead, and above 0.15 bits a byte level 9 won once in
// 132 trials' streams, by 0.3 %.
// Rebuildable set: without the quick level beside the strongest, files grow by
// 0.58 % (geometric mean), 16 of 133 by over 0.5 %, one by 32 %.
constexpr double erraticBitsPerByte = 0.15;
constexpr size_t erraticScanlines = size_t(1) << 20;
constexpr DeflateLevel quickLevel = DeflateLevel::zlibBest;

// --- 6. threads ----------------------------------------------------------------------

// A large image's rows go in this many chunks to the two filtering threads.
constexpr size_t filterChunks = 8;

// One piece of a stream for each thread: each cut costs the matches that would
// have reached across it, and more pieces gave no steadier times when another
// process kept a core busy.
constexpr size_t streamPieces = 2;

// A small image's ways to deflate go to two threads from this size on: below
// it, waking a thread costs about what it saves.
constexpr size_t bothAtOnceBytes = 64 * 1024;

}  // namespace lumivex::png::compact
