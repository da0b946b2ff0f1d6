// Reading a PNG file's chunks one piece at a time: a chunk's head (length
// and type), its data (kept whole, or read through with only a prefix kept)
// and its CRC. Shared by the reader's walk and the metadata walk. Pure: no Python.
#pragma once

#include "decode.hpp"

#include <cstring>

namespace lumivex::png {

struct ChunkHead {
    uint32_t length = 0;
    uint8_t type[4] = {};
    bool end = false;  // nothing where a length would be
};

inline bool isType(const ChunkHead& head, const char* type) { return std::memcmp(head.type, type, 4) == 0; }

// The length and type at the source's position, or `end` at a clean end of the data.
PngProblem readHead(ByteSource& source, ChunkHead* head) noexcept;

// Appends the chunk's data to `into`, growing it as the data comes.
PngProblem readDataOnto(ByteSource& source, uint32_t length, ByteBuffer& into) noexcept;

// Reads the data of a chunk that is not kept, computing its CRC on the way;
// its first `keep` bytes (or fewer) go to `kept`.
PngProblem readDataThrough(ByteSource& source, uint32_t length, uint32_t* crc, uint8_t* kept, size_t keep) noexcept;

// Reads the stored CRC and compares it with `actual`.
PngProblem checkCrc(ByteSource& source, uint32_t actual) noexcept;

}  // namespace lumivex::png
