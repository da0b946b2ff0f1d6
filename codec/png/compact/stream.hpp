// Stage 4 of the compact writer: the filtered rows of the chosen layout
// become one zlib stream, by the deflate method that makes it smallest. Small
// images try deflate's matching and the ways that seek no strings on all
// their rows and keep the smallest; large ones judge them on sampled strips,
// then deflate in two pieces on two threads when the machine has two cores.
// Pure: no Python.
#pragma once

#include "rows.hpp"

#include "../deflate.hpp"

#include <cstddef>
#include <cstdint>

namespace lumivex::png::compact {

// The zlib stream of src[0, len) (rows of lineBytes) by matching at a known `level`, in
// two pieces on two threads when worthTwoThreads, in dst[0, cap) with cap >=
// streamCapacity; 0 when the compressor could not get memory.
size_t compressMatching(DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) noexcept;

// What the caller already has of the image deflated by matching at the default level.
struct DefaultMatching {
    uint64_t sampleSize = 0;          // its sample's deflated size (0: not known)
    size_t sampleBytes = 0;           // and that sample's length
    const uint8_t* stream = nullptr;  // when the sample is the whole image, that stream
    size_t length = 0;

    // The sample's size scaled to `bytes` of rows, when it was weighed on
    // others (the whole image, or a coarser sample).
    uint64_t sizeOn(size_t bytes) const noexcept {
        if (sampleBytes == 0 || sampleBytes == bytes) return sampleSize;
        return uint64_t(double(sampleSize) * double(bytes) / double(sampleBytes));
    }
};

// The smaller zlib stream of src[0, len) (rows of lineBytes) at a known `level`, in
// dst[0, cap) with cap >= streamCapacity; 0 when the compressor could not get memory.
size_t compressBest(DeflateLevel level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch, const DefaultMatching& known = {}) noexcept;

}  // namespace lumivex::png::compact
