#include "png_decode.hpp"

#include "bytearray_host.hpp"
#include "problems.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/gil.hpp"
#include "../../../codec/png/decode.hpp"

#include <algorithm>

using namespace lumivex::capi;
using namespace lumivex::png;

namespace lumivex::binding {
namespace {

// A bytearray shrunk by less than half keeps its allocation: an RGBA image
// would hold a quarter more than its pixels for its whole life. When the
// allocation is unchanged, its unused pages go back (the byte after the
// pixels is the bytearray's terminating zero).
bool shrinkToPixels(PyObject* scanlines, size_t pixelBytes) {
    uint8_t* before = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines));
    const size_t size = static_cast<size_t>(PyByteArray_GET_SIZE(scanlines));
    const Py_ssize_t allocated = reinterpret_cast<PyByteArrayObject*>(scanlines)->ob_alloc;
    if (PyByteArray_Resize(scanlines, static_cast<Py_ssize_t>(pixelBytes)) < 0) return false;
    if (reinterpret_cast<PyByteArrayObject*>(scanlines)->ob_alloc == allocated &&
        reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines)) == before) {
        releaseUnusedPages(before, pixelBytes + 1, size);
    }
    return true;
}

}  // namespace

PngPlan subsetPlan(const RowLayout& layout, int64_t inflatedSize) noexcept {
    PngPlan plan;
    plan.layout = layout;
    plan.inflatedSize = inflatedSize;
    plan.imageBytes = layout.width * layout.height * 3;  // below the inflated size
    plan.bufferBytes = inflatedSize;
    return plan;
}

// The image is rebuilt in a new bytearray, which then holds exactly its RGB
// pixels: the peak is the IDAT data and the larger of the scanlines and the
// image (for Adam7, both).
PyObject* decodeIdat(const uint8_t* idat, size_t length, const PngPlan& plan) noexcept {
    Ref image;
    uint8_t* buffer = nullptr;
    if (couldFill(length, plan.inflatedSize)) {
        image = newPixelBuffer(static_cast<Py_ssize_t>(plan.bufferBytes));
        if (!image) return nullptr;
        buffer = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(image.get()));
        adviseHugePages(buffer, static_cast<size_t>(plan.bufferBytes));
    }
    PngOutcome outcome;
    // The IDAT data and the new buffer are this call's alone.
    runNative(static_cast<size_t>(std::max(plan.inflatedSize, plan.imageBytes)),
              [&] { outcome = decodePngImage(idat, length, plan, buffer); });
    if (!outcome.ok()) return raisePngProblem(outcome);
    if (!shrinkToPixels(image.get(), static_cast<size_t>(plan.imageBytes))) return nullptr;
    return Py_BuildValue("(LLO)", static_cast<long long>(plan.layout.width), static_cast<long long>(plan.layout.height),
                         image.get());
}

PyObject* decodePng(ByteSource& source, bool nativeSource, PngStart start, const CappedDecode& capped) noexcept {
    PngRequest request;
    request.limits = capped.limits;
    request.accepts = capped.accepts;
    request.format = capped.format;
    request.signatureRead = start == PngStart::chunks;
    BytearrayHost host(nativeSource);
    PngDecoded decoded;
    const PngOutcome outcome = host.run([&] { return lumivex::png::decodePng(source, request, host, &decoded); });
    if (outcome.problem == PngProblem::overCap) return capped.refuse(decoded.header.width, decoded.header.height);
    if (!outcome.ok()) return raisePngProblem(outcome);
    capped.used = decoded.header;
    capped.shape = decoded.plan.shape;
    if (!shrinkToPixels(host.image.get(), static_cast<size_t>(decoded.plan.imageBytes))) return nullptr;
    return Py_BuildValue("(LLO)", static_cast<long long>(decoded.plan.layout.width),
                         static_cast<long long>(decoded.plan.layout.height), host.image.get());
}

}  // namespace lumivex::binding
