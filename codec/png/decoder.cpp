// The PNG reader: signature, chunks in any order (each CRC-checked by
// _readChunk), the IHDR checks, bounded inflation of the IDAT stream, then
// row reconstruction and the copy of R, G, B into a new pixel buffer.
#include "png_codec.hpp"

#include "filter.hpp"
#include "header.hpp"
#include "messages.hpp"

#include "../../capi/args.hpp"
#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/errors.hpp"

using namespace lumivex::capi;

namespace lumivex::png {

const char signatureBytes[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

namespace {

// Reconstructing rows of at least this many bytes runs without the GIL.
constexpr int64_t releaseGilAbove = 1 << 16;

Failure raiseMalformed() { return raise(PyExc_ValueError, message::malformed); }

bool checkSignature(PyObject* stream) {
    Ref signature = readFrom(stream, 8);
    Ref expected = signature ? lookupGlobal(Name::PNG_SIGNATURE) : Ref();
    if (!expected) return false;
    int equal = PyObject_RichCompareBool(signature.get(), expected.get(), Py_EQ);
    if (equal < 0) return false;
    if (!equal) return raise(PyExc_ValueError, message::unsupportedSignature);
    return true;
}

// struct.unpack(">IIBBBBB", data), each value made a 32-bit int as it is assigned.
bool readHeader(PyObject* data, Ihdr* header) {
    int32_t* const targets[] = {&header->width,       &header->height,       &header->bitDepth, &header->colorType,
                                &header->compression, &header->filterMethod, &header->interlace};
    constexpr int count = sizeof(targets) / sizeof(targets[0]);
    Ref fields[count];
    if (!structUnpack(">IIBBBBB", data, count, fields)) return false;
    for (int i = 0; i < count; ++i) {
        if (!toInt32(fields[i].get(), targets[i])) return false;
    }
    return true;
}

// Reads chunks until IEND or the end of the stream, keeping the IDAT data.
bool readChunks(PyObject* stream, Ihdr* header, PyObject* idatChunks) {
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

bool checkHeader(const Ihdr& header) {
    IhdrProblem problem = checkIhdr(header);
    if (problem != IhdrProblem::None) return raise(PyExc_ValueError, message::forProblem(problem));
    return true;
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
    if (length > expectedSize) return raiseMalformed();
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
    if (badFilter >= 0) return raiseFormat(PyExc_ValueError, message::unsupportedFilter, badFilter);
    return Py_BuildValue("(iiO)", static_cast<int>(layout.width), static_cast<int>(layout.height), pixels.get());
}

}  // namespace

PyObject* loadPng(PyObject* stream) noexcept {
    if (!checkSignature(stream)) return nullptr;
    Ihdr header;
    Ref idatChunks = Ref::steal(PyList_New(0));
    if (!idatChunks || !readChunks(stream, &header, idatChunks.get()) || !checkHeader(header)) return nullptr;
    const RowLayout layout = rowLayout(header);
    int64_t expectedSize;
    if (!inflatedSize(layout, &expectedSize)) return raiseMalformed();
    Ref raw = inflateBounded(idatChunks.get(), static_cast<Py_ssize_t>(expectedSize));
    if (!raw) return nullptr;
    Py_ssize_t rawLength = PyObject_Length(raw.get());
    if (rawLength < 0) return nullptr;
    if (rawLength != expectedSize) return raiseMalformed();
    return decodeRows(raw.get(), layout);
}

}  // namespace lumivex::png
