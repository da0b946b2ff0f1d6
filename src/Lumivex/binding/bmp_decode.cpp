#include "bmp_decode.hpp"

#include "problems.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/gil.hpp"

#include <cstring>
#include "../../../codec/bmp/decode.hpp"

using namespace lumivex::capi;
using namespace lumivex::bmp;

namespace lumivex::binding {
namespace {

// 8-bit RGB or RGBA pixels (`stored`) brought to the format asked for: where
// it is no wider, in place; else into a new buffer.
Ref reformat(PyObject* pixels, int64_t count, png::StoredPixels stored, const CappedDecode& capped) noexcept {
    const png::Transparency none;
    capped.shape = png::resolveShape(capped.format, stored, none);
    const png::RowFormatter formatter(stored, png::Palette(), none, capped.shape);
    int64_t bytes;
    if (__builtin_mul_overflow(count, capped.shape.pixelBytes(), &bytes)) return Ref::steal(PyErr_NoMemory());
    Ref out = formatter.convertsInPlace() ? Ref::borrow(pixels) : newPixelBuffer(static_cast<Py_ssize_t>(bytes));
    if (!out) return Ref();
    const uint8_t* in = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(pixels));
    uint8_t* at = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(out.get()));
    runNative(static_cast<size_t>(bytes), [&] { formatter.format(in, static_cast<size_t>(count), at); });
    if (PyByteArray_Resize(out.get(), static_cast<Py_ssize_t>(bytes)) < 0) return Ref();
    return out;
}

// Whether the format asked for keeps a BMP's alpha.
bool keepsAlpha(png::OutputFormat format) {
    return format.layout == png::ChannelLayout::asStored || format.layout == png::ChannelLayout::greyAlpha ||
           format.layout == png::ChannelLayout::rgba;
}

// RGB and a plane of alpha as RGBA; an alpha plane of zeros everywhere (as
// writers that fill no alpha leave it) is opaque, as browsers show it.
Ref withAlpha(PyObject* rgb, const uint8_t* alpha, int64_t count) noexcept {
    Ref rgba = newPixelBuffer(static_cast<Py_ssize_t>(count * 4));
    if (!rgba) return Ref();
    const uint8_t* in = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(rgb));
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(rgba.get()));
    runNative(static_cast<size_t>(count * 4), [&] {
        bool anyAlpha = false;
        for (int64_t i = 0; i < count && !anyAlpha; ++i) anyAlpha = alpha[i] != 0;
        for (int64_t i = 0; i < count; ++i) {
            std::memcpy(out + 4 * i, in + 3 * i, 3);
            out[4 * i + 3] = anyAlpha ? alpha[i] : 255;
        }
    });
    return rgba;
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
    const int64_t count = image.info.width * image.rows;
    RawBuffer alpha;
    const bool alphaKept = image.layout.alphaMask != 0 && keepsAlpha(capped.format);
    if (alphaKept && !alpha.reserve(static_cast<size_t>(count))) return nullptr;
    if (nativeSource) {
        Py_BEGIN_ALLOW_THREADS
        problem = readBmpPixels(source, image, out, alpha.data());
        Py_END_ALLOW_THREADS
    } else {
        problem = readBmpPixels(source, image, out, alpha.data());
    }
    if (problem != BmpProblem::none) return raiseBmpProblem(problem, image);
    if (alphaKept) {
        pixels = withAlpha(pixels.get(), alpha.data(), count);
        if (!pixels) return nullptr;
    }
    if (!capped.format.isRgb8()) {
        const png::StoredPixels stored{int32_t(alphaKept ? png::ColorType::Rgba : png::ColorType::Rgb), 8};
        pixels = reformat(pixels.get(), count, stored, capped);
        if (!pixels) return nullptr;
    }
    return Py_BuildValue("(LLO)", static_cast<long long>(image.info.width), static_cast<long long>(image.rows),
                         pixels.get());
}

}  // namespace lumivex::binding
