// The PNG reader: signature, chunks in any order (each CRC-checked by
// _readChunk), the IHDR checks, bounded inflation of the IDAT stream, then
// row reconstruction and the copy of R, G, B into a new pixel buffer.
#include "png_codec.hpp"

#include "filter.hpp"

#include "../../capi/args.hpp"
#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"

using namespace lumivex::capi;

namespace lumivex::png {

const char signatureBytes[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

namespace {

// The decoder supports images whose inflated data, (rowStride + 1) * height
// bytes, fits in a signed 32-bit size.
constexpr int64_t maxInflatedSize = INT32_MAX;

// Reconstructing rows of at least this many bytes runs without the GIL.
constexpr int64_t releaseGilAbove = 1 << 16;

PyObject* raiseMalformed() {
    PyErr_SetString(PyExc_ValueError, "Malformed PNG image data");
    return nullptr;
}

struct Header {
    // width, height, bitDepth, colorType, compression, filterMethod, interlace;
    // -1 until an IHDR chunk sets them.
    int32_t values[7] = {-1, -1, -1, -1, -1, -1, -1};
    int32_t width() const { return values[0]; }
    int32_t height() const { return values[1]; }
    int32_t bitDepth() const { return values[2]; }
    int32_t colorType() const { return values[3]; }
};

bool checkSignature(PyObject* stream) {
    Ref signature = readFrom(stream, 8);
    Ref expected = signature ? lookupGlobal(Name::PNG_SIGNATURE) : Ref();
    if (!expected) return false;
    int equal = PyObject_RichCompareBool(signature.get(), expected.get(), Py_EQ);
    if (equal < 0) return false;
    if (!equal) PyErr_SetString(PyExc_ValueError, "Unsupported PNG signature");
    return equal != 0;
}

// struct.unpack(">IIBBBBB", data), each value made a 32-bit int as it is assigned.
bool readHeader(PyObject* data, Header* header) {
    Ref fields[7];
    if (!structUnpack(">IIBBBBB", data, 7, fields)) return false;
    for (int i = 0; i < 7; ++i) {
        if (!toInt32(fields[i].get(), &header->values[i])) return false;
    }
    return true;
}

// Reads chunks until IEND or the end of the stream, keeping the IDAT data.
bool readChunks(PyObject* stream, Header* header, PyObject* idatChunks) {
    for (;;) {
        Ref readChunk = lookupGlobal(Name::_readChunk);
        Ref chunk = readChunk ? Ref::steal(PyObject_CallFunctionObjArgs(readChunk.get(), stream, nullptr)) : Ref();
        Ref typeAndData[2];
        if (!chunk || !unpackExactly(chunk.get(), 2, typeAndData)) return false;
        PyObject* chunkType = typeAndData[0].get();
        PyObject* data = typeAndData[1].get();
        bool is;
        if (!equalsBytes(chunkType, "", 0, &is)) return false;
        if (is) return true;
        if (!equalsBytes(chunkType, "IHDR", 4, &is)) return false;
        if (is) {
            if (!readHeader(data, header)) return false;
            continue;
        }
        if (!equalsBytes(chunkType, "IDAT", 4, &is)) return false;
        if (is) {
            if (PyList_Append(idatChunks, data) < 0) return false;
            continue;
        }
        if (!equalsBytes(chunkType, "IEND", 4, &is)) return false;
        if (is) return true;
        // Any other chunk is skipped; its CRC has been checked.
    }
}

bool checkHeader(const Header& header) {
    const char* problem = nullptr;
    for (int32_t value : header.values) {
        if (value == -1) problem = "Incomplete PNG header information";
    }
    if (problem == nullptr && header.bitDepth() != 8) {
        problem = "Only 8-bit PNG images are supported";
    } else if (problem == nullptr && header.colorType() != 2 && header.colorType() != 6) {
        problem = "Only RGB/RGBA PNG images are supported";
    } else if (problem == nullptr && (header.values[4] != 0 || header.values[5] != 0 || header.values[6] != 0)) {
        problem = "Unsupported PNG configuration (compression/filter/interlace)";
    }
    if (problem != nullptr) PyErr_SetString(PyExc_ValueError, problem);
    return problem == nullptr;
}

// The IDAT data in stream order as one object: b"".join(idatChunks), or the
// single chunk itself when there is only one.
Ref joinChunks(PyObject* idatChunks) {
    if (PyList_GET_SIZE(idatChunks) == 1 && PyBytes_CheckExact(PyList_GET_ITEM(idatChunks, 0))) {
        return Ref::borrow(PyList_GET_ITEM(idatChunks, 0));
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return Ref();
    return callMethod(empty.get(), Name::join, {idatChunks});
}

// Inflates the IDAT stream through the module's zlib, never producing more
// than expectedSize + 1 bytes: a stream that holds more is malformed whatever
// follows, and inflating it all would let a small file demand gigabytes.
Ref inflateBounded(PyObject* idatChunks, Py_ssize_t expectedSize) {
    Ref compressed = joinChunks(idatChunks);
    Ref zlib = compressed ? lookupGlobal(Name::zlib) : Ref();
    Ref inflater = zlib ? callMethod(zlib.get(), Name::decompressobj, {}) : Ref();
    Ref limit = newInt(expectedSize + 1);
    Ref raw = inflater ? callMethod(inflater.get(), Name::decompress, {compressed.get(), limit.get()}) : Ref();
    if (!raw) return Ref();
    Py_ssize_t length = PyObject_Length(raw.get());
    if (length < 0) return Ref();
    if (length > expectedSize) {
        raiseMalformed();
        return Ref();
    }
    Ref finished = Ref::steal(PyObject_GetAttr(inflater.get(), name(Name::eof)));
    int complete = finished ? PyObject_IsTrue(finished.get()) : -1;
    if (complete < 0) return Ref();
    if (!complete) {
        // A truncated or damaged stream: let zlib report it in its own words.
        // Everything was consumed within the bound, so this stays small.
        raw = callMethod(zlib.get(), Name::decompress, {compressed.get()});
    }
    return raw;
}

struct RowLayout {
    int64_t width;
    int64_t height;
    int64_t channels;
    int64_t rowStride;  // bytes of one reconstructed row
};

// Reconstructs every row of `raw` into `pixels` (RGB). Touches no Python
// object. Returns -1 on success, else the offending filter type.
int reconstructImage(const uint8_t* raw, const RowLayout& layout, uint8_t* pixels, uint8_t* rowBuffers) {
    const size_t rowStride = static_cast<size_t>(layout.rowStride);
    const size_t rgbStride = static_cast<size_t>(layout.width) * 3;
    const uint8_t* previous = nullptr;
    for (int64_t y = 0; y < layout.height; ++y) {
        const uint8_t* row = raw + y * (layout.rowStride + 1);
        // RGB rows are reconstructed in place; RGBA rows go through a buffer
        // and lose their alpha on the way into the image.
        uint8_t* out = layout.channels == 3 ? pixels + y * rgbStride : rowBuffers + (y & 1) * rowStride;
        if (!reconstructRow(row[0], row + 1, previous, rowStride, static_cast<size_t>(layout.channels), out)) {
            return row[0];
        }
        if (layout.channels == 4) rgbaToRgb(out, static_cast<size_t>(layout.width), pixels + y * rgbStride);
        previous = out;
    }
    return -1;
}

PyObject* decodeRows(PyObject* rawObject, const RowLayout& layout) {
    Ref pixels = Ref::steal(PyByteArray_FromStringAndSize(nullptr, layout.width * layout.height * 3));
    if (!pixels) return nullptr;
    RawBuffer rowBuffers;
    if (layout.channels == 4 && !rowBuffers.allocate(2 * static_cast<size_t>(layout.rowStride))) return nullptr;
    ByteView raw;
    if (!raw.acquire(rawObject)) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    adviseHugePages(out, static_cast<size_t>(PyByteArray_GET_SIZE(pixels.get())));
    int badFilter;
    if (raw.length() >= releaseGilAbove) {
        Py_BEGIN_ALLOW_THREADS
        badFilter = reconstructImage(raw.data(), layout, out, rowBuffers.data());
        Py_END_ALLOW_THREADS
    } else {
        badFilter = reconstructImage(raw.data(), layout, out, rowBuffers.data());
    }
    if (badFilter >= 0) {
        return PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", badFilter);
    }
    return Py_BuildValue("(iiO)", static_cast<int>(layout.width), static_cast<int>(layout.height), pixels.get());
}

}  // namespace

PyObject* loadPng(PyObject* stream) noexcept {
    if (!checkSignature(stream)) return nullptr;
    Header header;
    Ref idatChunks = Ref::steal(PyList_New(0));
    if (!idatChunks || !readChunks(stream, &header, idatChunks.get()) || !checkHeader(header)) return nullptr;
    RowLayout layout;
    layout.width = header.width();
    layout.height = header.height();
    layout.channels = header.colorType() == 2 ? 3 : 4;
    layout.rowStride = layout.width * layout.channels;
    int64_t expectedSize;
    if (__builtin_mul_overflow(layout.rowStride + 1, layout.height, &expectedSize) ||
        expectedSize > maxInflatedSize) {
        return raiseMalformed();
    }
    Ref raw = inflateBounded(idatChunks.get(), static_cast<Py_ssize_t>(expectedSize));
    if (!raw) return nullptr;
    Py_ssize_t rawLength = PyObject_Length(raw.get());
    if (rawLength < 0) return nullptr;
    if (rawLength != expectedSize) return raiseMalformed();
    return decodeRows(raw.get(), layout);
}

}  // namespace lumivex::png
