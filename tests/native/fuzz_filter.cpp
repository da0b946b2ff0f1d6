// Build: clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. tests/native/fuzz_filter.cpp \
//          codec/png/filter.cpp codec/png/paeth.cpp codec/png/filter_select.cpp codec/png/filter_image.cpp -o /tmp/fuzz_filter
// Checks, on arbitrary rows, images and filter types, that the fast row reconstruction agrees with
// the scalar one, also when it writes over its own filtered bytes; and that forward filtering (fast,
// scalar, adaptive, and the costs behind the adaptive choice) agree and undo the reconstruction.
// Input: byte 0 picks bpp (1..8), byte 1 the row length, byte 2 how far before its filtered bytes
// an in-place row starts (1..16); the rest is rows, each a filter byte and its data.
#include "codec/png/filter.hpp"
#include "codec/png/filter_select.hpp"

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t kUntouched = 0x5A;

[[noreturn]] void mismatch(const char* what, int filterType, size_t bpp, size_t n, size_t row) {
    std::fprintf(stderr, "%s: filter %d bpp %zu n %zu row %zu\n", what, filterType, bpp, n, row);
    std::abort();
}

// The reconstruction written `gap` bytes before its own filtered bytes, as the decoder packs rows.
std::vector<uint8_t> reconstructInPlace(int filterType, const std::vector<uint8_t>& data, const uint8_t* above,
                                        size_t bpp, size_t gap, bool* ok) {
    std::vector<uint8_t> buffer(gap + data.size(), kUntouched);
    std::copy(data.begin(), data.end(), buffer.begin() + gap);
    *ok = lumivex::png::reconstructRowInPlace(filterType, buffer.data() + gap, above, data.size(), bpp, buffer.data());
    buffer.resize(data.size());
    return buffer;
}

// Forward filtering of a reconstructed row must give back its filtered bytes, on every path.
void checkForward(int filterType, const std::vector<uint8_t>& row, const uint8_t* above, size_t bpp,
                  const std::vector<uint8_t>& data, size_t index) {
    const size_t n = row.size();
    std::vector<uint8_t> fast(n), scalar(n);
    lumivex::png::filterRow(filterType, row.data(), above, n, bpp, fast.data());
    lumivex::png::filterRowScalar(filterType, row.data(), above, n, bpp, scalar.data());
    if (fast != data || scalar != data) mismatch("filtering does not undo reconstruction", filterType, bpp, n, index);
    uint64_t costs[lumivex::png::filterTypeCount], costsScalar[lumivex::png::filterTypeCount];
    lumivex::png::filterCosts(row.data(), above, n, bpp, costs);
    lumivex::png::filterCostsScalar(row.data(), above, n, bpp, costsScalar);
    if (!std::equal(costs, costs + lumivex::png::filterTypeCount, costsScalar)) {
        mismatch("filter costs differ", filterType, bpp, n, index);
    }
    const int chosen = lumivex::png::filterRowAdaptive(row.data(), above, n, bpp, fast.data());
    const int chosenScalar = lumivex::png::filterRowAdaptiveScalar(row.data(), above, n, bpp, scalar.data());
    if (chosen != chosenScalar || fast != scalar) mismatch("adaptive choices differ", filterType, bpp, n, index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 3) return 0;
    const size_t bpp = 1 + input[0] % 8;
    const size_t n = input[1];
    const size_t gap = 1 + input[2] % 16;
    input += 3;
    size -= 3;

    std::vector<uint8_t> prev;  // empty before the first row, which then has no row above
    for (size_t row = 0; size >= 1 + n; ++row, input += 1 + n, size -= 1 + n) {
        // The filter byte read as signed also feeds negative types to the rejection path.
        const int filterType = static_cast<int8_t>(input[0]);
        // Exact-size copies, so the address sanitizer sees any read past the row.
        const std::vector<uint8_t> data(input + 1, input + 1 + n);
        std::vector<uint8_t> fast(n, kUntouched), scalar(n, kUntouched);
        const uint8_t* above = prev.empty() ? nullptr : prev.data();
        const bool fastOk = lumivex::png::reconstructRow(filterType, data.data(), above, n, bpp, fast.data());
        const bool scalarOk = lumivex::png::reconstructRowScalar(filterType, data.data(), above, n, bpp, scalar.data());
        if (fastOk != scalarOk) mismatch("verdicts differ", filterType, bpp, n, row);
        if (fast != scalar) mismatch("bytes differ", filterType, bpp, n, row);
        if (!fastOk && fast != std::vector<uint8_t>(n, kUntouched)) mismatch("rejected row written", filterType, bpp, n, row);
        bool inPlaceOk;
        const std::vector<uint8_t> inPlace = reconstructInPlace(filterType, data, above, bpp, gap, &inPlaceOk);
        if (inPlaceOk != scalarOk || (scalarOk && inPlace != scalar)) mismatch("in place differs", filterType, bpp, n, row);
        if (fastOk) checkForward(filterType, fast, above, bpp, data, row);
        if (fastOk) prev = fast;
    }
    return 0;
}
