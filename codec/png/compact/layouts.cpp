#include "layouts.hpp"

#include "policy.hpp"
#include "schedule.hpp"

namespace lumivex::png::compact {
namespace {

// A large image's census, taken in two halves on two threads.
ColourCensus censusOf(const CompactPlan& plan) {
    const size_t pixels = size_t(plan.width) * plan.height;
    ColourCensus halves[2];
    if (!worthTwoThreads(3 * pixels, 3)) {
        takeCensus(plan.pixels, pixels, &halves[0]);
        return halves[0];
    }
    const size_t half = pixels / 2;
    shareTasks(2, [&](size_t i, size_t) {
        takeCensus(plan.pixels + 3 * half * i, i == 0 ? half : pixels - half, &halves[i]);
    });
    joinCensus(&halves[0], halves[1]);
    return halves[0];
}

}  // namespace

size_t layoutsFor(const CompactPlan& plan, PngLayout layouts[maxLayouts]) noexcept {
    size_t count = 0;
    layouts[count++] = PngLayout();
    if (plan.colour == ColourChoice::rgb) return count;
    const ColourCensus census = censusOf(plan);
    if (census.many) return count;
    layouts[count++] = paletteLayout(census);
    if (plan.level == DeflateLevel::strongest && size_t(plan.width) * plan.height <= moreOrdersPixels) {
        layouts[count++] = paletteLayout(census, PaletteOrder::brightestFirst);
        layouts[count++] = paletteLayout(census, PaletteOrder::darkestFirst);
    }
    if (census.grey) layouts[count++] = greyLayout(census);
    return count;
}

bool pack(const CompactPlan& plan, const PngLayout& layout, Candidate* out) noexcept {
    out->layout = layout;
    const size_t rowBytes = layout.rowBytes(plan.width);
    const uint8_t* rows = plan.pixels;
    if (layout.colourType != 2) {
        if (!out->packed.allocate(rowBytes * plan.height)) return false;
        const auto packRange = [&](uint32_t first, uint32_t end) {
            packRows(plan.pixels + size_t(first) * plan.width * 3, plan.width, end - first, layout,
                     out->packed.data + first * rowBytes);
        };
        const uint32_t half = plan.height / 2;
        if (worthTwoThreads(size_t(plan.height) * plan.width * 3, size_t(plan.width) * 3)) {
            shareTasks(2, [&](size_t i, size_t) { i == 0 ? packRange(0, half) : packRange(half, plan.height); });
        } else {
            packRange(0, plan.height);
        }
        rows = out->packed.data;
    }
    out->image = {rows, rowBytes, plan.height, layout.filterDistance()};
    return true;
}

}  // namespace lumivex::png::compact
