// Lumivex._native.decodeCapped: the readers of the extension run with a pixel
// cap, for the package's open of files from anywhere.
//
// This module carries its own copy of the readers, with a namespace of its
// own that binds the names they look up (struct, zlib, BytesIO, PNG_SIGNATURE
// and its own _readChunk): rebinding a name of the extension's module never
// changes what the package's open does, and the readers' native routes all
// apply. A plainly valid BMP is read in one piece and converted at once.
#include "capped_decode.hpp"
#include "image_messages.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/files.hpp"
#include "../../capi/function.hpp"
#include "../../capi/gil.hpp"
#include "../../capi/module.hpp"
#include "../../codec/bmp/bmp_codec.hpp"
#include "../../codec/bmp/whole.hpp"
#include "../../codec/png/png_codec.hpp"

#include <algorithm>
#include <cstring>

#include <unistd.h>

using namespace lumivex::capi;

namespace lumivex::native {
namespace {

// The cap: a non-negative int, or None for none.
bool readCap(PyObject* maxPixels, PyObject* overCap, CappedDecode* capped) {
    if (maxPixels == Py_None) return true;
    const unsigned long long cap = PyLong_AsUnsignedLongLong(maxPixels);
    if (cap == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();  // above 2^64 - 1: no image has that many pixels
        return true;
    }
    capped->limits.maxPixels = cap == UINT64_MAX ? UINT64_MAX - 1 : cap;
    capped->overCap = overCap;
    return true;
}

bool startsWith(PyObject* signature, const char* prefix, Py_ssize_t length) {
    return PyBytes_Check(signature) && PyBytes_GET_SIZE(signature) >= length &&
           std::memcmp(PyBytes_AS_STRING(signature), prefix, static_cast<size_t>(length)) == 0;
}

// (width, height, pixels, format, PNG colour type or None).
PyObject* withFormat(PyObject* triple, const char* format, int32_t colorType) {
    Ref decoded = Ref::steal(triple);
    if (!decoded) return nullptr;
    PyObject* const* items = &PyTuple_GET_ITEM(decoded.get(), 0);
    if (colorType < 0) return Py_BuildValue("(OOOsO)", items[0], items[1], items[2], format, Py_None);
    return Py_BuildValue("(OOOsi)", items[0], items[1], items[2], format, static_cast<int>(colorType));
}

// --- a BMP in one piece

bool allowed(const bmp::WholeBmp& layout, const CappedDecode& capped) {
    return !capped.overCap || capped.check(layout.width, layout.rows);
}

// A new pixel buffer for the image of `layout`, its bytes at *out.
Ref newImageBuffer(const bmp::WholeBmp& layout, uint8_t** out) {
    Ref pixels = newPixelBuffer(static_cast<Py_ssize_t>(layout.pixelBytes));
    if (!pixels) return pixels;
    *out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    adviseHugePages(*out, static_cast<size_t>(layout.pixelBytes));
    return pixels;
}

PyObject* bmpResult(const bmp::WholeBmp& layout, PyObject* pixels) {
    return Py_BuildValue("(LLOsO)", static_cast<long long>(layout.width), static_cast<long long>(layout.rows), pixels,
                         "BMP", Py_None);
}

// The image of a BMP in memory whose layout readBmpLayout found (nothing else
// changes its bytes meanwhile).
PyObject* convertBmp(const bmp::WholeBmp& layout, const uint8_t* file) {
    uint8_t* out;
    Ref pixels = newImageBuffer(layout, &out);
    if (!pixels) return nullptr;
    runNative(static_cast<size_t>(layout.pixelBytes),
              [&] { bmp::convertBmpRows(file + layout.pixelOffset, layout, 0, layout.rows, out); });
    return bmpResult(layout, pixels.get());
}

// Rows are read from a file in blocks of about this many bytes, each
// converted while it is still in the cache.
constexpr int64_t fileBlockBytes = 256 * 1024;

// Reads the stored rows of `layout` from fd in blocks and converts them into
// out; false if the file ends (or changes) under the reads.
bool readBmpRows(int fd, const bmp::WholeBmp& layout, uint8_t* block, int64_t blockRows, uint8_t* out) {
    for (int64_t row = 0; row < layout.rows; row += blockRows) {
        const int64_t count = std::min(blockRows, layout.rows - row);
        const size_t bytes = static_cast<size_t>(count * layout.rowStride);
        if (pread(fd, block, bytes, static_cast<off_t>(layout.pixelOffset + row * layout.rowStride)) !=
            static_cast<ssize_t>(bytes)) {
            return false;
        }
        bmp::convertBmpRows(block, layout, row, count, out);
    }
    return true;
}

// A plainly valid BMP in a regular file, its headers read with one system
// call and its rows in large blocks. Null with nothing raised when the file
// is anything else, or changes under the reads: the stream reader takes it.
PyObject* readBmpFile(PyObject* stream, const CappedDecode& capped) {
    int fd;
    size_t fileSize;
    uint8_t headers[bmp::wholeBmpHeaders];
    bmp::WholeBmp layout;
    if (!isPlainFile(stream) || !regularFile(stream, &fd, &fileSize) ||
        pread(fd, headers, sizeof headers, 0) != static_cast<ssize_t>(sizeof headers) ||
        !bmp::readBmpLayout(headers, fileSize, &layout)) {
        return nullptr;
    }
    if (!allowed(layout, capped)) return nullptr;
    const int64_t blockRows = std::max<int64_t>(1, std::min(layout.rows, fileBlockBytes / layout.rowStride));
    RawBuffer block;
    uint8_t* out = nullptr;
    Ref pixels = block.allocate(static_cast<size_t>(blockRows * layout.rowStride)) ? newImageBuffer(layout, &out)
                                                                                   : Ref();
    if (!pixels) {
        PyErr_Clear();  // the stream reader fails in its own way if it must
        return nullptr;
    }
    bool complete;
    Py_BEGIN_ALLOW_THREADS
    complete = readBmpRows(fd, layout, block.data(), blockRows, out);
    Py_END_ALLOW_THREADS
    return complete ? bmpResult(layout, pixels.get()) : nullptr;
}

// --- the decodes

// As _streamToImage, the format recognised from the first bytes, with every
// header checked against the cap before anything is allocated for it.
PyObject* decodeStream(PyObject* stream, const CappedDecode& capped) {
    Ref signature = readFrom(stream, 8);
    Ref zero = signature ? newInt(0) : Ref();
    Ref rewound = zero ? callMethod(stream, Name::seek, {zero.get()}) : Ref();
    if (!rewound) return nullptr;
    if (startsWith(signature.get(), png::signatureBytes, sizeof png::signatureBytes)) {
        PyObject* triple = png::loadPng(stream, capped);
        return withFormat(triple, "PNG", capped.colorType);
    }
    if (!startsWith(signature.get(), "BM", 2)) return raise(PyExc_ValueError, image::message::unsupportedFormat);
    PyObject* whole = readBmpFile(stream, capped);
    if (whole != nullptr || PyErr_Occurred()) return whole;
    return withFormat(bmp::loadBmp(stream, capped), "BMP", -1);
}

// decodeCapped(stream, maxPixels, overCap) -> (width, height, pixels, format,
// PNG colour type or None); above the cap, overCap(width, height, maxPixels)
// is raised.
PyObject* decodeCapped(PyObject*, const Arg* args) noexcept {
    CappedDecode capped;
    if (!readCap(args[1].object, args[2].object, &capped)) return nullptr;
    return decodeStream(args[0].object, capped);
}

// decodeBytes(data, maxPixels, overCap): the same for a bytes-like object,
// a BMP converted straight from it, anything else read through a BytesIO.
PyObject* decodeBytes(PyObject*, const Arg* args) noexcept {
    CappedDecode capped;
    ByteView data;  // held to the end: a bytearray cannot be resized meanwhile
    if (!readCap(args[1].object, args[2].object, &capped) || !data.acquire(args[0].object)) return nullptr;
    bmp::WholeBmp layout;
    const uint64_t length = static_cast<uint64_t>(data.length());
    if (bmp::readBmpLayout(data.data(), length, &layout)) {
        return allowed(layout, capped) ? convertBmp(layout, data.data()) : nullptr;
    }
    Ref bytesIO = lookupGlobal(Name::BytesIO);
    Ref stream = bytesIO ? Ref::steal(PyObject_CallFunctionObjArgs(bytesIO.get(), args[0].object, nullptr)) : Ref();
    return stream ? decodeStream(stream.get(), capped) : nullptr;
}

PyObject* readChunk(PyObject*, const Arg* args) { return png::readChunk(args[0].object); }

constexpr Param streamParam[] = {{"stream", ParamKind::Any}};
constexpr Param decodeParams[] = {{"stream", ParamKind::Any}, {"maxPixels", ParamKind::Any}, {"overCap", ParamKind::Any}};
constexpr Param bytesParams[] = {{"data", ParamKind::Any}, {"maxPixels", ParamKind::Any}, {"overCap", ParamKind::Any}};

constexpr FunctionDef functions[] = {
    {"_readChunk", Kind::ModuleFunction, params(streamParam), readChunk, noNotes},
    {"decodeCapped", Kind::ModuleFunction, params(decodeParams), decodeCapped, noNotes},
    {"decodeBytes", Kind::ModuleFunction, params(bytesParams), decodeBytes, noNotes},
};

constexpr ModuleIdentity identity = {"_native", "Lumivex._native"};

bool bindReaders(PyObject* globals) {
    Ref moduleName = Ref::steal(PyUnicode_FromString(identity.qualifiedName));
    Ref signature = Ref::steal(PyBytes_FromStringAndSize(png::signatureBytes, sizeof(png::signatureBytes)));
    if (!moduleName || !importModule(globals, Name::struct_) || !importModule(globals, Name::zlib) ||
        !importNamesFrom(globals, "io", {Name::BytesIO}) || !bind(globals, Name::PNG_SIGNATURE, signature.get())) {
        return false;
    }
    for (const FunctionDef& def : functions) {
        if (!bindFunction(globals, def, moduleName.get())) return false;
    }
    return true;
}

}  // namespace

int bindCappedDecode(PyObject* module) noexcept { return executeModule(module, identity, bindReaders); }

}  // namespace lumivex::native
