#include "bmp_decode.hpp"

#include "problems.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/gil.hpp"
#include "../../../codec/bmp/decode.hpp"

using namespace lumivex::capi;
using namespace lumivex::bmp;

namespace lumivex::binding {
namespace {

// 8-bit RGB pixels brought to the format asked for: where it is no wider,
// in place; else into a new buffer.
Ref reformatRgb(PyObject* rgb, int64_t pixels, const CappedDecode& capped) noexcept {
    const png::StoredPixels stored{int32_t(png::ColorType::Rgb), 8};
    const png::Transparency none;
    capped.shape = png::resolveShape(capped.format, stored, none);
    const png::RowFormatter formatter(stored, png::Palette(), none, capped.shape);
    int64_t bytes;
    if (__builtin_mul_overflow(pixels, capped.shape.pixelBytes(), &bytes)) return Ref::steal(PyErr_NoMemory());
    Ref out = formatter.convertsInPlace() ? Ref::borrow(rgb) : newPixelBuffer(static_cast<Py_ssize_t>(bytes));
    if (!out) return Ref();
    const uint8_t* in = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(rgb));
    uint8_t* at = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(out.get()));
    runNative(static_cast<size_t>(bytes), [&] { formatter.format(in, static_cast<size_t>(pixels), at); });
    if (PyByteArray_Resize(out.get(), static_cast<Py_ssize_t>(bytes)) < 0) return Ref();
    return out;
}

}  // namespace

PyObject* decodeBmp(ByteSource& source, bool nativeSource, const CappedDecode& capped) noexcept {
    BmpImage image;
    image.accepts = capped.bmpAccepts;
    BmpProblem problem = readBmpHeaders(source, &image);
    // Dimensions too large to allocate are above any cap too: the cap's refusal comes first.
    if (problem == BmpProblem::tooLarge && capped.overCap && !capped.check(image.info.width, image.rows)) return nullptr;
    if (problem != BmpProblem::none) return raiseBmpProblem(problem, image);
    if (capped.overCap && !capped.check(image.info.width, image.rows)) return nullptr;
    capped.bmpBitCount = image.accepts == BmpAccepts::everyFormat ? image.layout.bitCount : 24;
    Ref pixels = newPixelBuffer(static_cast<Py_ssize_t>(image.pixelBytes));
    if (!pixels) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    adviseHugePages(out, static_cast<size_t>(image.pixelBytes));
    if (nativeSource) {
        Py_BEGIN_ALLOW_THREADS
        problem = readBmpPixels(source, image, out);
        Py_END_ALLOW_THREADS
    } else {
        problem = readBmpPixels(source, image, out);
    }
    if (problem != BmpProblem::none) return raiseBmpProblem(problem, image);
    if (!capped.format.isRgb8()) {
        pixels = reformatRgb(pixels.get(), image.info.width * image.rows, capped);
        if (!pixels) return nullptr;
    }
    return Py_BuildValue("(LLO)", static_cast<long long>(image.info.width), static_cast<long long>(image.rows),
                         pixels.get());
}

}  // namespace lumivex::binding
