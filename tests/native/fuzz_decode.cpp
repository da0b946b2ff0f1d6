// libFuzzer target: the PNG and BMP readers over a byte source, without Python.
// The input is a file (PNG of any layout when it starts with the signature, else BMP),
// decoded under a pixel cap from memory and again through a source that only
// reads (no view of its bytes), which must agree: the problem, and on
// success every pixel; and the header read alone must give a decoded BMP's
// size. Each file is decoded through its format's one entry, in the output
// format its last byte picks (layout and depth); a PNG's chunks are also
// walked without the image, the same from both sources. The image buffer is exactly its size, so ASan sees any write past it.
#include "codec/bmp/decode.hpp"
#include "codec/peek.hpp"
#include "codec/png/decode.hpp"
#include "codec/png/metadata.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace lumivex;

// Reads as a stream would, a few bytes at a time where it may.
class ReadOnlySource final : public ByteSource {
public:
    ReadOnlySource(const uint8_t* data, size_t length) : memory_(data, length) {}
    bool read(uint8_t* into, size_t n, size_t* got) noexcept override { return memory_.read(into, n, got); }
    bool seek(uint64_t position) noexcept override { return memory_.seek(position); }
    uint64_t position() const noexcept override { return memory_.position(); }

private:
    MemorySource memory_;
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

constexpr uint64_t cap = uint64_t(1) << 20;

struct Decoded {
    int problem = 0;
    std::vector<uint8_t> pixels;
};

// Each chunk's type, length and place, and a checksum of the data.
class ChunkTrace final : public png::ChunkVisitor {
public:
    std::vector<uint64_t> seen;
    bool chunk(const png::ChunkHead& head, const uint8_t* data, size_t length, png::ChunkPlace place) noexcept override {
        uint64_t sum = length * 131 + static_cast<uint64_t>(place);
        for (size_t i = 0; i < length; ++i) sum = sum * 31 + data[i];
        for (uint8_t byte : head.type) sum = sum * 257 + byte;
        seen.push_back(sum);
        return true;
    }
};

Decoded walkChunks(ByteSource& source) {
    ChunkTrace trace;
    bool stopped = false;
    const png::PngOutcome outcome = png::walkPngChunks(source, trace, &stopped);
    if (stopped) fail("the walk stopped without being asked to");
    std::vector<uint8_t> bytes;
    for (uint64_t sum : trace.seen) {
        for (int b = 0; b < 8; ++b) bytes.push_back(static_cast<uint8_t>(sum >> (8 * b)));
    }
    return {static_cast<int>(outcome.problem), bytes};
}

// The image's buffer exactly the size asked for, so that ASan sees any write past it.
class VectorHost final : public DecodeHost {
public:
    std::vector<uint8_t> buffer;
    bool asked = false;
    uint8_t* imageBuffer(size_t bytes) noexcept override {
        asked = true;
        buffer.assign(bytes, 0);
        return buffer.data();
    }
};

Decoded decodePng(ByteSource& source, png::OutputFormat format) {
    png::PngRequest request;
    request.limits.maxPixels = cap;
    request.format = format;
    VectorHost host;
    png::PngDecoded decoded;
    const png::PngOutcome outcome = png::decodePng(source, request, host, &decoded);
    if (!outcome.ok()) return {static_cast<int>(outcome.problem), {}};
    if (!host.asked) fail("decoded without a buffer");
    const png::PngPlan& plan = decoded.plan;
    if (plan.imageBytes != plan.layout.width * plan.layout.height * plan.shape.pixelBytes()) fail("a wrong image size");
    host.buffer.resize(static_cast<size_t>(plan.imageBytes));
    return {0, host.buffer};
}

Decoded decodeBmp(ByteSource& source, png::OutputFormat format) {
    bmp::BmpRequest request;
    request.limits.maxPixels = cap;
    request.format = format;
    VectorHost host;
    bmp::BmpDecoded decoded;
    const bmp::BmpProblem problem = bmp::decodeBmp(source, request, host, &decoded);
    if (problem != bmp::BmpProblem::none) return {static_cast<int>(problem), {}};
    const int64_t width = decoded.image.info.width < 0 ? 0 : decoded.image.info.width;
    if (int64_t(host.buffer.size()) != width * decoded.image.rows * decoded.shape.pixelBytes()) fail("a wrong image size");
    return {0, host.buffer};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool isPng = size >= 8 && std::memcmp(data, png::signatureBytes, 8) == 0;
    MemorySource memory(data, size);
    ReadOnlySource reading(data, size);
    png::OutputFormat format;
    if (size > 0) {
        format.layout = static_cast<png::ChannelLayout>(data[size - 1] % 5);
        format.depth = (data[size - 1] / 5) % 3 == 0 ? png::SampleDepth::asStored
                       : (data[size - 1] / 5) % 3 == 1 ? png::SampleDepth::eight : png::SampleDepth::sixteen;
    }
    const Decoded viewed = isPng ? decodePng(memory, format) : decodeBmp(memory, format);
    const Decoded read = isPng ? decodePng(reading, format) : decodeBmp(reading, format);
    if (viewed.problem != read.problem || viewed.pixels != read.pixels) fail("the two sources disagree");
    if (isPng) {
        MemorySource again(data, size);
        ReadOnlySource readingAgain(data, size);
        const Decoded walked = walkChunks(again), walkedReading = walkChunks(readingAgain);
        if (walked.problem != walkedReading.problem || walked.pixels != walkedReading.pixels) {
            fail("the two sources' chunk walks disagree");
        }
    }
    // What the header alone says of a BMP that decodes is its size.
    PeekedHeader header;
    const PeekProblem peeked = peekHeader(data, size, &header);
    if (!isPng && viewed.problem == 0 && format.isRgb8()) {
        const int64_t rows = header.height < 0 ? -header.height : header.height;
        if (peeked != PeekProblem::none || header.width * rows * 3 != int64_t(viewed.pixels.size())) {
            fail("the header disagrees with the decoded image");
        }
    }
    return 0;
}
