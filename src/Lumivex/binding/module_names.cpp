#include "module_names.hpp"

#include "png_io.hpp"
#include "standard_modules.hpp"

#include "../../../capi/args.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/function.hpp"
#include "../../../capi/module.hpp"

using namespace lumivex::capi;

namespace lumivex::binding {
namespace {

// The object bound to `which` now, or null (nothing raised) when none is.
Ref boundNow(Name which) {
    Ref value = lookupGlobal(which);
    if (!value) PyErr_Clear();
    return value;
}

Ref callStruct(Name function, const char* format, std::initializer_list<PyObject*> values) {
    Ref structModule = lookupGlobal(Name::struct_);
    Ref formatText = structModule ? Ref::steal(PyUnicode_FromString(format)) : Ref();
    return formatText ? callMethodWithFirst(structModule.get(), function, formatText.get(), values) : Ref();
}

}  // namespace

Ref pngSignature() noexcept { return lookupGlobal(Name::PNG_SIGNATURE); }

Ref moduleZlib() noexcept { return lookupGlobal(Name::zlib); }

Ref pathType() noexcept { return lookupGlobal(Name::Path); }

Ref newBytesIO(PyObject* data) noexcept {
    Ref bytesIO = lookupGlobal(Name::BytesIO);
    return bytesIO ? Ref::steal(PyObject_CallFunctionObjArgs(bytesIO.get(), data, nullptr)) : Ref();
}

Ref callWriter(Name writer, PyObject* path, PyObject* width, PyObject* height, PyObject* pixels) noexcept {
    Ref function = lookupGlobal(writer);
    return function ? Ref::steal(PyObject_CallFunctionObjArgs(function.get(), path, width, height, pixels, nullptr))
                    : Ref();
}

Ref readChunkThroughName(PyObject* stream, size_t idatRoom) noexcept {
    Ref readChunk = lookupGlobal(Name::_readChunk);
    if (!readChunk) return readChunk;
    return Ref::steal(isOwnFunction(readChunk.get(), "_readChunk")
                          ? png::readChunk(stream, idatRoom)
                          : PyObject_CallFunctionObjArgs(readChunk.get(), stream, nullptr));
}

Ref structPack(const char* format, std::initializer_list<PyObject*> values) noexcept {
    return callStruct(Name::pack, format, values);
}

bool structUnpack(const char* format, PyObject* data, Py_ssize_t count, Ref* out) noexcept {
    Ref values = callStruct(Name::unpack, format, {data});
    return values && unpackExactly(values.get(), count, out);
}

bool ownPngReadersInForce() noexcept {
    Ref readChunk = boundNow(Name::_readChunk), zlib = boundNow(Name::zlib);
    return readChunk && zlib && isOwnFunction(readChunk.get(), "_readChunk") && png::isGenuineZlib(zlib.get()) &&
           ownBmpReadersInForce();
}

bool ownBmpReadersInForce() noexcept {
    Ref structModule = boundNow(Name::struct_);
    return structModule && png::isGenuineStruct(structModule.get());
}

}  // namespace lumivex::binding
