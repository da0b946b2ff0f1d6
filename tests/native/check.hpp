// The small harness the native test programs share: CHECK records a failure with the
// line, the expression and the case being run; report() ends main with an exit status
// that counts failures (capped), 0 when all pass. Each program seeds `rng` itself so
// its random cases stay the same from run to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace nativetest {

using Bytes = std::vector<uint8_t>;

inline int failures = 0;
inline std::string context;  // describes the case being run, printed with each failure
inline std::mt19937 rng;

inline void check(bool ok, const char* expr, int line) {
    if (ok) return;
    if (++failures <= 30) std::printf("FAIL line %d: %s [%s]\n", line, expr, context.c_str());
}

// Small alphabets make Paeth ties and equal costs frequent; the full range exercises the
// modulo-256 wrap-around.
inline Bytes randomBytes(size_t n, int maxValue = 255) {
    std::uniform_int_distribution<int> dist(0, maxValue);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(dist(rng));
    return bytes;
}

constexpr uint8_t kGuard = 0xA5;
// Output buffers carry guard bytes past the end, so writes beyond the contract's length are seen.
inline Bytes guarded(size_t n) { return Bytes(n + 16, kGuard); }
inline bool guardIntact(const Bytes& buffer, size_t n) {
    for (size_t i = n; i < buffer.size(); ++i)
        if (buffer[i] != kGuard) return false;
    return true;
}

// Prints the failure count, after `label` when given, and returns the exit status for main.
inline int report(const std::string& label = {}) {
    std::printf("%s%s%d failure(s)\n", label.c_str(), label.empty() ? "" : ": ", failures);
    return failures > 100 ? 100 : failures;
}

}  // namespace nativetest

#define CHECK(cond) ::nativetest::check((cond), #cond, __LINE__)
