// The BMP reader: 14-byte file header, 40-byte BITMAPINFOHEADER, then
// |height| stored rows of BGR pixels padded to four bytes, bottom-up for a
// positive height and top-down for a negative one.
//
// Through the stream's own methods, it sees exactly read(14), read(4),
// read(36), seek(offset) and one read(rowStride) per stored row, except that
// rows of zero bytes (width 0) are not read at all (there is nothing in
// them, and a 54-byte file may claim 2^31 of them).
#include "bmp_io.hpp"
#include "module_names.hpp"

#include "bmp_decode.hpp"
#include "native_stream.hpp"
#include "standard_modules.hpp"

#include "../../../codec/bmp/header.hpp"
#include "../../../codec/bmp/messages.hpp"
#include "../../../codec/bmp/rows.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/module.hpp"
#include "../../../capi/errors.hpp"

using namespace lumivex::capi;

namespace lumivex::bmp {
namespace {

Failure raiseValueError(const char* text) { return raise(PyExc_ValueError, text); }

bool asLong(PyObject* number, int64_t* out) {
    *out = PyLong_AsLongLong(number);
    return !(*out == -1 && PyErr_Occurred());
}

// Reads `size` bytes, which must come back in full; anything shorter raises `shortMessage`.
Ref readFull(PyObject* stream, Py_ssize_t size, const char* shortMessage) {
    Ref data = readFrom(stream, size);
    if (!data) return failed;
    Py_ssize_t length = PyObject_Length(data.get());
    if (length < 0) return failed;
    if (length != size) return raiseValueError(shortMessage);
    return data;
}

// The file header: "BM", then the pixel data offset (bytes 10..13).
Ref readFileHeader(PyObject* stream) {
    Ref header = readFull(stream, fileHeaderSize, message::unsupportedHeader);
    bool isBmp;
    if (!header || !startsWithBytes(header.get(), "BM", 2, &isBmp)) return failed;
    if (!isBmp) return raiseValueError(message::unsupportedHeader);
    Ref fields = Ref::steal(PySequence_GetSlice(header.get(), 2, fileHeaderSize));
    Ref values[4];  // file size, reserved, reserved, pixel data offset
    if (!fields || !binding::structUnpack("<IHHI", fields.get(), 4, values)) return failed;
    return std::move(values[3]);
}

bool readInfoHeaderSize(PyObject* stream, InfoHeader* header) {
    Ref sizeBytes = readFull(stream, 4, message::corruptedInfoHeader);
    Ref size[1];
    if (!sizeBytes || !binding::structUnpack("<I", sizeBytes.get(), 1, size) || !asLong(size[0].get(), &header->size)) {
        return false;
    }
    InfoProblem problem = checkInfoHeaderSize(header->size);
    if (problem != InfoProblem::None) return raiseValueError(message::forProblem(problem));
    return true;
}

// The rest of the information header; `widthObject` receives the stored
// width as it was unpacked, which the decoded triple returns.
bool readInfoHeader(PyObject* stream, InfoHeader* header, Ref* widthObject) {
    Ref info = readFrom(stream, infoHeaderSize - 4);
    // width, height, planes, bits per pixel, compression, image size,
    // two resolutions, colours used, important colours
    Ref values[10];
    if (!info || !binding::structUnpack("<iiHHIIiiII", info.get(), 10, values)) return false;
    if (!asLong(values[2].get(), &header->planes) || !asLong(values[3].get(), &header->bitCount) ||
        !asLong(values[4].get(), &header->compression) || !asLong(values[0].get(), &header->width) ||
        !asLong(values[1].get(), &header->height)) {
        return false;
    }
    InfoProblem problem = checkPixelFormat(*header);
    if (problem != InfoProblem::None) return raiseValueError(message::forProblem(problem));
    *widthObject = std::move(values[0]);
    return true;
}

// A new, uninitialised buffer of width * rows * 3 bytes: every byte is
// written once by the rows, and pages no row reaches are never committed.
Ref allocatePixels(int64_t width, int64_t rows) {
    int64_t size;
    switch (pixelBufferSize(width, rows, &size)) {
        case SizeProblem::TooLarge: return raiseNoMemory();
        // bytearray() refuses a negative size in the interpreter's own words.
        case SizeProblem::Negative:
            return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyByteArray_Type), "L",
                                                    static_cast<long long>(size)));
        case SizeProblem::None: break;
    }
    return newPixelBuffer(static_cast<Py_ssize_t>(size));
}

// `size` bytes of stored rows (or fewer at the end of the data), which must
// come as exactly a bytes object.
bool readStored(PyObject* stream, int64_t size, Ref* data) {
    *data = readFrom(stream, size);
    if (!*data) return false;
    PyObject* bytes = data->get();
    // None has no length: the interpreter's own TypeError says so.
    if (bytes == Py_None) return PyObject_Length(bytes) >= 0;
    if (!PyBytes_CheckExact(bytes)) {
        return raiseFormat(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(bytes)->tp_name);
    }
    if (PyBytes_GET_SIZE(bytes) > size) return raiseValueError(message::incompletePixels);
    return true;
}

// One read(rowStride) per stored row, each checked and placed in order.
bool readRows(PyObject* stream, const InfoHeader& header, int64_t rows, PyObject* pixels) {
    const int64_t rowStride = storedRowStride(header.width);
    if (rowStride == 0) return true;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels));
    for (int64_t y = 0; y < rows; ++y) {
        Ref data;
        if (!readStored(stream, rowStride, &data)) return false;
        if (PyBytes_GET_SIZE(data.get()) < rowStride) return raiseValueError(message::incompletePixels);
        const int64_t destination = header.height > 0 ? rows - 1 - y : y;
        int64_t start;
        if (!rowOffset(destination, header.width, &start)) {
            return raise(PyExc_OverflowError, "value too large to convert to int");
        }
        storedRowToRgb(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.get())),
                       static_cast<size_t>(header.width), out + start);
    }
    return true;
}

PyObject* loadThroughNames(PyObject* stream, const CappedDecode& capped) {
    Ref pixelOffset = readFileHeader(stream);
    InfoHeader header;
    Ref widthObject;
    if (!pixelOffset || !readInfoHeaderSize(stream, &header) || !readInfoHeader(stream, &header, &widthObject)) {
        return nullptr;
    }
    int64_t rows = rowCount(header.height);
    if (capped.overCap && !capped.check(header.width, rows)) return nullptr;
    Ref pixels = allocatePixels(header.width, rows);
    if (!pixels) return nullptr;
    Ref moved = callMethod(stream, Name::seek, {pixelOffset.get()});
    if (!moved || !readRows(stream, header, rows, pixels.get())) return nullptr;
    return Py_BuildValue("(OLO)", widthObject.get(), static_cast<long long>(rows), pixels.get());
}

}  // namespace

// With the interpreter's own struct in force and a stream the codec can read
// itself, the codec reads the file and the stream is left where reading it
// through its own methods would have left it; otherwise every read goes
// through the stream and every header through the name struct.
PyObject* loadBmp(PyObject* stream, const CappedDecode& capped) noexcept {
    if (binding::ownBmpReadersInForce()) {
        binding::NativeStream native;
        if (native.open(stream)) {
            Ref triple = Ref::steal(binding::decodeBmp(native.source(), true, capped));
            return native.leave() ? triple.release() : nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return loadThroughNames(stream, capped);
}

}  // namespace lumivex::bmp
