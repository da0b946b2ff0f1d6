// The BMP reader's one entry: headers, cap, buffer, pixels, in the output
// format asked for.
#include "decode.hpp"

#include "../buffer.hpp"

#include <cstring>

namespace lumivex::bmp {
namespace {

bool keepsAlpha(png::OutputFormat format) {
    return format.layout == png::ChannelLayout::asStored || format.layout == png::ChannelLayout::greyAlpha ||
           format.layout == png::ChannelLayout::rgba;
}

// RGB pixels and their alpha plane brought to the formatter's shape a row at
// a time, through RGBA in `rowScratch` (4 * width bytes).
void formatWithAlpha(const uint8_t* rgb, const uint8_t* alpha, size_t width, int64_t rows,
                     const png::RowFormatter& formatter, size_t outRowBytes, uint8_t* rowScratch, uint8_t* out) {
    const size_t count = width * static_cast<size_t>(rows);
    bool anyAlpha = false;
    for (size_t i = 0; i < count && !anyAlpha; ++i) anyAlpha = alpha[i] != 0;
    for (int64_t y = 0; y < rows; ++y) {
        const size_t first = static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) {
            std::memcpy(rowScratch + 4 * x, rgb + 3 * (first + x), 3);
            rowScratch[4 * x + 3] = anyAlpha ? alpha[first + x] : 255;
        }
        formatter.format(rowScratch, width, out + static_cast<size_t>(y) * outRowBytes);
    }
}

}  // namespace

BmpProblem decodeBmp(ByteSource& source, const BmpRequest& request, DecodeHost& host, BmpDecoded* decoded) noexcept {
    BmpImage& image = decoded->image;
    image.accepts = request.accepts;
    BmpProblem problem = readBmpHeaders(source, &image);
    // Dimensions too large to allocate are above any cap too: the cap's refusal comes first.
    const bool overCap = request.limits.capped() && !request.limits.allows(image.info.width, image.rows);
    if (problem == BmpProblem::tooLarge && overCap) return BmpProblem::overCap;
    if (problem != BmpProblem::none) return problem;
    if (overCap) return BmpProblem::overCap;
    if (request.format.isRgb8()) {
        decoded->shape = png::PixelShape();
        uint8_t* out = host.imageBuffer(static_cast<size_t>(image.pixelBytes));
        if (out == nullptr) return BmpProblem::hostFailed;
        return readBmpPixels(source, image, out);
    }
    const bool alphaKept = image.layout.alphaMask != 0 && keepsAlpha(request.format);
    const png::StoredPixels stored{int32_t(alphaKept ? png::ColorType::Rgba : png::ColorType::Rgb), 8};
    const png::Transparency none;
    decoded->shape = png::resolveShape(request.format, stored, none);
    const size_t width = static_cast<size_t>(image.info.width < 0 ? 0 : image.info.width);
    const size_t count = width * static_cast<size_t>(image.rows), pixelBytes = static_cast<size_t>(decoded->shape.pixelBytes());
    size_t outBytes;
    if (__builtin_mul_overflow(count, pixelBytes, &outBytes)) return BmpProblem::tooLarge;
    ByteBuffer rgb, alpha, row;
    if (!rgb.reserve(static_cast<size_t>(image.pixelBytes)) || (alphaKept && !alpha.reserve(count)) ||
        !row.reserve(4 * width + 1)) {
        return BmpProblem::outOfMemory;
    }
    problem = readBmpPixels(source, image, rgb.data(), alphaKept ? alpha.data() : nullptr);
    if (problem != BmpProblem::none) return problem;
    uint8_t* out = host.imageBuffer(outBytes);
    if (out == nullptr) return BmpProblem::hostFailed;
    const png::RowFormatter formatter(stored, png::Palette(), none, decoded->shape);
    host.beginLongWork(outBytes);
    if (alphaKept) {
        formatWithAlpha(rgb.data(), alpha.data(), width, image.rows, formatter, width * pixelBytes, row.data(), out);
    } else {
        formatter.format(rgb.data(), count, out);
    }
    host.endLongWork();
    return BmpProblem::none;
}

}  // namespace lumivex::bmp
