// libFuzzer target: the PNG and BMP readers over a byte source, without Python.
// The input is a file (PNG of any layout when it starts with the signature, else BMP),
// decoded under a pixel cap from memory and again through a source that only
// reads (no view of its bytes), which must agree: the problem, and on
// success every pixel; and the header read alone must give a decoded BMP's
// size. The image buffer is exactly its size, so ASan sees any write past it.
#include "codec/bmp/decode.hpp"
#include "codec/peek.hpp"
#include "codec/png/decode.hpp"

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

Decoded decodePng(ByteSource& source) {
    DecodeLimits limits;
    limits.maxPixels = cap;
    png::PngFile file;
    png::PngOutcome outcome = png::readPngFile(source, limits, &file);
    png::PngPlan plan;
    if (outcome.ok()) outcome = png::planPngImage(file, limits, png::PngAccepts::everyFormat, &plan);
    if (!outcome.ok()) return {static_cast<int>(outcome.problem), {}};
    const bool fills = png::couldFill(file.idat.size(), plan.inflatedSize);
    std::vector<uint8_t> buffer(fills ? static_cast<size_t>(plan.bufferBytes) : 0);
    outcome = png::decodePngImage(file.idat.data(), file.idat.size(), plan, fills ? buffer.data() : nullptr);
    if (!outcome.ok()) return {static_cast<int>(outcome.problem), {}};
    if (!fills) fail("decoded without a buffer");
    buffer.resize(static_cast<size_t>(plan.imageBytes));
    return {0, buffer};
}

Decoded decodeBmp(ByteSource& source) {
    bmp::BmpImage image;
    image.accepts = bmp::BmpAccepts::everyFormat;
    bmp::BmpProblem problem = bmp::readBmpHeaders(source, &image);
    if (problem != bmp::BmpProblem::none) return {static_cast<int>(problem), {}};
    if (DecodeLimits::pixelCount(image.info.width, image.rows) > cap) return {-1, {}};
    std::vector<uint8_t> pixels(static_cast<size_t>(image.pixelBytes));
    problem = bmp::readBmpPixels(source, image, pixels.data());
    return {static_cast<int>(problem), problem == bmp::BmpProblem::none ? pixels : std::vector<uint8_t>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool isPng = size >= 8 && std::memcmp(data, png::signatureBytes, 8) == 0;
    MemorySource memory(data, size);
    ReadOnlySource reading(data, size);
    const Decoded viewed = isPng ? decodePng(memory) : decodeBmp(memory);
    const Decoded read = isPng ? decodePng(reading) : decodeBmp(reading);
    if (viewed.problem != read.problem || viewed.pixels != read.pixels) fail("the two sources disagree");
    // What the header alone says of a BMP that decodes is its size.
    PeekedHeader header;
    const PeekProblem peeked = peekHeader(data, size, &header);
    if (!isPng && viewed.problem == 0) {
        const int64_t rows = header.height < 0 ? -header.height : header.height;
        if (peeked != PeekProblem::none || header.width * rows * 3 != int64_t(viewed.pixels.size())) {
            fail("the header disagrees with the decoded image");
        }
    }
    return 0;
}
