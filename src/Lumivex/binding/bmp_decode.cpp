#include "bmp_decode.hpp"

#include "bytearray_host.hpp"
#include "problems.hpp"

#include "../../../codec/bmp/decode.hpp"

using namespace lumivex::capi;
using namespace lumivex::bmp;

namespace lumivex::binding {

PyObject* decodeBmp(ByteSource& source, bool nativeSource, const CappedDecode& capped) noexcept {
    BmpRequest request;
    request.limits = capped.limits;
    request.accepts = capped.bmpAccepts;
    request.format = capped.format;
    BmpDecoded decoded;
    BytearrayHost host(nativeSource);
    const BmpProblem problem = host.run([&] { return bmp::decodeBmp(source, request, host, &decoded); });
    const BmpImage& image = decoded.image;
    if (problem == BmpProblem::overCap) return capped.refuse(image.info.width, image.rows);
    if (problem != BmpProblem::none) return raiseBmpProblem(problem, image);
    capped.bmpBitCount = image.accepts == BmpAccepts::everyFormat ? image.layout.bitCount : 24;
    capped.shape = decoded.shape;
    return Py_BuildValue("(LLO)", static_cast<long long>(image.info.width), static_cast<long long>(image.rows),
                         host.image.get());
}

}  // namespace lumivex::binding
