// PNG chunk framing: 4-byte big-endian length, 4-byte type, data, and the
// CRC-32 of type then data (the length is not covered).
#include "png_codec.hpp"

#include "deflate.hpp"
#include "messages.hpp"
#include "zlib_module.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/errors.hpp"
#include "../../capi/gil.hpp"
#include "../../capi/files.hpp"

#include <algorithm>
#include <cstring>

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

Ref unpackBigEndianU32(PyObject* fourBytes) {
    Ref value[1];
    if (!structUnpack(">I", fourBytes, 1, value)) return Ref();
    return std::move(value[0]);
}

// The largest single read of chunk data from a file: a declared length is only
// a claim, and the buffered reader reserves whatever it is asked for.
constexpr Py_ssize_t largestPiece = Py_ssize_t(16) << 20;

// Objects zlib.crc32 would read through the buffer protocol with nothing
// Python-visible happening: a native checksum of them cannot be told apart.
bool isPlainBytes(PyObject* object) { return PyBytes_CheckExact(object) || PyByteArray_CheckExact(object); }

// The CRC of the chunk type's bytes, then of data[0, length), which nothing
// else may change meanwhile (the GIL is released for long data).
Ref nativeCrc(PyObject* chunkType, const uint8_t* data, size_t length) {
    ByteView type;
    if (!type.acquire(chunkType)) return Ref();
    uint32_t crc = updateCrc32(0, type.data(), static_cast<size_t>(type.length()));
    runNative(length, [&] { crc = updateCrc32(crc, data, length); });
    return Ref::steal(PyLong_FromUnsignedLong(crc));
}

Ref nativeCrc(PyObject* chunkType, PyObject* data) {
    // A held view: a bytearray cannot be resized while the GIL is released.
    ByteView payload;
    if (!payload.acquire(data)) return Ref();
    return nativeCrc(chunkType, payload.data(), static_cast<size_t>(payload.length()));
}

// zlib.crc32(chunkType), continued over data, masked to 32 bits; computed
// natively (type then data, nothing concatenated) when nobody could tell.
Ref chunkCrc(PyObject* chunkType, PyObject* data) {
    Ref zlib = lookupGlobal(Name::zlib);
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

// Compares the stored CRC's four bytes with actualCrc() (called only once the
// stored one has been read, as zlib is looked up there).
template <typename ActualCrc>
bool compareCrc(PyObject* crc, ActualCrc actualCrc) {
    Ref actual = actualCrc();
    Ref expected = actual ? unpackBigEndianU32(crc) : Ref();
    if (!expected) return false;
    int same = PyObject_RichCompareBool(expected.get(), actual.get(), Py_EQ);
    if (same < 0) return false;
    if (!same) return raise(PyExc_ValueError, message::corruptedChunk);
    return true;
}

// Reads the stored CRC, then compares it.
template <typename ActualCrc>
bool checkCrc(PyObject* stream, PyObject* four, ActualCrc actualCrc) {
    Ref crc = readExactly(stream, four, 4, message::eofInCrc);
    return crc && compareCrc(crc.get(), actualCrc);
}

// Reads `length` bytes of chunk data from a plain file onto the end of `into`
// with readinto, in pieces of at most largestPiece (so that a declared length
// reserves no more than the file holds, as readExactly does); raises the
// end-of-data error if the file ends first.
bool readDataInto(PyObject* stream, Py_ssize_t length, RawBuffer& into) {
    const size_t start = into.size();
    int fd;
    size_t fileSize;
    if (into.capacity() == 0 && regularFile(stream, &fd, &fileSize)) reserveForFile(into, fileSize);
    Py_ssize_t have = 0;
    while (have < length) {
        const Py_ssize_t ask = std::min(length - have, largestPiece);
        if (!into.reserve(start + static_cast<size_t>(have + ask))) return false;
        char* at = reinterpret_cast<char*>(into.data() + start + have);
        Ref view = Ref::steal(PyMemoryView_FromMemory(at, ask, PyBUF_WRITE));
        Ref got = view ? callMethod(stream, Name::readinto, {view.get()}) : Ref();
        // The view must not outlive the memory it shows, which may move.
        Ref released = got ? callMethod(view.get(), Name::release, {}) : Ref();
        if (!released) return false;
        // None: a non-blocking file with nothing to read yet, where read() would
        // have returned None for the reader to take len() of.
        if (got.get() == Py_None) return PyObject_Length(Py_None) >= 0;
        const Py_ssize_t count = PyNumber_AsSsize_t(got.get(), PyExc_OverflowError);
        if (count == -1 && PyErr_Occurred()) return false;
        have += count;
        if (count < ask) break;
    }
    if (have != length) return raise(PyExc_ValueError, message::eofInData);
    into.setSize(start + static_cast<size_t>(length));
    return true;
}

// chunkCrc of the type and of data held natively (`known` when it has been
// computed already); a copy of the data as bytes goes to zlib.crc32 when the
// module's zlib is not the interpreter's own.
Ref gatheredCrc(PyObject* chunkType, const uint8_t* data, size_t length, const uint32_t* known = nullptr) {
    Ref zlib = lookupGlobal(Name::zlib);
    if (!zlib) return Ref();
    if (isGenuineZlib(zlib.get()) && isPlainBytes(chunkType)) {
        return known ? Ref::steal(PyLong_FromUnsignedLong(*known)) : nativeCrc(chunkType, data, length);
    }
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length)));
    return copy ? chunkCrc(chunkType, copy.get()) : Ref();
}

// The head of a chunk read ahead, made into what readHead makes of it.
bool headFromRun(const IdatReadAhead::Chunk& chunk, ChunkHead* head) {
    Ref lengthBytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.lengthBytes), 4));
    head->length = lengthBytes ? unpackBigEndianU32(lengthBytes.get()) : Ref();
    if (!head->length) return false;
    head->type = Ref::steal(PyBytes_FromStringAndSize("IDAT", 4));
    if (!head->type) return false;
    head->dataLength = PyLong_AsSsize_t(head->length.get());
    return !(head->dataLength == -1 && PyErr_Occurred());
}

// The chunk read ahead that is waiting, taken: its CRC checked as checkCrc
// would check it, its data added to what has been gathered.
bool takeReadAhead(IdatReadAhead& ahead, PyObject* chunkType, RawBuffer& idat) {
    const IdatReadAhead::Chunk chunk = ahead.front();
    ahead.take();
    Ref stored = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.crcBytes), 4));
    const uint8_t* data = idat.data() + idat.size();
    if (!stored || !compareCrc(stored.get(), [&] { return gatheredCrc(chunkType, data, chunk.length, &chunk.crc); })) {
        return false;
    }
    idat.setSize(idat.size() + chunk.length);
    return true;
}

// A chunk other than IDAT, read whole as _readChunk reads it.
bool readWholeChunk(PyObject* stream, PyObject* four, ChunkHead& head, Ref* chunkType, Ref* data) {
    *data = readExactly(stream, head.length.get(), head.dataLength, message::eofInData);
    if (!*data || !checkCrc(stream, four, [&] { return chunkCrc(head.type.get(), data->get()); })) return false;
    *chunkType = std::move(head.type);
    return true;
}

// An IDAT chunk's data read through the stream onto the end of `idat`, then its CRC checked.
bool readIdatData(PyObject* stream, PyObject* four, const ChunkHead& head, RawBuffer& idat) {
    const size_t start = idat.size();
    if (!readDataInto(stream, head.dataLength, idat)) return false;
    const uint8_t* gathered = idat.data() + start;
    return checkCrc(stream, four, [&] { return gatheredCrc(head.type.get(), gathered, idat.size() - start); });
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
    if (!data || !checkCrc(stream, four.get(), [&] { return chunkCrc(head.type.get(), data.get()); })) return nullptr;
    return PyTuple_Pack(2, head.type.get(), data.get());
}

bool readChunkGathering(PyObject* stream, RawBuffer& idat, IdatReadAhead& ahead, size_t idatRoom,
                        Ref* chunkType, Ref* data) noexcept {
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return false;
    ChunkHead head;
    const bool inRun = ahead.ready();
    if (inRun) {
        if (!headFromRun(ahead.front(), &head)) return false;
    } else {
        if (!ahead.rewind(stream) || !readHead(stream, four.get(), &head)) return false;
        if (head.end) {
            *chunkType = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
            return bool(*chunkType);
        }
        if (!isIdat(head.type.get())) return readWholeChunk(stream, four.get(), head, chunkType, data);
        if (exceedsRoom(head, idatRoom)) return raise(PyExc_ValueError, message::malformed);
        if (head.dataLength >= 0) ahead.start(stream, static_cast<size_t>(head.dataLength), idatRoom, idat);
    }
    bool read;
    if (ahead.ready() && static_cast<Py_ssize_t>(ahead.front().length) == head.dataLength) {
        read = takeReadAhead(ahead, head.type.get(), idat);
    } else {
        // A head of the run, unpacked as the stream's would be, that disagrees
        // with it: the data is read through the stream after all.
        if (inRun) ahead.takeHeadOnly();
        read = ahead.rewind(stream) && readIdatData(stream, four.get(), head, idat);
    }
    if (!read) return false;
    *chunkType = std::move(head.type);
    return true;
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
