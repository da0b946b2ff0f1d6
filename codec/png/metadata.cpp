#include "metadata.hpp"

#include "deflate.hpp"

namespace lumivex::png {

PngOutcome walkPngChunks(ByteSource& source, ChunkVisitor& visitor, bool* stopped) noexcept {
    *stopped = false;
    uint8_t signature[sizeof signatureBytes];
    size_t got;
    if (!source.read(signature, sizeof signature, &got)) return PngOutcome::of(PngProblem::sourceFailed);
    if (got != sizeof signature || std::memcmp(signature, signatureBytes, sizeof signature) != 0) {
        return PngOutcome::of(PngProblem::signature);
    }
    ChunkPlace place = ChunkPlace::beforePalette;
    ByteBuffer data;
    for (;;) {
        ChunkHead head;
        PngProblem read = readHead(source, &head);
        if (read != PngProblem::none) return PngOutcome::of(read);
        if (head.end) return {};
        uint32_t crc = updateCrc32(0, head.type, 4);
        const bool imageData = isType(head, "IDAT");
        data.setSize(0);
        if (imageData) {
            read = readDataThrough(source, head.length, &crc, nullptr, 0);
        } else if ((read = readDataOnto(source, head.length, data)) == PngProblem::none) {
            crc = updateCrc32(crc, data.data(), head.length);
        }
        if (read == PngProblem::none) read = checkCrc(source, crc);
        if (read != PngProblem::none) return PngOutcome::of(read);
        if (isType(head, "IEND")) return {};
        if (imageData) {
            place = ChunkPlace::afterImageData;
            continue;
        }
        if (!visitor.chunk(head, data.data(), head.length, place)) {
            *stopped = true;
            return {};
        }
        if (isType(head, "PLTE") && place == ChunkPlace::beforePalette) place = ChunkPlace::beforeImageData;
    }
}

}  // namespace lumivex::png
