#include "bmp_decode.hpp"

#include "problems.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../codec/bmp/decode.hpp"

using namespace lumivex::capi;
using namespace lumivex::bmp;

namespace lumivex::binding {

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
    return Py_BuildValue("(LLO)", static_cast<long long>(image.info.width), static_cast<long long>(image.rows),
                         pixels.get());
}

}  // namespace lumivex::binding
