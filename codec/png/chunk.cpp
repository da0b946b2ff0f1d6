// PNG chunk framing: 4-byte big-endian length, 4-byte type, data, and the
// CRC-32 of type then data (the length is not covered).
#include "png_codec.hpp"

#include "messages.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/errors.hpp"

#include <cstring>

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

Ref unpackBigEndianU32(PyObject* fourBytes) {
    Ref value[1];
    if (!structUnpack(">I", fourBytes, 1, value)) return Ref();
    return std::move(value[0]);
}

// zlib.crc32(chunkType), continued over data, masked to 32 bits.
Ref chunkCrc(PyObject* chunkType, PyObject* data) {
    Ref zlib = lookupGlobal(Name::zlib);
    if (!zlib) return Ref();
    Ref running = callMethod(zlib.get(), Name::crc32, {chunkType});
    Ref crc = running ? callMethod(zlib.get(), Name::crc32, {data, running.get()}) : Ref();
    Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
    if (!crc || !mask) return Ref();
    return Ref::steal(PyNumber_And(crc.get(), mask.get()));
}

// Reads `size` bytes; a result of another length raises `eofMessage`.
Ref readExactly(PyObject* stream, PyObject* size, Py_ssize_t expected, const char* eofMessage) {
    Ref result = callMethod(stream, Name::read, {size});
    if (!result) return failed;
    Py_ssize_t length = PyObject_Length(result.get());
    if (length < 0) return failed;
    if (length != expected) return raise(PyExc_ValueError, eofMessage);
    return result;
}

}  // namespace

PyObject* readChunk(PyObject* stream) noexcept {
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return nullptr;
    Ref lengthBytes = callMethod(stream, Name::read, {four.get()});
    if (!lengthBytes) return nullptr;
    Py_ssize_t lengthSize = PyObject_Length(lengthBytes.get());
    if (lengthSize < 0) return nullptr;
    if (lengthSize == 0) return Py_BuildValue("(y#y#)", "", Py_ssize_t(0), "", Py_ssize_t(0));
    if (lengthSize != 4) return raise(PyExc_ValueError, message::eofInLength);
    Ref length = unpackBigEndianU32(lengthBytes.get());
    if (!length) return nullptr;
    Ref chunkType = readExactly(stream, four.get(), 4, message::eofInType);
    if (!chunkType) return nullptr;
    Py_ssize_t dataLength = PyLong_AsSsize_t(length.get());
    if (dataLength == -1 && PyErr_Occurred()) return nullptr;
    Ref data = readExactly(stream, length.get(), dataLength, message::eofInData);
    if (!data) return nullptr;
    Ref crc = readExactly(stream, four.get(), 4, message::eofInCrc);
    if (!crc) return nullptr;
    Ref actualCrc = chunkCrc(chunkType.get(), data.get());
    Ref expectedCrc = actualCrc ? unpackBigEndianU32(crc.get()) : Ref();
    if (!expectedCrc) return nullptr;
    int same = PyObject_RichCompareBool(expectedCrc.get(), actualCrc.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) return raise(PyExc_ValueError, message::corruptedChunk);
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

PyObject* makeChunk(PyObject* chunkType, PyObject* data) noexcept {
    Ref dataLength = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    Ref length = structPack(">I", {dataLength.get()});
    if (!length) return nullptr;
    Ref crcValue = chunkCrc(chunkType, data);
    Ref crc = crcValue ? structPack(">I", {crcValue.get()}) : Ref();
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
