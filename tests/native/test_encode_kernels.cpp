// Unit tests for the encoder's byte kernels: forward filtering, filter choice, the
// zlib wrappers and the estimates of deflating without strings, and the filtered
// rows the compact encoder's candidates keep. Built once per deflate backend. Exit
// status is the number of failed checks (capped), 0 when all pass.
#include "codec/png/compact/choose.hpp"
#include "codec/png/deflate.hpp"
#include "codec/png/inflate.hpp"
#include "codec/png/deflate_scan.hpp"
#include "codec/png/filter.hpp"
#include "codec/png/filter_select.hpp"
#include "codec/png/unmatched_estimate.hpp"
#include "tests/native/check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

using namespace lumivex;
namespace compact = lumivex::png::compact;
using namespace nativetest;

namespace {

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

// --- forward filters -------------------------------------------------------------

void testHandExamples() {
    // Row 10 20 30 40 50 60 over 1 2 3 4 5 6, bpp 3, worked out by hand per filter.
    const Bytes row{10, 20, 30, 40, 50, 60}, prev{1, 2, 3, 4, 5, 6};
    const Bytes want[] = {
        row,
        {10, 20, 30, 30, 30, 30},  // Sub: minus the byte three to the left
        {9, 18, 27, 36, 45, 54},   // Up
        {10, 19, 29, 33, 38, 42},  // Average: minus floor((left + up) / 2) = 0 1 1 7 12 18
        {9, 18, 27, 30, 30, 30},   // Paeth: up first (left 0), then left (e.g. 10 4 1: pa 3, pb 9, pc 12)
    };
    for (int t = 0; t < png::filterTypeCount; ++t) {
        context = "hand, type " + std::to_string(t);
        Bytes fast = guarded(6), scalar = guarded(6);
        CHECK(png::filterRow(t, row.data(), prev.data(), 6, 3, fast.data()));
        CHECK(png::filterRowScalar(t, row.data(), prev.data(), 6, 3, scalar.data()));
        CHECK(Bytes(fast.begin(), fast.begin() + 6) == want[t]);
        CHECK(Bytes(scalar.begin(), scalar.begin() + 6) == want[t]);
    }
    context = "unknown filter types write nothing";
    for (int t : {-1, 5, 255}) {
        Bytes out = guarded(6);
        CHECK(!png::filterRow(t, row.data(), prev.data(), 6, 3, out.data()));
        CHECK(!png::filterRowScalar(t, row.data(), prev.data(), 6, 3, out.data()));
        CHECK(guardIntact(out, 0));
    }
}

// Each filter is undone by the decoder's reconstruction, byte for byte; the fast path
// equals the scalar one, writes exactly n bytes, for every length around the vector width.
void testAgainstReferenceAndInverse() {
    for (size_t bpp : {1, 3, 4, 6}) {
        for (size_t n = 0; n <= 70; ++n) {
            for (int maxValue : {3, 255}) {
                const Bytes row = randomBytes(n, maxValue), prev = randomBytes(n, maxValue);
                for (bool first : {false, true}) {
                    const uint8_t* prevRow = first ? nullptr : prev.data();
                    for (int t = 0; t < png::filterTypeCount; ++t) {
                        context = "bpp " + std::to_string(bpp) + " n " + std::to_string(n) + " type " +
                                  std::to_string(t) + (first ? " first row" : "");
                        Bytes fast = guarded(n), scalar = guarded(n), back(n + 1);
                        CHECK(png::filterRow(t, row.data(), prevRow, n, bpp, fast.data()));
                        CHECK(png::filterRowScalar(t, row.data(), prevRow, n, bpp, scalar.data()));
                        CHECK(guardIntact(fast, n));
                        CHECK(fast == scalar);
                        CHECK(png::reconstructRowScalar(t, fast.data(), prevRow, n, bpp, back.data()));
                        CHECK(sameBytes(back.data(), row.data(), n));
                    }
                }
            }
        }
    }
}

// Paeth over a grid of (left, up, upLeft) triples including the extremes, where the
// vector path's byte-wide distances saturate: with bpp 16 each lane of the second
// vector gets its own triple, left from the row and up, upLeft from the previous one.
void testPaethExtremes() {
    const int values[] = {0, 1, 2, 63, 64, 127, 128, 129, 191, 192, 253, 254, 255};
    std::vector<uint8_t> triples;
    for (int a : values)
        for (int b : values)
            for (int c : values) triples.insert(triples.end(), {uint8_t(a), uint8_t(b), uint8_t(c)});
    for (size_t start = 0; start < triples.size(); start += 3 * 16) {
        Bytes row = randomBytes(32), prev = randomBytes(32);
        for (size_t lane = 0; lane < 16 && start + 3 * lane < triples.size(); ++lane) {
            row[lane] = triples[start + 3 * lane];
            prev[16 + lane] = triples[start + 3 * lane + 1];
            prev[lane] = triples[start + 3 * lane + 2];
        }
        context = "Paeth extremes from triple " + std::to_string(start / 3);
        Bytes fast(32), scalar(32);
        png::filterRow(4, row.data(), prev.data(), 32, 16, fast.data());
        png::filterRowScalar(4, row.data(), prev.data(), 32, 16, scalar.data());
        CHECK(fast == scalar);
    }
}

uint64_t magnitudeSum(const Bytes& filtered, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += filtered[i] < 128 ? filtered[i] : 256 - filtered[i];
    return sum;
}

// Costs are the signed-magnitude sums of what filterRow writes; the choice is the
// cheapest type, the lowest among equals, and its bytes are that type's filtering.
void testCostsAndChoice() {
    for (size_t bpp : {1, 3, 4}) {
        for (size_t n : {1, 2, 3, 15, 16, 19, 33, 64, 257, 3000}) {
            for (int maxValue : {1, 7, 255}) {
                const Bytes row = randomBytes(n, maxValue), prev = randomBytes(n, maxValue);
                for (bool first : {false, true}) {
                    const uint8_t* prevRow = first ? nullptr : prev.data();
                    context = "bpp " + std::to_string(bpp) + " n " + std::to_string(n) + " max " +
                              std::to_string(maxValue) + (first ? " first row" : "");
                    uint64_t fast[png::filterTypeCount], scalar[png::filterTypeCount];
                    png::filterCosts(row.data(), prevRow, n, bpp, fast);
                    png::filterCostsScalar(row.data(), prevRow, n, bpp, scalar);
                    int cheapest = 0;
                    for (int t = 0; t < png::filterTypeCount; ++t) {
                        Bytes filtered(n);
                        png::filterRowScalar(t, row.data(), prevRow, n, bpp, filtered.data());
                        CHECK(scalar[t] == magnitudeSum(filtered, n));
                        CHECK(fast[t] == scalar[t]);
                        if (scalar[t] < scalar[cheapest]) cheapest = t;
                    }
                    Bytes chosen = guarded(n), chosenScalar = guarded(n), want(n);
                    CHECK(png::filterRowAdaptive(row.data(), prevRow, n, bpp, chosen.data()) == cheapest);
                    CHECK(png::filterRowAdaptiveScalar(row.data(), prevRow, n, bpp, chosenScalar.data()) == cheapest);
                    png::filterRowScalar(cheapest, row.data(), prevRow, n, bpp, want.data());
                    CHECK(guardIntact(chosen, n));
                    CHECK(sameBytes(chosen.data(), want.data(), n));
                    CHECK(chosen == chosenScalar);
                }
            }
        }
    }
    context = "a flat row after an equal one picks Up over None; a ramp picks Sub";
    const Bytes flat(30, 200), ramp = [] { Bytes r(30); for (size_t i = 0; i < 30; ++i) r[i] = uint8_t(i * 5); return r; }();
    Bytes out(30);
    CHECK(png::filterRowAdaptive(flat.data(), flat.data(), 30, 3, out.data()) == 2);
    CHECK(png::filterRowAdaptive(ramp.data(), nullptr, 30, 1, out.data()) == 1);
}

// Whole images: each scanline is its type byte and that row filtered against the one above.
// The choosing strategies count in tables kept across rows, cleared one way for rows
// shorter than the tables and another for longer ones: a row filtered alone must
// choose as it does among others (the runs below).
void testFilterImage() {
    const size_t height = 5;
    for (size_t stride : {3 * 7, 3 * 400}) {
        const Bytes pixels = randomBytes(stride * height, 9);
        for (int code = 0; code <= int(png::FilterStrategy::pairs); ++code) {
            const auto strategy = png::FilterStrategy(code);
            context = "image " + std::to_string(stride) + " bytes wide, strategy " + std::to_string(code);
            Bytes out = guarded(height * (stride + 1));
            CHECK(png::filterImage(pixels.data(), stride, height, 3, strategy, out.data()));
            CHECK(guardIntact(out, height * (stride + 1)));
            for (size_t y = 0; y < height; ++y) {
                const uint8_t* row = pixels.data() + y * stride;
                const uint8_t* prev = y ? row - stride : nullptr;
                const uint8_t* line = out.data() + y * (stride + 1);
                Bytes want(stride);
                const int type = strategy == png::FilterStrategy::adaptive
                                     ? png::filterRowAdaptiveScalar(row, prev, stride, 3, want.data())
                                 : png::isFilterType(strategy) ? code
                                                               : line[0];  // chosen by cost: its bytes are checked
                png::filterRowScalar(type, row, prev, stride, 3, want.data());
                CHECK(line[0] == type);
                CHECK(sameBytes(line + 1, want.data(), stride));
            }
            // Any run of rows filtered alone is the same stretch of the whole image's scanlines.
            for (size_t first = 0; first <= height; ++first) {
                for (size_t end = first; end <= height; ++end) {
                    const size_t lineBytes = stride + 1, n = (end - first) * lineBytes;
                    Bytes part = guarded(n);
                    CHECK(png::filterImageRows(pixels.data(), stride, first, end, 3, strategy, part.data()));
                    CHECK(guardIntact(part, n) && sameBytes(part.data(), out.data() + first * lineBytes, n));
                }
            }
        }
    }
    context = "image, unknown strategy";
    Bytes out = guarded(0);
    CHECK(!png::filterImage(out.data(), 1, 1, 3, png::FilterStrategy(200), out.data()));
    CHECK(guardIntact(out, 0));
}

// The rows a candidate keeps from its weighing, which the strongest level's trials
// copy instead of filtering again, are the rows of their strategy: a stale copy
// would still make a valid file, only not the one weighed.
void testKeptRows() {
    size_t checked = 0;
    for (int maxValue : {1, 7, 255}) {
        context = "kept rows, values 0 to " + std::to_string(maxValue);
        const uint32_t width = 200, height = 60;
        const Bytes pixels = randomBytes(size_t(width) * height * 3, maxValue);
        const compact::CompactPlan plan{pixels.data(), width, height, png::DeflateLevel::strongest,
                                        png::FilterStrategy::adaptive};
        const size_t lineBytes = size_t(width) * 3 + 1, cap = compact::scratchBytes(height * lineBytes, lineBytes);
        Bytes memory(2 * cap);
        const compact::Scratch scratch{memory.data(), cap};
        compact::Candidate candidates[compact::maxLayouts];
        const size_t count = compact::weighCandidates(plan, scratch, candidates);
        for (size_t i = 0; i < count; ++i) {
            compact::weighSlowStrategies(&candidates[i], scratch);
            const compact::Image& image = candidates[i].image;
            Bytes rows(image.scanlineBytes());
            for (const compact::Weighed& weighed : candidates[i].best) {
                const uint8_t* kept = candidates[i].filteredBy(weighed.strategy);
                if (kept == nullptr) continue;
                png::filterImage(image.pixels, image.rowStride, image.height, image.bpp, weighed.strategy, rows.data());
                CHECK(sameBytes(kept, rows.data(), rows.size()));
                ++checked;
            }
        }
    }
    CHECK(checked >= 9);  // each picture's best three, at the least
}

// --- zlib wrappers ----------------------------------------------------------------

uint32_t adler32(const Bytes& data) {
    uint32_t a = 1, b = 0;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// A zlib stream built by hand: header 78 01, stored blocks of at most 65535 bytes, Adler-32.
Bytes storedStream(const Bytes& data) {
    Bytes out{0x78, 0x01};
    size_t at = 0;
    do {
        const size_t len = std::min<size_t>(65535, data.size() - at);
        const bool last = at + len == data.size();
        out.push_back(last ? 1 : 0);
        out.push_back(uint8_t(len));
        out.push_back(uint8_t(len >> 8));
        out.push_back(uint8_t(~len));
        out.push_back(uint8_t(~len >> 8));
        out.insert(out.end(), data.begin() + at, data.begin() + at + len);
        at += len;
    } while (at < data.size());
    const uint32_t sum = adler32(data);
    for (int shift : {24, 16, 8, 0}) out.push_back(uint8_t(sum >> shift));
    return out;
}

void testCrc32() {
    context = "CRC-32 of the IEND chunk type, whole and in two steps";
    const uint8_t iend[] = {'I', 'E', 'N', 'D'};
    CHECK(png::updateCrc32(0, iend, 4) == 0xAE426082u);
    CHECK(png::updateCrc32(png::updateCrc32(0, iend, 1), iend + 1, 3) == 0xAE426082u);
    CHECK(png::updateCrc32(0, nullptr, 0) == 0);
}

struct Inflated {
    png::InflateStatus status;
    png::InflateCounts counts;
    Bytes out;
};

Inflated inflate(const Bytes& stream, size_t cap) {
    Inflated result{png::InflateStatus::badData, {}, guarded(cap)};
    result.counts.produced = result.counts.consumed = 12345;  // must be left alone on failure
    result.status = png::inflateInto(stream.data(), stream.size(), result.out.data(), cap, &result.counts);
    CHECK(guardIntact(result.out, cap));
    return result;
}

const char* statusName(png::InflateStatus status) {
    switch (status) {
        case png::InflateStatus::complete: return "complete";
        case png::InflateStatus::shortOutput: return "shortOutput";
        case png::InflateStatus::outputTooLarge: return "outputTooLarge";
        case png::InflateStatus::badData: return "badData";
        default: return "outOfMemory";
    }
}

void expectStatus(const Bytes& stream, size_t cap, png::InflateStatus want, const std::string& name) {
    context = name + ", cap " + std::to_string(cap);
    const Inflated got = inflate(stream, cap);
    if (got.status != want) context += std::string(": got ") + statusName(got.status);
    CHECK(got.status == want);
    if (want != png::InflateStatus::complete && want != png::InflateStatus::shortOutput)
        CHECK(got.counts.produced == 12345 && got.counts.consumed == 12345);
}

// Runs of random lengths (up to past deflate's longest match) of a few values, a random byte after each.
Bytes runsAndNoise(size_t n, size_t longestRun) {
    std::uniform_int_distribution<size_t> length(1, longestRun);
    Bytes bytes;
    while (bytes.size() < n) {
        bytes.insert(bytes.end(), length(rng), uint8_t(length(rng) % 4));
        bytes.push_back(uint8_t(rng()));
    }
    bytes.resize(n);
    return bytes;
}

void testCompressRoundTrip() {
    const Bytes inputs[] = {Bytes(),           randomBytes(1),          randomBytes(1000, 3),
                            randomBytes(70000), randomBytes(70000, 7),   Bytes(300000, 7),
                            runsAndNoise(100000, 12), runsAndNoise(100000, 600)};
    const int levels[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, int(png::DeflateLevel::strongest)};
    for (const Bytes& input : inputs) {
        const size_t bound = png::zlibCompressBound(input.size());
        CHECK(bound > input.size());
        // The ways that seek no strings: each its own valid stream of the same bytes, whose
        // length the writer's estimate comes within 1 % of (or a few bytes of header).
        for (png::Unmatched how : {png::Unmatched::runs, png::Unmatched::literals}) {
            context = "unmatched " + std::to_string(input.size()) + " bytes, way " + std::to_string(int(how));
            Bytes other = guarded(bound);
            const size_t otherLen = png::compressZlibUnmatched(how, input.data(), input.size(), other.data(), bound);
            CHECK(otherLen > 0 && guardIntact(other, bound));
            const uint64_t full = png::estimateUnmatched(how, input.data(), input.size());
            CHECK(std::abs(double(full) - double(otherLen)) <= std::max(double(otherLen) * 0.01, 10.0));
            // Given a limit, the walk may stop at it, but never changes which side of it the estimate is on.
            for (uint64_t limit : {full / 2, full, full + 1}) {
                const uint64_t limited = png::estimateUnmatched(how, input.data(), input.size(), limit);
                CHECK((limited == full || limited == limit) && (limited < limit) == (full < limit));
            }
            other.resize(otherLen);
            const Inflated otherBack = inflate(other, input.size());
            CHECK(otherBack.status == png::InflateStatus::complete && otherBack.counts.consumed == otherLen);
            CHECK(sameBytes(otherBack.out.data(), input.data(), input.size()));
        }
        for (int level : levels) {
            context = "compress " + std::to_string(input.size()) + " bytes at level " + std::to_string(level);
            Bytes packed = guarded(bound);
            const size_t len = png::compressZlib(png::DeflateLevel(level), input.data(), input.size(), packed.data(), bound);
            CHECK(len > 0 && len <= bound);
            CHECK(guardIntact(packed, bound));
            packed.resize(len);
            const Inflated back = inflate(packed, input.size());
            CHECK(back.status == png::InflateStatus::complete);
            CHECK(back.counts.produced == input.size() && back.counts.consumed == len);
            CHECK(sameBytes(back.out.data(), input.data(), input.size()));
            // A buffer one byte short of the stream: refused, nothing written past it.
            if (len > 1) {
                Bytes small = guarded(len - 1);
                CHECK(png::compressZlib(png::DeflateLevel(level), input.data(), input.size(), small.data(), len - 1) == 0);
                CHECK(guardIntact(small, len - 1));
            }
        }
    }
    context = "compressible data shrinks more at the strongest level than at level 1";
    Bytes text;
    // Words drawn at random from a few: one phrase repeated end to end is so
    // regular that libdeflate's optimal parsing (levels 10 and 11) writes a few
    // bytes more than its greedy level 1 does.
    const char* const words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dogs "};
    for (uint32_t state = 1; text.size() < 20000;) {
        state = state * 1103515245u + 12345u;
        for (const char* c = words[(state >> 16) % 8]; *c != 0; ++c) text.push_back(uint8_t(*c));
    }
    Bytes packed(png::zlibCompressBound(text.size()));
    const size_t fast = png::compressZlib(png::DeflateLevel::fastest, text.data(), text.size(), packed.data(), packed.size());
    const size_t strong =
        png::compressZlib(png::DeflateLevel::strongest, text.data(), text.size(), packed.data(), packed.size());
    CHECK(strong > 0 && strong < fast);
    const size_t deepest =
        png::compressZlib(png::DeflateLevel::deepest, text.data(), text.size(), packed.data(), packed.size());
    CHECK(deepest > 0 && deepest < fast);
    context = "unknown levels are refused";
    for (int level : {0, -1, 10, int(png::DeflateLevel::deepest) + 1, 100})
        CHECK(png::compressZlib(png::DeflateLevel(level), text.data(), text.size(), packed.data(), packed.size()) == 0);
}

// Input cut into pieces compressed one by one, then joined with the header and the
// combined Adler-32, inflates to the input; an inner piece is byte-aligned and ends no
// stream (alone it is no whole stream; followed by a final empty stored block it is).
void testPieces() {
    const Bytes finalEmptyBlock{0x01, 0x00, 0x00, 0xFF, 0xFF};
    auto framed = [](const Bytes& body, uint32_t adler) {
        Bytes stream(png::zlibHeaderLength);
        png::putZlibHeader(png::DeflateLevel::standard, stream.data());
        stream.insert(stream.end(), body.begin(), body.end());
        stream.resize(stream.size() + png::zlibTrailerLength);
        png::putZlibTrailer(adler, stream.data() + stream.size() - png::zlibTrailerLength);
        return stream;
    };
    for (int round = 0; round < 40; ++round) {
        const size_t size = round < 4 ? size_t(round) : std::uniform_int_distribution<size_t>(4, 200000)(rng);
        const Bytes input = randomBytes(size, round % 3 == 0 ? 255 : 3);
        std::vector<size_t> cuts{0, size / 3, size - size / 4, size};
        for (int method : {1, 6, int(png::DeflateLevel::strongest), 0, -1}) {  // 0: runs only, -1: literals only
            if (method == int(png::DeflateLevel::strongest) && size > 50000) continue;
            context = "pieces of " + std::to_string(size) + " bytes, " +
                      (method > 0 ? "level " + std::to_string(method) : method == 0 ? "runs" : "literals");
            Bytes joined;
            uint32_t adler = 1;
            for (size_t i = 0; i + 1 < cuts.size(); ++i) {
                const uint8_t* src = input.data() + cuts[i];
                const size_t len = cuts[i + 1] - cuts[i];
                const bool last = i + 2 == cuts.size();
                const size_t bound = png::deflatePieceBound(len);
                Bytes piece = guarded(bound);
                const png::Unmatched how = method == 0 ? png::Unmatched::runs : png::Unmatched::literals;
                const size_t n = method > 0 ? png::compressDeflatePiece(png::DeflateLevel(method), last, src, len, piece.data(), bound)
                                            : png::compressDeflateUnmatchedPiece(how, last, src, len, piece.data(), bound);
                CHECK(n > 0 && guardIntact(piece, bound));
                piece.resize(n);
                const uint32_t pieceAdler = png::updateAdler32(1, src, len);
                CHECK(pieceAdler == adler32(Bytes(src, src + len)));
                if (!last) {
                    CHECK(inflate(framed(piece, pieceAdler), len).status != png::InflateStatus::complete);
                    Bytes closed = piece;
                    closed.insert(closed.end(), finalEmptyBlock.begin(), finalEmptyBlock.end());
                    const Inflated whole = inflate(framed(closed, pieceAdler), len);
                    CHECK(whole.status == png::InflateStatus::complete && sameBytes(whole.out.data(), src, len));
                }
                joined.insert(joined.end(), piece.begin(), piece.end());
                adler = png::combineAdler32(adler, pieceAdler, len);
            }
            CHECK(adler == adler32(input));
            const Bytes stream = framed(joined, adler);
            const Inflated back = inflate(stream, size);
            CHECK(back.status == png::InflateStatus::complete && back.counts.consumed == stream.size());
            CHECK(sameBytes(back.out.data(), input.data(), size));
        }
    }
    context = "a piece that does not fit is refused, writing nothing past the buffer";
    const Bytes input = randomBytes(5000);
    for (bool last : {false, true}) {
        Bytes small = guarded(100);
        CHECK(png::compressDeflatePiece(png::DeflateLevel::standard, last, input.data(), input.size(), small.data(), 100) == 0);
        for (png::Unmatched how : {png::Unmatched::runs, png::Unmatched::literals})
            CHECK(png::compressDeflateUnmatchedPiece(how, last, input.data(), input.size(), small.data(), 100) == 0);
        CHECK(guardIntact(small, 100));
    }
}

// A raw deflate stream from zlib, flushed fully every `flushEvery` bytes (0: never) for
// many blocks, stored ones among them.
Bytes rawDeflate(const Bytes& input, int level, int strategy, size_t flushEvery) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy);
    Bytes out(deflateBound(&stream, uLong(input.size())) + 16 * (input.size() / (flushEvery ? flushEvery : 1) + 1));
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    size_t at = 0;
    do {
        const size_t step = flushEvery ? std::min(flushEvery, input.size() - at) : input.size() - at;
        stream.next_in = const_cast<Bytef*>(input.data() + at);
        stream.avail_in = uInt(step);
        at += step;
        deflate(&stream, at == input.size() ? Z_FINISH : Z_FULL_FLUSH);
    } while (at < input.size());
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The block walker finds the same last block as zlib's own inflate, on streams of every
// block type from zlib and from the build's compressor; cut short or followed by a byte,
// a stream is refused by both.
void testLastBlockScan() {
    Bytes text;
    for (int i = 0; i < 60000; ++i) text.push_back(uint8_t("flat fills and thin lines "[i % 26] + (i / 1013) % 4));
    const Bytes inputs[] = {Bytes(), randomBytes(1), randomBytes(5000, 3), randomBytes(40000), text};
    std::vector<std::pair<std::string, Bytes>> streams;
    for (size_t k = 0; k < sizeof inputs / sizeof inputs[0]; ++k) {
        const Bytes& input = inputs[k];
        for (int level : {0, 1, 6, 9})
            for (int strategy : {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
                for (size_t flushEvery : {size_t(0), size_t(7001)})
                    streams.push_back({"zlib input " + std::to_string(k) + " level " + std::to_string(level) +
                                           " strategy " + std::to_string(strategy) + " flush " + std::to_string(flushEvery),
                                       rawDeflate(input, level, strategy, flushEvery)});
        for (int level : {1, 6, 9, int(png::DeflateLevel::strongest)}) {
            Bytes piece(png::deflatePieceBound(input.size()));
            piece.resize(png::compressDeflatePiece(png::DeflateLevel(level), true, input.data(), input.size(), piece.data(), piece.size()));
            streams.push_back({"piece input " + std::to_string(k) + " level " + std::to_string(level), piece});
        }
    }
    for (const auto& [name, stream] : streams) {
        context = name;
        png::DeflateLastBlock walked{1, 1}, inflated{2, 2};
        CHECK(png::findLastDeflateBlock(stream.data(), stream.size(), &walked));
        CHECK(png::findLastDeflateBlockInflating(stream.data(), stream.size(), &inflated));
        CHECK(walked.headerBit == inflated.headerBit && walked.endBit == inflated.endBit);
        CHECK(walked.endBit <= stream.size() * 8 && walked.endBit + 8 > stream.size() * 8);
        Bytes longer = stream;
        longer.push_back(0);
        Bytes shorter(stream.begin(), stream.end() - 1);
        for (const Bytes* bad : {&longer, &shorter}) {
            png::DeflateLastBlock untouched{7, 7};
            CHECK(!png::findLastDeflateBlock(bad->data(), bad->size(), &untouched));
            CHECK(!png::findLastDeflateBlockInflating(bad->data(), bad->size(), &untouched));
            CHECK(untouched.headerBit == 7 && untouched.endBit == 7);
        }
        // Damaged streams: read within bounds (the sanitized build sees any stray read), and
        // whatever zlib still reads as a whole stream, the walker reads the same way. (The
        // walker may accept more: it does not check distances against the output.)
        for (int damage = 0; damage < 12 && !stream.empty(); ++damage) {
            Bytes hurt = stream;
            for (int flips = 0; flips <= damage % 3; ++flips) hurt[rng() % hurt.size()] ^= uint8_t(1u << (rng() % 8));
            png::DeflateLastBlock byWalk{0, 0}, byInflate{0, 0};
            const bool walkedOk = png::findLastDeflateBlock(hurt.data(), hurt.size(), &byWalk);
            if (png::findLastDeflateBlockInflating(hurt.data(), hurt.size(), &byInflate))
                CHECK(walkedOk && byWalk.headerBit == byInflate.headerBit && byWalk.endBit == byInflate.endBit);
        }
    }
}

void testInflateStatuses() {
    using S = png::InflateStatus;
    const Bytes data = randomBytes(100000);
    const Bytes stream = storedStream(data);
    expectStatus(stream, data.size(), S::complete, "exact size");
    expectStatus(stream, data.size() + 1, S::shortOutput, "room to spare");
    expectStatus(stream, data.size() - 1, S::outputTooLarge, "one byte too small");
    expectStatus(stream, 0, S::outputTooLarge, "no room");
    expectStatus(storedStream(Bytes()), 0, S::complete, "empty stream, no room");

    context = "room to spare: the bytes and counts";
    Inflated spare = inflate(stream, data.size() + 100);
    CHECK(spare.counts.produced == data.size() && spare.counts.consumed == stream.size());
    CHECK(sameBytes(spare.out.data(), data.data(), data.size()));

    context = "data after the stream is not consumed";
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
    Inflated after = inflate(trailing, data.size());
    CHECK(after.status == S::complete && after.counts.consumed == stream.size());

    Bytes badSum = stream;
    badSum.back() ^= 1;
    expectStatus(badSum, data.size(), S::badData, "bad Adler-32");
    Bytes badHeader = stream;
    badHeader[1] ^= 1;  // header check bits no longer make a multiple of 31
    expectStatus(badHeader, data.size(), S::badData, "bad header check");
    expectStatus(Bytes{0x78, 0xBB, 0, 0, 0, 1, 3, 0, 0, 0, 0, 1}, 0, S::badData, "preset dictionary");
    expectStatus(Bytes{0x79, 0x9C, 3, 0, 0, 0, 0, 1}, 0, S::badData, "not deflate");
    Bytes badLength = stream;
    badLength[5] ^= 0xFF;  // stored length no longer the complement of its check
    expectStatus(badLength, data.size(), S::badData, "bad stored length");
    expectStatus(Bytes(), 0, S::badData, "no input");
    for (size_t cut : {size_t(1), size_t(4), stream.size() / 2, stream.size() - 4, stream.size() - 1}) {
        const Bytes truncated(stream.begin(), stream.begin() + long(stream.size() - cut));
        // Truncated input fails as bad data whenever the buffer could hold the whole stream.
        expectStatus(truncated, data.size(), S::badData, "truncated by " + std::to_string(cut));
    }
}

// Idle blocks: a freed block goes to one later request that fits it well, and to no other.
void testIdleBlocks() {
    context = "idle blocks";
    png::IdleBlocks blocks;
    size_t capacity = 0, again = 0, other = 0;
    void* first = blocks.take(400000, &capacity);
    CHECK(first != nullptr && capacity == 400000);
    blocks.give(first, capacity);
    void* reused = blocks.take(300000, &again);
    void* fresh = blocks.take(300000, &other);
    CHECK(reused == first && again == 400000 && fresh != first && other == 300000);
    blocks.give(reused, again);
    // Not handed to a request under a quarter of its size.
    void* small = blocks.take(70000, &other);
    CHECK(small != first && other == 70000);
    std::free(small);
    std::free(fresh);
}

}  // namespace

int main() {
    rng.seed(2024);
    testHandExamples();
    testAgainstReferenceAndInverse();
    testPaethExtremes();
    testCostsAndChoice();
    testFilterImage();
    testKeptRows();
    testCrc32();
    testCompressRoundTrip();
    testInflateStatuses();
    testPieces();
    testLastBlockScan();
    testIdleBlocks();
    return report(png::deflateBackend());
}
