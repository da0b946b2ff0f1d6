#include "reduce.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png {
namespace {

uint32_t colourAt(const uint8_t* rgb) { return uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | rgb[2]; }

// An open-addressed table from colour to a small number (its census slot or
// palette index), for at most 256 colours in 1024 slots.
class ColourTable {
public:
    ColourTable() noexcept { std::memset(keys_, 0, sizeof keys_); }

    // The slot of `colour` (0xRRGGBB): its value, or where it would go.
    size_t find(uint32_t colour) const noexcept {
        const uint32_t key = colour + 1;  // 0 marks an empty slot
        size_t slot = (key * 2654435761u) >> (32 - bits);
        while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & (slots - 1);
        return slot;
    }
    bool holds(size_t slot) const noexcept { return keys_[slot] != 0; }
    uint16_t value(size_t slot) const noexcept { return values_[slot]; }
    void put(size_t slot, uint32_t colour, uint16_t value) noexcept {
        keys_[slot] = colour + 1;
        values_[slot] = value;
    }

private:
    static constexpr int bits = 10;
    static constexpr size_t slots = size_t(1) << bits;
    uint32_t keys_[slots];
    uint16_t values_[slots];
};

// Whether pixel i equals pixel i - 1; and pixels i to i + 4, each the one before
// (reading 16 bytes from pixel i).
bool sameAsLeft(const uint8_t* rgb, size_t i) { return std::memcmp(rgb + 3 * i, rgb + 3 * i - 3, 3) == 0; }
bool fiveSameAsLeft(const uint8_t* rgb, size_t i) {
    uint64_t here[2], left[2];
    std::memcpy(here, rgb + 3 * i, 16);
    std::memcpy(left, rgb + 3 * i - 3, 16);
    return ((here[0] ^ left[0]) | (here[1] ^ left[1])) == 0;
}

// The end of the run of pixels equal to pixel from - 1 (from >= 1), at most
// `end`. Graphics' runs are long: they are passed five pixels a compare.
size_t runEnd(const uint8_t* rgb, size_t from, size_t end) {
    size_t i = from;
    if (i == end || !sameAsLeft(rgb, i)) return i;
    for (++i; 3 * i + 16 <= 3 * end && fiveSameAsLeft(rgb, i); i += 5) {
    }
    while (i < end && sameAsLeft(rgb, i)) ++i;
    return i;
}

// The fewest bits of grey that hold value v exactly: 1 for 0 and 255, 2 for
// multiples of 85, 4 for multiples of 17, else 8.
int greyBitsOf(unsigned v) { return v % 255 == 0 ? 1 : v % 85 == 0 ? 2 : v % 17 == 0 ? 4 : 8; }

int indexBits(uint32_t count) { return count <= 2 ? 1 : count <= 4 ? 2 : count <= 16 ? 4 : 8; }

// Packs `count` samples of `bits` bits (each below 2^bits) from the most
// significant bit, a whole byte's worth at a time, the last byte's unused bits zero.
template <int Bits>
void packSamplesOf(const uint8_t* samples, uint32_t count, uint8_t* out) {
    constexpr uint32_t perByte = 8 / Bits;
    uint32_t x = 0;
    for (; x + perByte <= count; x += perByte) {
        unsigned byte = 0;
        for (uint32_t k = 0; k < perByte; ++k) byte = byte << Bits | samples[x + k];
        *out++ = static_cast<uint8_t>(byte);
    }
    if (x < count) {
        unsigned byte = 0;
        for (uint32_t k = 0; k < perByte; ++k) byte = byte << Bits | (x + k < count ? samples[x + k] : 0u);
        *out = static_cast<uint8_t>(byte);
    }
}

void packSamples(const uint8_t* samples, uint32_t count, int bits, uint8_t* out) {
    switch (bits) {
        case 1: return packSamplesOf<1>(samples, count, out);
        case 2: return packSamplesOf<2>(samples, count, out);
        case 4: return packSamplesOf<4>(samples, count, out);
        default: std::memcpy(out, samples, count);
    }
}

// Adds a colour the census lacks (`slot` is where `table` would hold it), used by
// `uses` pixels; false, the census marked as having many colours, when it holds 256.
bool addColour(ColourTable* table, size_t slot, uint32_t colour, uint64_t uses, ColourCensus* census) {
    if (census->count == 256) {
        census->many = true;
        census->grey = false;
        return false;
    }
    table->put(slot, colour, static_cast<uint16_t>(census->count));
    census->colours[census->count] = colour;
    census->uses[census->count++] = uses;
    return true;
}

// Whether a census's colours are all grey, and the fewest bits that hold them.
void describeGrey(ColourCensus* census) {
    census->grey = true;
    census->greyBits = 1;
    for (uint32_t i = 0; i < census->count; ++i) {
        const uint32_t c = census->colours[i];
        const unsigned r = c >> 16, g = (c >> 8) & 0xFF, b = c & 0xFF;
        census->grey = census->grey && r == g && g == b;
        census->greyBits = std::max(census->greyBits, greyBitsOf(r));
    }
}

}  // namespace

void takeCensus(const uint8_t* rgb, size_t pixels, ColourCensus* census) noexcept {
    ColourTable table;
    census->many = false;
    census->count = 0;
    for (size_t i = 0; i < pixels;) {
        const uint32_t colour = colourAt(rgb + 3 * i);
        const size_t slot = table.find(colour);
        if (!table.holds(slot) && !addColour(&table, slot, colour, 0, census)) return;
        const size_t end = runEnd(rgb, i + 1, pixels);  // one lookup a run
        census->uses[table.value(slot)] += end - i;
        i = end;
    }
    describeGrey(census);
}

void joinCensus(ColourCensus* into, const ColourCensus& other) noexcept {
    if (into->many || other.many) {
        into->many = true;
        into->grey = false;
        return;
    }
    ColourTable table;
    for (uint32_t i = 0; i < into->count; ++i) table.put(table.find(into->colours[i]), into->colours[i], uint16_t(i));
    for (uint32_t i = 0; i < other.count; ++i) {
        const size_t slot = table.find(other.colours[i]);
        if (table.holds(slot)) {
            into->uses[table.value(slot)] += other.uses[i];
        } else if (!addColour(&table, slot, other.colours[i], other.uses[i], into)) {
            return;
        }
    }
    describeGrey(into);
}

PngLayout paletteLayout(const ColourCensus& census, PaletteOrder order) noexcept {
    uint32_t rank[256];
    for (uint32_t i = 0; i < census.count; ++i) rank[i] = i;
    std::stable_sort(rank, rank + census.count, [&](uint32_t a, uint32_t b) { return census.uses[a] > census.uses[b]; });
    if (order != PaletteOrder::byUse) {
        // Rec. 601 luma, in thousandths; colours alike in it stay in order of use.
        const auto luma = [&](uint32_t i) {
            const uint32_t c = census.colours[i];
            return 299 * (c >> 16) + 587 * ((c >> 8) & 0xff) + 114 * (c & 0xff);
        };
        const bool brightestFirst = order == PaletteOrder::brightestFirst;
        std::stable_sort(rank, rank + census.count, [&](uint32_t a, uint32_t b) {
            return brightestFirst ? luma(a) > luma(b) : luma(a) < luma(b);
        });
    }
    PngLayout layout;
    layout.colourType = 3;
    layout.bitDepth = indexBits(census.count);
    layout.paletteSize = census.count;
    for (uint32_t i = 0; i < census.count; ++i) {
        const uint32_t c = census.colours[rank[i]];
        layout.palette[3 * i] = static_cast<uint8_t>(c >> 16);
        layout.palette[3 * i + 1] = static_cast<uint8_t>(c >> 8);
        layout.palette[3 * i + 2] = static_cast<uint8_t>(c);
    }
    return layout;
}

PngLayout greyLayout(const ColourCensus& census) noexcept {
    PngLayout layout;
    layout.colourType = 0;
    layout.bitDepth = census.greyBits;
    return layout;
}

void packRows(const uint8_t* rgb, uint32_t width, uint32_t height, const PngLayout& layout, uint8_t* out) noexcept {
    const size_t rowBytes = layout.rowBytes(width);
    if (layout.colourType == 2) {
        std::memcpy(out, rgb, rowBytes * height);
        return;
    }
    ColourTable indices;
    for (uint32_t i = 0; i < layout.paletteSize; ++i) {
        const uint8_t* entry = layout.palette + 3 * i;
        indices.put(indices.find(colourAt(entry)), colourAt(entry), static_cast<uint16_t>(i));
    }
    uint8_t greyLevel[256];  // grey value to sample, where the layout holds it
    const unsigned greyDivisor = 255u / ((1u << layout.bitDepth) - 1);
    for (unsigned v = 0; v < 256; ++v) greyLevel[v] = static_cast<uint8_t>(v / greyDivisor);
    uint8_t samples[1024];
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + size_t(y) * width * 3;
        uint8_t* packed = out + size_t(y) * rowBytes;
        // A row's samples a block at a time, each block's width a multiple of 8 so that packed bytes stay whole.
        for (uint32_t x = 0; x < width; x += sizeof samples) {
            const uint32_t count = std::min<uint32_t>(sizeof samples, width - x);
            const uint8_t* block = row + 3 * size_t(x);
            if (layout.colourType == 0) {
                for (uint32_t k = 0; k < count; ++k) samples[k] = greyLevel[block[3 * size_t(k)]];
            } else {
                for (uint32_t k = 0; k < count;) {
                    const uint16_t index = indices.value(indices.find(colourAt(block + 3 * size_t(k))));
                    const size_t end = runEnd(block, k + 1, count);  // one lookup a run
                    std::memset(samples + k, index, end - k);
                    k = static_cast<uint32_t>(end);
                }
            }
            packSamples(samples, count, layout.bitDepth, packed + size_t(x) * layout.bitDepth / 8);
        }
    }
}

}  // namespace lumivex::png
