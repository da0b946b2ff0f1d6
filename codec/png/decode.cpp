#include "decode.hpp"

#include "chunk_io.hpp"
#include "deflate.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png {
namespace {

uint32_t bigEndian32(const uint8_t* at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

PngOutcome problem(PngProblem kind) { return PngOutcome::of(kind); }

// The IHDR fields, each stored value made a 32-bit int as it is assigned.
PngOutcome takeHeader(const uint8_t* data, uint32_t length, Ihdr* header) {
    if (length != ihdrLength) {
        PngOutcome outcome = problem(PngProblem::ihdrSize);
        outcome.size = length;
        return outcome;
    }
    const uint32_t width = bigEndian32(data), height = bigEndian32(data + 4);
    if (width > uint32_t(INT32_MAX)) return problem(PngProblem::ihdrOverflow);
    header->width = static_cast<int32_t>(width);
    if (height > uint32_t(INT32_MAX)) return problem(PngProblem::ihdrOverflow);
    header->height = static_cast<int32_t>(height);
    header->bitDepth = data[8];
    header->colorType = data[9];
    header->compression = data[10];
    header->filterMethod = data[11];
    header->interlace = data[12];
    return {};
}

// One chunk after its head: IDAT data gathered (refused at the head beyond
// `idatRoom`), IHDR and PLTE taken, anything else only CRC-checked.
PngOutcome readChunkBody(ByteSource& source, const ChunkHead& head, size_t idatRoom, PngFile* file, bool* haveHeader) {
    uint32_t crc = updateCrc32(0, head.type, 4);
    if (isType(head, "IDAT")) {
        if (head.length > idatRoom) return problem(PngProblem::malformed);
        const size_t start = file->idat.size();
        PngProblem read = readDataOnto(source, head.length, file->idat);
        if (read != PngProblem::none) return problem(read);
        crc = updateCrc32(crc, file->idat.data() + start, head.length);
        return problem(checkCrc(source, crc));
    }
    uint8_t kept[sizeof file->palette];
    PngProblem read = readDataThrough(source, head.length, &crc, kept, sizeof kept);
    if (read == PngProblem::none) read = checkCrc(source, crc);
    if (read != PngProblem::none) return problem(read);
    if (isType(head, "PLTE")) {
        // The last PLTE counts, as the last IHDR does; its size is checked
        // only for an image that uses it.
        file->havePalette = true;
        file->paletteLength = head.length;
        std::memset(file->palette, 0, sizeof file->palette);
        std::memcpy(file->palette, kept, std::min<size_t>(head.length, sizeof file->palette));
        return {};
    }
    if (isType(head, "tRNS")) {
        file->haveTransparency = true;
        file->transparencyLength = head.length;
        std::memcpy(file->transparency, kept, std::min<size_t>(head.length, sizeof file->transparency));
        return {};
    }
    if (!isType(head, "IHDR")) return {};
    *haveHeader = true;
    return takeHeader(kept, head.length, &file->header);
}

}  // namespace

PngOutcome readPngChunks(ByteSource& source, const DecodeLimits& limits, PngFile* file) noexcept {
    bool haveHeader = false;
    for (;;) {
        ChunkHead head;
        PngProblem read = readHead(source, &head);
        if (read != PngProblem::none) return problem(read);
        if (head.end) return {};
        const uint64_t limit = idatLimit(file->header, haveHeader, limits);
        const uint64_t room = file->idat.size() < limit ? limit - file->idat.size() : 0;
        PngOutcome outcome =
            readChunkBody(source, head, static_cast<size_t>(std::min<uint64_t>(room, SIZE_MAX)), file, &haveHeader);
        if (!outcome.ok() || isType(head, "IEND")) return outcome;
    }
}

PngOutcome readPngFile(ByteSource& source, const DecodeLimits& limits, PngFile* file) noexcept {
    uint8_t signature[sizeof signatureBytes];
    size_t got;
    if (!source.read(signature, sizeof signature, &got)) return problem(PngProblem::sourceFailed);
    if (got != sizeof signature || std::memcmp(signature, signatureBytes, sizeof signature) != 0) {
        return problem(PngProblem::signature);
    }
    return readPngChunks(source, limits, file);
}

}  // namespace lumivex::png
