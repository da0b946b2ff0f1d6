// The PNG writer: always 8-bit RGB, filter type 0 on every row, the whole
// zlib stream (default level, through the module's zlib) in one IDAT chunk.
//
// Before the file is opened: the IHDR data is packed, the rows assembled and
// compressed, so their failures leave an existing file intact. After it is
// opened: PNG_SIGNATURE is looked up and written, and each chunk is framed
// (its length packed and its CRC computed through the module's struct and
// zlib) just before it is written; a failure there, such as a deleted or
// rebound name, leaves the bytes written so far in the file.
#include "png_io.hpp"
#include "module_names.hpp"

#include "../../../codec/png/rows.hpp"

#include "../../../capi/args.hpp"
#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/module.hpp"
#include "../../../capi/context.hpp"
#include "../../../capi/errors.hpp"
#include "../../../capi/gil.hpp"

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

// Each row led by its filter byte 0, the rows clipped to the buffer: a short
// buffer gives short rows, bytes past height rows are ignored.
Ref assembleScanlines(PyObject* pixels, int32_t width, int32_t height) {
    ByteView view;
    if (!view.acquire(pixels)) return Ref();
    const uint64_t rowStride = static_cast<uint64_t>(width) * 3;
    size_t length;
    if (!assembledLength(static_cast<size_t>(view.length()), rowStride, static_cast<uint64_t>(height), &length) ||
        length > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        return raiseNoMemory();
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!raw) return Ref();
    uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(raw.get()));
    adviseHugePages(out, length);
    // The held view keeps the bytearray from being resized meanwhile.
    runNative(length, [&] {
        assembleRows(view.data(), static_cast<size_t>(view.length()), rowStride, static_cast<uint64_t>(height), out);
    });
    return raw;
}

Ref frame(const char* chunkType, PyObject* data) {
    if (!checkExactType(data, &PyBytes_Type, "data")) return Ref();
    Ref type = Ref::steal(PyBytes_FromString(chunkType));
    return type ? Ref::steal(makeChunk(type.get(), data)) : Ref();
}

bool writeFile(PyObject* path, PyObject* ihdr, PyObject* compressed) {
    return withOpenFile(path, "wb", [&](PyObject* output) {
        Ref signature = binding::pngSignature();
        if (!signature || !callMethod(output, Name::write, {signature.get()})) return false;
        Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (!empty) return false;
        const struct { const char* type; PyObject* data; } chunks[] = {
            {"IHDR", ihdr}, {"IDAT", compressed}, {"IEND", empty.get()}};
        for (const auto& chunk : chunks) {
            Ref framed = frame(chunk.type, chunk.data);
            if (!framed || !callMethod(output, Name::write, {framed.get()})) return false;
        }
        return true;
    });
}

}  // namespace

PyObject* writePng(PyObject* path, int32_t width, int32_t height, PyObject* pixels) noexcept {
    Ref widthObject = newInt(width), heightObject = newInt(height), eight = newInt(8), two = newInt(2), zero = newInt(0);
    Ref ihdr = binding::structPack(">IIBBBBB", {widthObject.get(), heightObject.get(), eight.get(), two.get(), zero.get(),
                                       zero.get(), zero.get()});
    if (!ihdr) return nullptr;
    Ref buffer = asByteArray(pixels);
    Ref raw = buffer ? assembleScanlines(buffer.get(), width, height) : Ref();
    Ref zlib = raw ? binding::moduleZlib() : Ref();
    Ref compressed = zlib ? callMethod(zlib.get(), Name::compress, {raw.get()}) : Ref();
    if (!compressed) return nullptr;
    raw.reset();
    if (!writeFile(path, ihdr.get(), compressed.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lumivex::png
