// Build: clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. tests/native/fuzz_filter.cpp codec/png/filter.cpp -o /tmp/fuzz_filter
// Checks that the fast row reconstruction agrees with the scalar one on arbitrary rows, images and filter types.
// Input: byte 0 picks bpp (1..8), byte 1 the row length; the rest is rows, each a filter byte and its data.
#include "codec/png/filter.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t kUntouched = 0x5A;

[[noreturn]] void mismatch(const char* what, int filterType, size_t bpp, size_t n, size_t row) {
    std::fprintf(stderr, "%s: filter %d bpp %zu n %zu row %zu\n", what, filterType, bpp, n, row);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 2) return 0;
    const size_t bpp = 1 + input[0] % 8;
    const size_t n = input[1];
    input += 2;
    size -= 2;

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
        if (fastOk) prev = fast;
    }
    return 0;
}
