// The second half of the PNG reader: the header used checked and the image
// planned, then the IDAT stream inflated and the image rebuilt as RGB.
#include "decode.hpp"

#include "inflate.hpp"
#include "reconstruct.hpp"

#include <algorithm>
#include <cstring>

namespace lumivex::png {
namespace {

PngOutcome problem(PngProblem kind) { return PngOutcome::of(kind); }

PngOutcome checkSubset(const Ihdr& header) {
    PngOutcome outcome;
    outcome.header = checkIhdr(header);
    if (outcome.header != IhdrProblem::None) outcome.problem = PngProblem::header;
    return outcome;
}

PngOutcome checkEveryFormat(const PngFile& file) {
    PngOutcome outcome;
    outcome.format = checkFormat(file.header);
    if (outcome.format != FormatProblem::None) {
        outcome.problem = PngProblem::format;
        outcome.colorType = file.header.colorType;
        outcome.bitDepth = file.header.bitDepth;
        return outcome;
    }
    if (file.header.colorType != int32_t(ColorType::Indexed)) return outcome;
    if (!file.havePalette) return problem(PngProblem::noPalette);
    if (file.paletteLength % 3 != 0 || file.paletteLength > sizeof file.palette) {
        outcome.problem = PngProblem::paletteSize;
        outcome.size = file.paletteLength;
    }
    return outcome;
}

}  // namespace

PngOutcome planPngImage(const PngFile& file, const DecodeLimits& limits, PngAccepts accepts, PngPlan* plan,
                        OutputFormat format) noexcept {
    const Ihdr& header = file.header;
    const bool haveSides = header.width != -1 && header.height != -1;
    if (limits.capped() && haveSides && !limits.allows(header.width, header.height)) return problem(PngProblem::overCap);
    PngOutcome outcome = accepts == PngAccepts::rgb8Subset ? checkSubset(header) : checkEveryFormat(file);
    if (!outcome.ok()) return outcome;
    plan->layout = rowLayout(header);
    if (!inflatedSize(plan->layout, &plan->inflatedSize)) return problem(PngProblem::malformed);
    plan->format = format;
    const StoredPixels stored{header.colorType, header.bitDepth};
    if (file.haveTransparency) {
        plan->transparency = readTransparency(header.colorType, file.transparency,
                                              static_cast<size_t>(std::min<uint64_t>(file.transparencyLength, 256)));
    }
    plan->shape = resolveShape(format, stored, plan->transparency);
    if (__builtin_mul_overflow(plan->layout.width * plan->layout.height, plan->shape.pixelBytes(), &plan->imageBytes)) {
        return problem(PngProblem::imageTooLarge);
    }
    plan->bufferBytes = plan->layout.interlaced ? plan->imageBytes : std::max(plan->imageBytes, plan->inflatedSize);
    std::memcpy(plan->palette.rgb, file.palette, sizeof plan->palette.rgb);
    return outcome;
}

// Deflate cannot expand its input much more than 1032 times (a 258-byte match
// in two bits); with some slack for the stream's framing.
bool couldFill(size_t idatLength, int64_t inflatedSize) noexcept {
    constexpr uint64_t maxExpansion = 1032, framingSlack = 64;
    return static_cast<uint64_t>(inflatedSize) / maxExpansion <= idatLength + framingSlack;
}

namespace {

// The outcome of zlib's own inflate when it did not end exactly.
PngOutcome zlibOutcome(ZlibInflate inflated, const ZlibFailure& failure) {
    switch (inflated) {
        case ZlibInflate::exact: break;
        case ZlibInflate::tooShort:
        case ZlibInflate::tooLong: return problem(PngProblem::malformed);
        case ZlibInflate::outOfMemory: return problem(PngProblem::outOfMemory);
        case ZlibInflate::failed: {
            PngOutcome outcome = problem(PngProblem::zlib);
            outcome.zlib = failure;
            return outcome;
        }
    }
    return {};
}

// Inflates into `scanlines`; a stream the fast inflate does not take whole
// goes through zlib itself, for zlib's verdict in zlib's words.
PngOutcome inflateImage(const uint8_t* idat, size_t idatLength, uint8_t* scanlines, size_t size) {
    static const uint8_t empty = 0;
    const uint8_t* input = idat != nullptr ? idat : &empty;
    ZlibFailure failure;
    if (scanlines == nullptr) {
        const ZlibInflate counted = inflateWithZlib(input, idatLength, nullptr, size, &failure);
        return counted == ZlibInflate::exact ? problem(PngProblem::malformed) : zlibOutcome(counted, failure);
    }
    InflateCounts counts;
    switch (inflateInto(input, idatLength, scanlines, size, &counts)) {
        case InflateStatus::complete: return {};
        case InflateStatus::shortOutput: return problem(PngProblem::malformed);
        case InflateStatus::outOfMemory: return problem(PngProblem::outOfMemory);
        case InflateStatus::outputTooLarge:
        case InflateStatus::badData: break;
    }
    return zlibOutcome(inflateWithZlib(input, idatLength, scanlines, size, &failure), failure);
}

PngOutcome badFilterOrNone(int filterType) {
    PngOutcome outcome;
    outcome.filterType = filterType;
    if (filterType >= 0) outcome.problem = PngProblem::badFilter;
    return outcome;
}

// Without Adam7: inflated into the buffer and rebuilt there.
PngOutcome decodeProgressive(const uint8_t* idat, size_t idatLength, const PngPlan& plan, uint8_t* buffer) {
    const RowLayout& layout = plan.layout;
    PngOutcome outcome = inflateImage(idat, idatLength, buffer, static_cast<size_t>(plan.inflatedSize));
    if (!outcome.ok()) return outcome;
    ByteBuffer rowBuffers;
    if (!layout.isRgbOrRgba8()) {
        if (!rowBuffers.reserve(static_cast<size_t>(layout.rowStride))) return problem(PngProblem::outOfMemory);
        return badFilterOrNone(rebuildImageInPlace(buffer, layout, plan.palette, rowBuffers.data()));
    }
    if (layout.channels == 4 && !rowBuffers.reserve(2 * static_cast<size_t>(layout.rowStride))) {
        return problem(PngProblem::outOfMemory);
    }
    return badFilterOrNone(reconstructImageInPlace(buffer, layout, rowBuffers.data()));
}

// With Adam7: the passes inflated into scratch of their own, rebuilt there
// and scattered into the image.
PngOutcome decodeInterlaced(const uint8_t* idat, size_t idatLength, const PngPlan& plan, uint8_t* image) {
    ByteBuffer scanlines, rowScratch;
    const size_t size = static_cast<size_t>(plan.inflatedSize);
    if (image != nullptr && (!scanlines.reserve(size) || !rowScratch.reserve(3 * static_cast<size_t>(plan.layout.width)))) {
        return problem(PngProblem::outOfMemory);
    }
    PngOutcome outcome = inflateImage(idat, idatLength, image != nullptr ? scanlines.data() : nullptr, size);
    if (!outcome.ok()) return outcome;
    return badFilterOrNone(rebuildInterlaced(scanlines.data(), plan.layout, plan.palette, image, rowScratch.data()));
}

}  // namespace

namespace {

// Any other output format: rebuilt in place, or by pass into the image.
PngOutcome decodeFormatted(const uint8_t* idat, size_t idatLength, const PngPlan& plan, uint8_t* buffer) {
    const RowLayout& layout = plan.layout;
    const size_t pixelBytes = static_cast<size_t>(plan.shape.pixelBytes());
    const size_t outRowBytes = static_cast<size_t>(layout.width) * pixelBytes;
    const size_t size = static_cast<size_t>(plan.inflatedSize);
    const RowFormatter formatter({layout.colorType, layout.bitDepth}, plan.palette, plan.transparency, plan.shape);
    ByteBuffer scanlines, rowScratch;
    const bool haveImage = buffer != nullptr;
    const size_t rowBytes = static_cast<size_t>(layout.rowStride);
    if (haveImage && (!rowScratch.reserve(std::max(2 * rowBytes, outRowBytes) + 1) ||
                      (layout.interlaced && !scanlines.reserve(size)))) {
        return problem(PngProblem::outOfMemory);
    }
    // A format wider than the stored rows, whole, is made in one pass from
    // scanlines inflated into the end of the buffer; a narrower one in place.
    const bool fromEnd = !layout.interlaced && !formatter.unchanged() && !formatter.convertsInPlace() &&
                         plan.imageBytes >= plan.inflatedSize;
    uint8_t* inflated = nullptr;
    if (haveImage) {
        inflated = layout.interlaced ? scanlines.data()
                                     : buffer + (fromEnd ? static_cast<size_t>(plan.imageBytes) - size : 0);
    }
    PngOutcome outcome = inflateImage(idat, idatLength, inflated, size);
    if (!outcome.ok()) return outcome;
    if (layout.interlaced) {
        return badFilterOrNone(formatInterlaced(inflated, layout, formatter, pixelBytes, buffer, rowScratch.data()));
    }
    if (fromEnd) return badFilterOrNone(formatFromEnd(inflated, layout, formatter, outRowBytes, rowScratch.data(), buffer));
    return badFilterOrNone(formatImageInPlace(buffer, layout, formatter, outRowBytes, rowScratch.data()));
}

}  // namespace

PngOutcome decodePngImage(const uint8_t* idat, size_t idatLength, const PngPlan& plan, uint8_t* buffer) noexcept {
    if (!plan.format.isRgb8()) return decodeFormatted(idat, idatLength, plan, buffer);
    return plan.layout.interlaced ? decodeInterlaced(idat, idatLength, plan, buffer)
                                  : decodeProgressive(idat, idatLength, plan, buffer);
}

PngOutcome decodePng(ByteSource& source, const PngRequest& request, DecodeHost& host, PngDecoded* decoded) noexcept {
    PngFile file;
    PngOutcome outcome = request.signatureRead ? readPngChunks(source, request.limits, &file)
                                               : readPngFile(source, request.limits, &file);
    decoded->header = file.header;
    if (!outcome.ok()) return outcome;
    outcome = planPngImage(file, request.limits, request.accepts, &decoded->plan, request.format);
    if (!outcome.ok()) return outcome;
    const PngPlan& plan = decoded->plan;
    uint8_t* buffer = nullptr;
    // Data that cannot fill the image is refused without making its buffer.
    if (couldFill(file.idat.size(), plan.inflatedSize)) {
        buffer = host.imageBuffer(static_cast<size_t>(plan.bufferBytes));
        if (buffer == nullptr) return PngOutcome::of(PngProblem::hostFailed);
    }
    host.beginLongWork(static_cast<size_t>(std::max(plan.inflatedSize, plan.imageBytes)));
    outcome = decodePngImage(file.idat.data(), file.idat.size(), plan, buffer);
    host.endLongWork();
    return outcome;
}

}  // namespace lumivex::png
