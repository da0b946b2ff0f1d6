// The BMP reader: 14-byte file header, 40-byte BITMAPINFOHEADER, then
// |height| stored rows of BGR pixels padded to four bytes, bottom-up for a
// positive height and top-down for a negative one.
//
// The stream sees exactly read(14), read(4), read(36), seek(offset) and one
// read(rowStride) per stored row.
#include "bmp_codec.hpp"

#include "rows.hpp"

#include "../../capi/calls.hpp"

using namespace lumivex::capi;

namespace lumivex::bmp {
namespace {

// Raises ValueError(message); false, for `return fail(...)` in a bool function.
bool fail(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

bool asLong(PyObject* number, long long* out) {
    *out = PyLong_AsLongLong(number);
    return !(*out == -1 && PyErr_Occurred());
}

// The file header: "BM", then the pixel data offset (bytes 10..13).
Ref readFileHeader(PyObject* stream) {
    Ref header = readFrom(stream, 14);
    if (!header) return Ref();
    Py_ssize_t length = PyObject_Length(header.get());
    if (length < 0) return Ref();
    // The signature is compared only when all 14 bytes came back.
    bool isBmp = false;
    if (length == 14 && !startsWithBytes(header.get(), "BM", 2, &isBmp)) return Ref();
    if (!isBmp) {
        fail("Unsupported BMP header");
        return Ref();
    }
    Ref fields = Ref::steal(PySequence_GetSlice(header.get(), 2, 14));
    Ref values[4];  // file size, reserved, reserved, pixel data offset
    if (!fields || !structUnpack("<IHHI", fields.get(), 4, values)) return Ref();
    return std::move(values[3]);
}

bool checkInfoHeaderSize(PyObject* stream) {
    Ref sizeBytes = readFrom(stream, 4);
    if (!sizeBytes) return false;
    Py_ssize_t length = PyObject_Length(sizeBytes.get());
    if (length < 0) return false;
    if (length != 4) return fail("Corrupted BMP DIB header");
    Ref size[1];
    long long headerSize;
    if (!structUnpack("<I", sizeBytes.get(), 1, size) || !asLong(size[0].get(), &headerSize)) return false;
    if (headerSize != 40) return fail("Only BITMAPINFOHEADER BMP files are supported");
    return true;
}

struct Geometry {
    Ref widthObject;  // the stored width, returned as it was unpacked
    long long width;
    long long height;  // as stored: negative for top-down rows
};

bool readInfoHeader(PyObject* stream, Geometry* geometry) {
    Ref info = readFrom(stream, 36);
    // width, height, planes, bits per pixel, compression, image size,
    // two resolutions, colours used, important colours
    Ref values[10];
    if (!info || !structUnpack("<iiHHIIiiII", info.get(), 10, values)) return false;
    long long planes, bitsPerPixel, compression;
    if (!asLong(values[2].get(), &planes) || !asLong(values[3].get(), &bitsPerPixel) ||
        !asLong(values[4].get(), &compression) || !asLong(values[0].get(), &geometry->width) ||
        !asLong(values[1].get(), &geometry->height)) {
        return false;
    }
    if (planes != 1 || bitsPerPixel != 24 || compression != 0) {
        return fail("Only uncompressed 24-bit BMP files are supported");
    }
    geometry->widthObject = std::move(values[0]);
    return true;
}

// A new, uninitialised buffer of width * |height| * 3 bytes: every byte is
// written once by the rows, and pages no row reaches are never committed.
Ref allocatePixels(long long width, long long rows) {
    long long size;
    if (__builtin_mul_overflow(width, rows, &size) || __builtin_mul_overflow(size, 3LL, &size) ||
        size > PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        return Ref();
    }
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return Ref();
    }
    return Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

// One stored row, which must be exactly a bytes object of rowStride bytes.
bool readRow(PyObject* stream, long long rowStride, Ref* row) {
    *row = readFrom(stream, rowStride);
    if (!*row) return false;
    PyObject* data = row->get();
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return false;
    }
    if (!PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(data)->tp_name);
        return false;
    }
    if (PyBytes_GET_SIZE(data) != rowStride) return fail("Incomplete BMP pixel data");
    return true;
}

bool readRows(PyObject* stream, const Geometry& geometry, long long rows, PyObject* pixels) {
    long long rowStride = storedRowStride(geometry.width);
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels));
    for (long long y = 0; y < rows; ++y) {
        Ref row;
        if (!readRow(stream, rowStride, &row)) return false;
        long long destination = geometry.height > 0 ? rows - 1 - y : y;
        long long start = destination * geometry.width * 3;
        // Row offsets are 32-bit quantities: buffers past 2 GiB are refused.
        if (start > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return false;
        }
        storedRowToRgb(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(row.get())),
                       static_cast<size_t>(geometry.width), out + start);
    }
    return true;
}

}  // namespace

PyObject* loadBmp(PyObject* stream) noexcept {
    Ref pixelOffset = readFileHeader(stream);
    Geometry geometry;
    if (!pixelOffset || !checkInfoHeaderSize(stream) || !readInfoHeader(stream, &geometry)) return nullptr;
    long long rows = geometry.height < 0 ? -geometry.height : geometry.height;
    Ref pixels = allocatePixels(geometry.width, rows);
    if (!pixels) return nullptr;
    Ref moved = callMethod(stream, Name::seek, {pixelOffset.get()});
    if (!moved || !readRows(stream, geometry, rows, pixels.get())) return nullptr;
    return Py_BuildValue("(OLO)", geometry.widthObject.get(), rows, pixels.get());
}

}  // namespace lumivex::bmp
