// The five PNG filter types and the scalar predictor each one subtracts when filtering
// and adds back when reconstructing. Shared by both directions so they cannot disagree.
// Pure: no allocation, no exceptions, no global state.
#pragma once

#include <cstdlib>

namespace lumivex::png {

enum FilterType { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

inline bool isKnownFilter(int filterType) { return filterType >= kNone && filterType <= kPaeth; }

// Ties go to left, then up, then upLeft; the order is part of the format, not a detail.
// With p = left + up - upLeft: p - left = up - upLeft, p - up = left - upLeft, and
// p - upLeft is their sum, written so that the choice compiles to selects, not branches.
inline int paethPredictor(int left, int up, int upLeft) {
    const int pa = std::abs(up - upLeft);
    const int pb = std::abs(left - upLeft);
    const int pc = std::abs(left + up - 2 * upLeft);
    const int upOrUpLeft = pb <= pc ? up : upLeft;
    return pa <= pb && pa <= pc ? left : upOrUpLeft;
}

// The predictor of one byte from its three neighbours (each 0 where the format says
// the neighbour is missing); kNone and unknown types predict 0.
template <int Filter>
inline int predict(int left, int up, int upLeft) {
    if constexpr (Filter == kSub) return left;
    if constexpr (Filter == kUp) return up;
    if constexpr (Filter == kAverage) return (left + up) >> 1;
    if constexpr (Filter == kPaeth) return paethPredictor(left, up, upLeft);
    return 0;
}

inline int predict(int filterType, int left, int up, int upLeft) {
    switch (filterType) {
        case kSub: return predict<kSub>(left, up, upLeft);
        case kUp: return predict<kUp>(left, up, upLeft);
        case kAverage: return predict<kAverage>(left, up, upLeft);
        case kPaeth: return predict<kPaeth>(left, up, upLeft);
        default: return 0;
    }
}

}  // namespace lumivex::png
