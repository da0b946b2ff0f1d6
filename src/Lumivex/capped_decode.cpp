// Lumivex._native.decodeCapped and decodeBytes: the codec's readers run with
// a pixel cap, for the package's open of files from anywhere. They read
// memory or a regular file natively, and any other stream through its own
// read and seek; no name of the extension's module is involved.
#include "capped_decode.hpp"
#include "image_messages.hpp"

#include "binding/bmp_decode.hpp"
#include "binding/native_stream.hpp"
#include "binding/png_decode.hpp"
#include "binding/problems.hpp"
#include "binding/stream_source.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/function.hpp"
#include "../../capi/module.hpp"
#include "../../codec/peek.hpp"
#include "../../codec/png/decode.hpp"
#include "../../codec/png/metadata.hpp"
#include "../../codec/png/messages.hpp"

#include <cstring>

using namespace lumivex::capi;
using lumivex::binding::PngStart;

namespace lumivex::native {
namespace {

// The pixels asked for: a channel layout (0 as stored, 1 to 4 channels) and
// a sample depth (0 as stored, 8 or 16); the package checks them first.
bool readFormat(const Arg& layout, const Arg& depth, CappedDecode* capped) {
    if (layout.int32 < 0 || layout.int32 > 4 || (depth.int32 != 0 && depth.int32 != 8 && depth.int32 != 16)) {
        raise(PyExc_ValueError, "unknown pixel format");
        return false;
    }
    capped->format.layout = static_cast<png::ChannelLayout>(layout.int32);
    capped->format.depth = static_cast<png::SampleDepth>(depth.int32);
    return true;
}

// The cap: a non-negative int, or None for none.
bool readCap(PyObject* maxPixels, PyObject* overCap, CappedDecode* capped) {
    capped->accepts = png::PngAccepts::everyFormat;
    capped->bmpAccepts = bmp::BmpAccepts::everyFormat;
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

// (width, height, pixels, format, (PNG colour type, bit depth, interlace
// method), or for a BMP (bits per pixel,), (channels, bytes a sample)).
PyObject* withFormat(PyObject* triple, const char* format, const png::Ihdr* used, const CappedDecode& capped) {
    Ref decoded = Ref::steal(triple);
    if (!decoded) return nullptr;
    PyObject* const* items = &PyTuple_GET_ITEM(decoded.get(), 0);
    const int channels = capped.shape.channels, sampleBytes = capped.shape.sampleBytes;
    if (used == nullptr) {
        return Py_BuildValue("(OOOs(i)(ii))", items[0], items[1], items[2], format, capped.bmpBitCount, channels,
                             sampleBytes);
    }
    return Py_BuildValue("(OOOs(iii)(ii))", items[0], items[1], items[2], format, static_cast<int>(used->colorType),
                         static_cast<int>(used->bitDepth), static_cast<int>(used->interlace), channels, sampleBytes);
}

// The format recognised from the first bytes, as _streamToImage recognises
// it, then the source rewound to where it started and decoded.
PyObject* decodeSource(ByteSource& source, bool nativeSource, const CappedDecode& capped) {
    const uint64_t start = source.position();
    uint8_t signature[sizeof png::signatureBytes];
    size_t got;
    if (!source.read(signature, sizeof signature, &got) || !source.seek(start)) {
        if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    if (got == sizeof signature && std::memcmp(signature, png::signatureBytes, sizeof signature) == 0) {
        PyObject* triple = binding::decodePng(source, nativeSource, PngStart::signature, capped);
        return withFormat(triple, "PNG", &capped.used, capped);
    }
    if (got < 2 || signature[0] != 'B' || signature[1] != 'M') {
        return raise(PyExc_ValueError, image::message::unsupportedFormat);
    }
    PyObject* triple = binding::decodeBmp(source, nativeSource, capped);
    return withFormat(triple, "BMP", nullptr, capped);
}

// decodeCapped(stream, maxPixels, overCap) -> (width, height, pixels, format,
// (PNG colour type, bit depth, interlace method) or (BMP bits per pixel,)):
// every valid PNG; above the cap, overCap(width, height, maxPixels) is
// raised. A stream the codec can read itself (binding/native_stream.hpp) is
// read natively from its position; any other through read and seek.
PyObject* decodeCapped(PyObject*, const Arg* args) noexcept {
    CappedDecode capped;
    PyObject* stream = args[0].object;
    if (!readCap(args[1].object, args[2].object, &capped) || !readFormat(args[3], args[4], &capped)) return nullptr;
    // The package opened this stream and closes it next: where it is left does not matter.
    binding::NativeStream native;
    if (native.open(stream)) return decodeSource(native.source(), true, capped);
    if (PyErr_Occurred()) return nullptr;
    Ref at = callMethod(stream, Name::tell, {});
    const unsigned long long start = at ? PyLong_AsUnsignedLongLong(at.get()) : 0;
    if (!at || (start == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return nullptr;
    binding::StreamSource source(stream, start);
    return decodeSource(source, false, capped);
}

// decodeBytes(data, maxPixels, overCap): the same for a bytes-like object.
PyObject* decodeBytes(PyObject*, const Arg* args) noexcept {
    CappedDecode capped;
    ByteView data;  // held to the end: a bytearray cannot be resized meanwhile
    if (!readCap(args[1].object, args[2].object, &capped) || !readFormat(args[3], args[4], &capped) ||
        !data.acquire(args[0].object)) {
        return nullptr;
    }
    MemorySource memory(data.data(), static_cast<size_t>(data.length()));
    return decodeSource(memory, true, capped);
}

// peekHeader(data) -> ("PNG", width, height, colour type, bit depth,
// interlace method) or ("BMP", width, height, information header size, bits
// per pixel, compression, whether masks give alpha), from a file's first
// bytes (peekBytes of them hold every field); None when a PNG does not start
// with its IHDR, whose header only a reader's walk over the chunks finds.
PyObject* peekHeader(PyObject*, const Arg* args) noexcept {
    ByteView data;
    if (!data.acquire(args[0].object)) return nullptr;
    PeekedHeader header;
    switch (lumivex::peekHeader(data.data(), static_cast<size_t>(data.length()), &header)) {
        case PeekProblem::none: break;
        case PeekProblem::noIhdr: Py_RETURN_NONE;
        case PeekProblem::unknownFormat: return raise(PyExc_ValueError, image::message::unsupportedFormat);
        case PeekProblem::truncated: return raise(PyExc_ValueError, "Truncated image header");
        case PeekProblem::ihdrCrc: return raise(PyExc_ValueError, png::message::corruptedChunk);
    }
    if (header.png) {
        return Py_BuildValue("(sLLiii)", "PNG", static_cast<long long>(header.width),
                             static_cast<long long>(header.height), header.colourType, header.bitDepth,
                             header.interlace);
    }
    return Py_BuildValue("(sLLIIIO)", "BMP", static_cast<long long>(header.width), static_cast<long long>(header.height),
                         header.headerSize, header.bitCount, header.compression,
                         header.alphaMask ? Py_True : Py_False);
}

// The chunks as a list of (type, data, place), each a bytes, a bytes and an int.
class ChunkList final : public png::ChunkVisitor {
public:
    Ref list = Ref::steal(PyList_New(0));

    bool chunk(const png::ChunkHead& head, const uint8_t* data, size_t length, png::ChunkPlace place) noexcept override {
        Ref item = Ref::steal(Py_BuildValue("(y#y#i)", reinterpret_cast<const char*>(head.type), Py_ssize_t(4),
                                            reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length),
                                            static_cast<int>(place)));
        return item && PyList_Append(list.get(), item.get()) == 0;
    }
};

PyObject* walkChunks(ByteSource& source) noexcept {
    ChunkList chunks;
    if (!chunks.list) return nullptr;
    bool stopped = false;
    const png::PngOutcome outcome = png::walkPngChunks(source, chunks, &stopped);
    if (stopped) return nullptr;
    if (!outcome.ok()) return binding::raisePngProblem(outcome);
    return chunks.list.release();
}

// pngChunks(stream or data) -> [(type, data, place)]: every chunk of a PNG
// file but IDAT and IEND, each CRC checked, the image data read through;
// place 0 before PLTE, 1 between PLTE and the image data, 2 after it.
PyObject* pngChunks(PyObject*, const Arg* args) noexcept {
    PyObject* source = args[0].object;
    binding::NativeStream native;
    if (native.open(source)) return walkChunks(native.source());
    if (PyErr_Occurred()) return nullptr;
    if (PyObject_HasAttrString(source, "read")) {
        Ref at = callMethod(source, Name::tell, {});
        const unsigned long long start = at ? PyLong_AsUnsignedLongLong(at.get()) : 0;
        if (!at || (start == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return nullptr;
        binding::StreamSource stream(source, start);
        return walkChunks(stream);
    }
    ByteView data;
    if (!data.acquire(source)) return nullptr;
    MemorySource memory(data.data(), static_cast<size_t>(data.length()));
    return walkChunks(memory);
}

constexpr Param peekParams[] = {{"data", ParamKind::Any}};
constexpr Param chunkParams[] = {{"source", ParamKind::Any}};

constexpr Param decodeParams[] = {{"stream", ParamKind::Any}, {"maxPixels", ParamKind::Any}, {"overCap", ParamKind::Any},
                                  {"layout", ParamKind::Int32}, {"depth", ParamKind::Int32}};
constexpr Param bytesParams[] = {{"data", ParamKind::Any}, {"maxPixels", ParamKind::Any}, {"overCap", ParamKind::Any},
                                 {"layout", ParamKind::Int32}, {"depth", ParamKind::Int32}};

constexpr FunctionDef functions[] = {
    {"decodeCapped", Kind::ModuleFunction, params(decodeParams), decodeCapped, noNotes},
    {"decodeBytes", Kind::ModuleFunction, params(bytesParams), decodeBytes, noNotes},
    {"peekHeader", Kind::ModuleFunction, params(peekParams), peekHeader, noNotes},
    {"pngChunks", Kind::ModuleFunction, params(chunkParams), pngChunks, noNotes},
};

constexpr ModuleIdentity identity = {"_native", "Lumivex._native"};

bool bindDecodes(PyObject* globals) {
    Ref moduleName = Ref::steal(PyUnicode_FromString(identity.qualifiedName));
    if (!moduleName) return false;
    for (const FunctionDef& def : functions) {
        if (!bindFunction(globals, def, moduleName.get())) return false;
    }
    return true;
}

}  // namespace

int bindCappedDecode(PyObject* module) noexcept { return executeModule(module, identity, bindDecodes); }

}  // namespace lumivex::native
