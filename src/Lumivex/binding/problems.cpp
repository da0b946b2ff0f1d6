#include "problems.hpp"

#include "../../../capi/ref.hpp"
#include "../../../codec/bmp/messages.hpp"
#include "../../../codec/png/messages.hpp"

#include <zlib.h>

using namespace lumivex::capi;
using namespace lumivex::png;

namespace lumivex::binding {
namespace {

// The standard module's exception class `name` (new reference).
Ref moduleError(const char* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return imported ? Ref::steal(PyObject_GetAttrString(imported.get(), name)) : Ref();
}

// struct.unpack(format, data) of data of the wrong length: the interpreter's
// struct says what it says of any wrong length.
Failure raiseUnpackError(const char* format) {
    Ref module = Ref::steal(PyImport_ImportModule("struct"));
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (module && empty) Ref::steal(PyObject_CallMethod(module.get(), "unpack", "sO", format, empty.get()));
    return failed;
}

constexpr char intOverflow[] = "value too large to convert to int";

Failure raiseFormatProblem(const PngOutcome& outcome) {
    switch (outcome.format) {
        case FormatProblem::Incomplete: return raise(PyExc_ValueError, message::forProblem(IhdrProblem::Incomplete));
        case FormatProblem::ColorType: return raiseFormat(PyExc_ValueError, message::invalidColorType, outcome.colorType);
        case FormatProblem::BitDepth:
            return raiseFormat(PyExc_ValueError, message::invalidBitDepth, outcome.bitDepth, outcome.colorType);
        case FormatProblem::Configuration:
        case FormatProblem::None: break;
    }
    return raise(PyExc_ValueError, message::configuration);
}

// What zlib's module says when zlib gives no description of its own.
const char* zlibFallback(int code) {
    switch (code) {
        case Z_BUF_ERROR: return "incomplete or truncated stream";
        case Z_STREAM_ERROR: return "inconsistent stream state";
        case Z_DATA_ERROR: return "invalid input data";
        default: return nullptr;
    }
}

}  // namespace

Failure raiseZlibError(const ZlibFailure& failure) noexcept {
    Ref error = moduleError("zlib", "error");
    if (!error) return failed;
    const char* detail = failure.detail != nullptr ? failure.detail : zlibFallback(failure.code);
    if (detail == nullptr) return raiseFormat(error.get(), "Error %d while decompressing data", failure.code);
    return raiseFormat(error.get(), "Error %d while decompressing data: %.200s", failure.code, detail);
}

Failure raisePngProblem(const PngOutcome& outcome) noexcept {
    switch (outcome.problem) {
        case PngProblem::none:
        case PngProblem::overCap: break;
        case PngProblem::sourceFailed:
            if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
            return failed;
        case PngProblem::outOfMemory: return raiseNoMemory();
        case PngProblem::signature: return raise(PyExc_ValueError, message::unsupportedSignature);
        case PngProblem::eofInLength: return raise(PyExc_ValueError, message::eofInLength);
        case PngProblem::eofInType: return raise(PyExc_ValueError, message::eofInType);
        case PngProblem::eofInData: return raise(PyExc_ValueError, message::eofInData);
        case PngProblem::eofInCrc: return raise(PyExc_ValueError, message::eofInCrc);
        case PngProblem::corruptedChunk: return raise(PyExc_ValueError, message::corruptedChunk);
        case PngProblem::ihdrSize: return raiseUnpackError(">IIBBBBB");
        case PngProblem::ihdrOverflow: return raise(PyExc_OverflowError, intOverflow);
        case PngProblem::header: return raise(PyExc_ValueError, message::forProblem(outcome.header));
        case PngProblem::format: return raiseFormatProblem(outcome);
        case PngProblem::noPalette: return raise(PyExc_ValueError, message::noPalette);
        case PngProblem::paletteSize:
            return raiseFormat(PyExc_ValueError, message::paletteSize, static_cast<unsigned long long>(outcome.size));
        case PngProblem::imageTooLarge: return raiseNoMemory();
        case PngProblem::malformed: return raise(PyExc_ValueError, message::malformed);
        case PngProblem::badFilter: return raiseFormat(PyExc_ValueError, message::unsupportedFilter, outcome.filterType);
        case PngProblem::zlib: return raiseZlibError(outcome.zlib);
        case PngProblem::hostFailed: return PyErr_Occurred() ? failed : raiseNoMemory();
    }
    return raise(PyExc_SystemError, "unexpected PNG decode outcome");
}

namespace {

Failure raiseBmpFormatProblem(const bmp::BmpImage& image) {
    using bmp::FormatProblem;
    const unsigned value = image.problemValue;
    switch (image.format) {
        case FormatProblem::HeaderSize: return raiseFormat(PyExc_ValueError, bmp::message::headerSize, value);
        case FormatProblem::ZeroPlanes: return raise(PyExc_ValueError, bmp::message::zeroPlanes);
        case FormatProblem::BitCount: return raiseFormat(PyExc_ValueError, bmp::message::bitCount, value);
        case FormatProblem::Embedded: return raise(PyExc_ValueError, bmp::message::embedded);
        case FormatProblem::Compression: return raiseFormat(PyExc_ValueError, bmp::message::compression, value);
        case FormatProblem::Masks: return raise(PyExc_ValueError, bmp::message::masks);
        case FormatProblem::Palette: return raise(PyExc_ValueError, bmp::message::palette);
        case FormatProblem::TopDownRle: return raise(PyExc_ValueError, bmp::message::topDownRle);
        case FormatProblem::None: break;
    }
    return raise(PyExc_SystemError, "unexpected BMP layout problem");
}

}  // namespace

Failure raiseBmpProblem(bmp::BmpProblem problem, const bmp::BmpImage& image) noexcept {
    using bmp::BmpProblem;
    switch (problem) {
        case BmpProblem::none: break;
        case BmpProblem::sourceFailed:
            if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
            return failed;
        case BmpProblem::outOfMemory:
        case BmpProblem::tooLarge: return raiseNoMemory();
        case BmpProblem::fileHeader: return raise(PyExc_ValueError, bmp::message::unsupportedHeader);
        case BmpProblem::infoSizeShort: return raise(PyExc_ValueError, bmp::message::corruptedInfoHeader);
        case BmpProblem::infoSize: return raise(PyExc_ValueError, bmp::message::forProblem(bmp::InfoProblem::NotInfoHeader));
        case BmpProblem::infoShort: return raiseUnpackError("<iiHHIIiiII");
        case BmpProblem::pixelFormat:
            return raise(PyExc_ValueError, bmp::message::forProblem(bmp::InfoProblem::NotUncompressed24Bit));
        // bytearray() refuses a negative size in the interpreter's own words.
        case BmpProblem::negativeWidth:
            Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyByteArray_Type), "L",
                                             static_cast<long long>(image.pixelBytes)));
            return failed;
        case BmpProblem::rowOffset: return raise(PyExc_OverflowError, intOverflow);
        case BmpProblem::incompletePixels: return raise(PyExc_ValueError, bmp::message::incompletePixels);
        case BmpProblem::headerShort: return raise(PyExc_ValueError, bmp::message::headerShort);
        case BmpProblem::offsetPastEnd:
            return raiseFormat(PyExc_ValueError, bmp::message::offsetPastEnd, static_cast<long long>(image.pixelOffset));
        case BmpProblem::format: return raiseBmpFormatProblem(image);
        case BmpProblem::overCap: break;
        case BmpProblem::hostFailed: return PyErr_Occurred() ? failed : raiseNoMemory();
    }
    return raise(PyExc_SystemError, "unexpected BMP decode outcome");
}

}  // namespace lumivex::binding
