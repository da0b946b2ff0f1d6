// PNG chunk framing: 4-byte big-endian length, 4-byte type, data, and the
// CRC-32 of type then data (the length is not covered).
#include "png_io.hpp"
#include "module_names.hpp"

#include "../../../codec/png/deflate.hpp"
#include "../../../codec/png/messages.hpp"
#include "standard_modules.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/module.hpp"
#include "../../../capi/errors.hpp"
#include "../../../capi/gil.hpp"
#include "../../../capi/files.hpp"

#include <algorithm>
#include <cstring>

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

Ref unpackBigEndianU32(PyObject* fourBytes) {
    Ref value[1];
    if (!binding::structUnpack(">I", fourBytes, 1, value)) return Ref();
    return std::move(value[0]);
}

// The largest single read of chunk data from a file: a declared length is only
// a claim, and the buffered reader reserves whatever it is asked for.
constexpr Py_ssize_t largestPiece = Py_ssize_t(16) << 20;

// Objects zlib.crc32 would read through the buffer protocol with nothing
// Python-visible happening: a native checksum of them cannot be told apart.
bool isPlainBytes(PyObject* object) { return PyBytes_CheckExact(object) || PyByteArray_CheckExact(object); }

// The CRC of the chunk type's bytes, then of the data's, which nothing else
// may change meanwhile (a held view: a bytearray cannot be resized while the
// GIL is released for long data).
Ref nativeCrc(PyObject* chunkType, PyObject* data) {
    ByteView type, payload;
    if (!type.acquire(chunkType) || !payload.acquire(data)) return Ref();
    uint32_t crc = updateCrc32(0, type.data(), static_cast<size_t>(type.length()));
    const size_t length = static_cast<size_t>(payload.length());
    runNative(length, [&] { crc = updateCrc32(crc, payload.data(), length); });
    return Ref::steal(PyLong_FromUnsignedLong(crc));
}

// zlib.crc32(chunkType), continued over data, masked to 32 bits; computed
// natively (type then data, nothing concatenated) when nobody could tell.
Ref chunkCrc(PyObject* chunkType, PyObject* data) {
    Ref zlib = binding::moduleZlib();
    if (!zlib) return Ref();
    if (isPlainBytes(chunkType) && isPlainBytes(data) && isGenuineZlib(zlib.get())) return nativeCrc(chunkType, data);
    Ref running = callMethod(zlib.get(), Name::crc32, {chunkType});
    Ref crc = running ? callMethod(zlib.get(), Name::crc32, {data, running.get()}) : Ref();
    Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
    if (!crc || !mask) return Ref();
    return Ref::steal(PyNumber_And(crc.get(), mask.get()));
}

// Reads up to `length` bytes from a plain file in pieces of at most
// largestPiece, until it has them all or the data ends, so that a declared
// length reserves no more memory than the file holds. One piece is returned
// as read gave it; several are joined once at the end.
Ref readInPieces(PyObject* stream, Py_ssize_t length) {
    const Py_ssize_t firstSize = std::min(length, largestPiece);
    Ref first = readFrom(stream, firstSize);
    if (!first || !PyBytes_CheckExact(first.get())) return first;
    Py_ssize_t have = PyBytes_GET_SIZE(first.get());
    if (have < firstSize || have == length) return first;
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces || PyList_Append(pieces.get(), first.get()) < 0) return failed;
    first.reset();
    while (have < length) {
        const Py_ssize_t ask = std::min(length - have, largestPiece);
        Ref piece = readFrom(stream, ask);
        // Not bytes: what a single read returning it would have led to.
        if (!piece || !PyBytes_CheckExact(piece.get())) return piece;
        const Py_ssize_t got = PyBytes_GET_SIZE(piece.get());
        if (PyList_Append(pieces.get(), piece.get()) < 0) return failed;
        have += got;
        if (got < ask) break;
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return empty ? callMethod(empty.get(), Name::join, {pieces.get()}) : Ref();
}

// Reads `size` bytes; a result of another length raises `eofMessage`.
Ref readExactly(PyObject* stream, PyObject* size, Py_ssize_t expected, const char* eofMessage) {
    Ref result = expected > largestPiece && isPlainBufferedReader(stream) ? readInPieces(stream, expected)
                                                                          : callMethod(stream, Name::read, {size});
    if (!result) return failed;
    Py_ssize_t length = PyObject_Length(result.get());
    if (length < 0) return failed;
    if (length != expected) return raise(PyExc_ValueError, eofMessage);
    return result;
}

// The chunk's length and type, read as _readChunk reads them; `end` at a
// clean end of the stream (nothing where a length would be).
struct ChunkHead {
    bool end = false;
    Ref length;  // the declared length as an int
    Py_ssize_t dataLength = 0;
    Ref type;
};

bool readHead(PyObject* stream, PyObject* four, ChunkHead* head) {
    Ref lengthBytes = callMethod(stream, Name::read, {four});
    if (!lengthBytes) return false;
    Py_ssize_t lengthSize = PyObject_Length(lengthBytes.get());
    if (lengthSize < 0) return false;
    if (lengthSize == 0) {
        head->end = true;
        return true;
    }
    if (lengthSize != 4) return raise(PyExc_ValueError, message::eofInLength);
    head->length = unpackBigEndianU32(lengthBytes.get());
    if (!head->length) return false;
    head->type = readExactly(stream, four, 4, message::eofInType);
    if (!head->type) return false;
    head->dataLength = PyLong_AsSsize_t(head->length.get());
    return !(head->dataLength == -1 && PyErr_Occurred());
}

// Reads the stored CRC, then compares it with the chunk's (zlib is looked
// up only once the stored one has been read).
bool checkCrc(PyObject* stream, PyObject* four, PyObject* chunkType, PyObject* data) {
    Ref crc = readExactly(stream, four, 4, message::eofInCrc);
    Ref actual = crc ? chunkCrc(chunkType, data) : Ref();
    Ref expected = actual ? unpackBigEndianU32(crc.get()) : Ref();
    if (!expected) return false;
    int same = PyObject_RichCompareBool(expected.get(), actual.get(), Py_EQ);
    if (same < 0) return false;
    if (!same) return raise(PyExc_ValueError, message::corruptedChunk);
    return true;
}

bool isIdat(PyObject* chunkType) {
    return PyBytes_CheckExact(chunkType) && PyBytes_GET_SIZE(chunkType) == 4 &&
           std::memcmp(PyBytes_AS_STRING(chunkType), "IDAT", 4) == 0;
}

// An IDAT chunk whose data could not all belong to the image.
bool exceedsRoom(const ChunkHead& head, size_t idatRoom) {
    return isIdat(head.type.get()) && head.dataLength >= 0 && static_cast<size_t>(head.dataLength) > idatRoom;
}

}  // namespace

PyObject* readChunk(PyObject* stream, size_t idatRoom) noexcept {
    Ref four = Ref::steal(PyLong_FromLong(4));
    ChunkHead head;
    if (!four || !readHead(stream, four.get(), &head)) return nullptr;
    if (head.end) return Py_BuildValue("(y#y#)", "", Py_ssize_t(0), "", Py_ssize_t(0));
    if (exceedsRoom(head, idatRoom)) return raise(PyExc_ValueError, message::malformed);
    Ref data = readExactly(stream, head.length.get(), head.dataLength, message::eofInData);
    if (!data || !checkCrc(stream, four.get(), head.type.get(), data.get())) return nullptr;
    return PyTuple_Pack(2, head.type.get(), data.get());
}

PyObject* makeChunk(PyObject* chunkType, PyObject* data) noexcept {
    Ref dataLength = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    Ref length = binding::structPack(">I", {dataLength.get()});
    if (!length) return nullptr;
    Ref crcValue = chunkCrc(chunkType, data);
    Ref crc = crcValue ? binding::structPack(">I", {crcValue.get()}) : Ref();
    if (!crc) return nullptr;
    PyObject* pieces[] = {length.get(), chunkType, data, crc.get()};
    Py_ssize_t total = 0;
    for (PyObject* piece : pieces) {
        if (!PyBytes_Check(piece)) {
            return raiseFormat(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(piece)->tp_name);
        }
        total += PyBytes_GET_SIZE(piece);
    }
    PyObject* chunk = PyBytes_FromStringAndSize(nullptr, total);
    if (chunk == nullptr) return nullptr;
    char* out = PyBytes_AS_STRING(chunk);
    adviseHugePages(out, static_cast<size_t>(total));
    for (PyObject* piece : pieces) {
        memcpy(out, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
        out += PyBytes_GET_SIZE(piece);
    }
    return chunk;
}

}  // namespace lumivex::png
