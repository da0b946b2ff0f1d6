// Which SIMD extensions the running processor has, for the kernels that pick a
// wider path at run time. Read with cpuid rather than __builtin_cpu_supports:
// that builtin reads a table the compiler's runtime library fills in, and not
// every runtime does (zig's, which builds the binary wheels, leaves it empty),
// which would send every call silently down the SSE2 path. Pure: no Python.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

namespace lumivex::cpu {

// ECX of cpuid leaf 1, where SSSE3 and SSE4.1 are flagged; 0 when the leaf is missing.
inline unsigned leafOneEcx() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) ? ecx : 0;
}

inline bool hasSsse3() noexcept {
    static const bool has = (leafOneEcx() & bit_SSSE3) != 0;
    return has;
}

inline bool hasSse41() noexcept {
    static const bool has = (leafOneEcx() & bit_SSE4_1) != 0;
    return has;
}

}  // namespace lumivex::cpu
#endif
