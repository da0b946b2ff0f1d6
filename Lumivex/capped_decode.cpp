// Lumivex._native.decodeCapped: the readers of the extension run with a pixel
// cap, for the package's open of files from anywhere.
//
// This module carries its own copy of the readers, with a namespace of its
// own that binds the names they look up (struct, zlib, PNG_SIGNATURE and its
// own _readChunk): rebinding a name of the extension's module never changes
// what the package's open does, and the readers' native routes all apply.
#include "capped_decode.hpp"
#include "image_messages.hpp"

#include "../capi/calls.hpp"
#include "../capi/function.hpp"
#include "../capi/module.hpp"
#include "../codec/bmp/bmp_codec.hpp"
#include "../codec/png/png_codec.hpp"

#include <cstring>

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

// decodeCapped(stream, maxPixels, overCap): as _streamToImage, the format
// recognised from the first bytes, with every header checked against the cap
// before anything is allocated for it; above it, overCap(width, height,
// maxPixels) is raised.
PyObject* decodeCapped(PyObject*, const Arg* args) noexcept {
    PyObject* stream = args[0].object;
    CappedDecode capped;
    if (!readCap(args[1].object, args[2].object, &capped)) return nullptr;
    Ref signature = readFrom(stream, 8);
    Ref zero = signature ? newInt(0) : Ref();
    Ref rewound = zero ? callMethod(stream, Name::seek, {zero.get()}) : Ref();
    if (!rewound) return nullptr;
    if (startsWith(signature.get(), png::signatureBytes, sizeof png::signatureBytes)) {
        PyObject* triple = png::loadPng(stream, capped);
        return withFormat(triple, "PNG", capped.colorType);
    }
    if (startsWith(signature.get(), "BM", 2)) return withFormat(bmp::loadBmp(stream, capped), "BMP", -1);
    return raise(PyExc_ValueError, image::message::unsupportedFormat);
}

PyObject* readChunk(PyObject*, const Arg* args) { return png::readChunk(args[0].object); }

constexpr Param streamParam[] = {{"stream", ParamKind::Any}};
constexpr Param decodeParams[] = {{"stream", ParamKind::Any}, {"maxPixels", ParamKind::Any}, {"overCap", ParamKind::Any}};

constexpr FunctionDef functions[] = {
    {"_readChunk", Kind::ModuleFunction, params(streamParam), readChunk, noNotes},
    {"decodeCapped", Kind::ModuleFunction, params(decodeParams), decodeCapped, noNotes},
};

constexpr ModuleIdentity identity = {"_native", "Lumivex._native"};

bool bindReaders(PyObject* globals) {
    Ref moduleName = Ref::steal(PyUnicode_FromString(identity.qualifiedName));
    Ref signature = Ref::steal(PyBytes_FromStringAndSize(png::signatureBytes, sizeof(png::signatureBytes)));
    if (!moduleName || !importModule(globals, Name::struct_) || !importModule(globals, Name::zlib) ||
        !bind(globals, Name::PNG_SIGNATURE, signature.get())) {
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
