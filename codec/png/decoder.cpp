// The PNG reader: signature, chunks in any order (each CRC-checked by
// _readChunk), the IHDR checks, bounded inflation of the IDAT stream, then
// row reconstruction and the copy of R, G, B into a new pixel buffer.
// With the interpreter's own zlib behind the module's name, the stream is
// inflated natively into one buffer where the rows are then rebuilt.
#include "png_codec.hpp"

#include "deflate.hpp"
#include "filter.hpp"
#include "reconstruct.hpp"
#include "header.hpp"
#include "idat_data.hpp"
#include "messages.hpp"
#include "zlib_module.hpp"

#include "../../capi/args.hpp"
#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/errors.hpp"
#include "../../capi/files.hpp"
#include "../../capi/function.hpp"
#include "../../capi/gil.hpp"

#include <algorithm>

using namespace lumivex::capi;

namespace lumivex::png {

namespace {

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

// One chunk through the module's _readChunk, looked up for each chunk: natively
// when it is the module's own (an IDAT chunk of more than idatRoom bytes then
// refused at its head), the data gathered where it lands when the stream is a
// plain file; else by calling it.
bool nextChunk(PyObject* stream, IdatData& idat, size_t idatRoom, Ref* chunkType, Ref* data) {
    Ref readChunk = lookupGlobal(Name::_readChunk);
    if (!readChunk) return false;
    const bool own = isOwnFunction(readChunk.get(), "_readChunk");
    if (own && isPlainFile(stream)) {
        return readChunkGathering(stream, idat.gathered, idat.ahead, idatRoom, chunkType, data);
    }
    if (!idat.ahead.rewind(stream)) return false;
    Ref chunk = Ref::steal(own ? png::readChunk(stream, idatRoom)
                               : PyObject_CallFunctionObjArgs(readChunk.get(), stream, nullptr));
    Ref typeAndData[2];
    if (!chunk || !unpackExactly(chunk.get(), 2, typeAndData)) return false;
    *chunkType = std::move(typeAndData[0]);
    *data = std::move(typeAndData[1]);
    return true;
}

// Reads chunks until IEND or the end of the stream, keeping the IDAT data, no
// more of it than can belong to the image of the header in force, nor, with a
// cap, to the largest image under it.
bool readChunksUntilEnd(PyObject* stream, Ihdr* header, IdatData& idat, const CappedDecode& capped) {
    bool haveHeader = false;
    for (;;) {
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(idatLimit(*header, haveHeader, capped.limits), SIZE_MAX));
        const size_t room = idat.size() < limit ? limit - idat.size() : 0;
        Ref type, data;
        if (!nextChunk(stream, idat, room, &type, &data)) return false;
        PyObject* chunkType = type.get();
        bool is;
        if (!equalsBytes(chunkType, "", 0, &is)) return false;
        if (is) return true;
        if (!equalsBytes(chunkType, "IHDR", 4, &is)) return false;
        if (is) {
            if (!readHeader(data.get(), header)) return false;
            haveHeader = true;
            continue;
        }
        if (!equalsBytes(chunkType, "IDAT", 4, &is)) return false;
        if (is) {
            // Data read natively is already in idat.gathered.
            if (data && !idat.append(data.get())) return false;
            if (idat.size() > limit) return raiseMalformed();
            continue;
        }
        if (!equalsBytes(chunkType, "IEND", 4, &is)) return false;
        if (is) return true;
        // Any other chunk is skipped; its CRC has been checked.
    }
}

// readChunksUntilEnd; a failure leaves the stream where reading it chunk by
// chunk would have left it.
bool readChunks(PyObject* stream, Ihdr* header, IdatData& idat, const CappedDecode& capped) {
    if (readChunksUntilEnd(stream, header, idat, capped)) return true;
    idat.ahead.rewindKeepingError(stream);
    return false;
}

bool checkHeader(const Ihdr& header) {
    IhdrProblem problem = checkIhdr(header);
    if (problem != IhdrProblem::None) return raise(PyExc_ValueError, message::forProblem(problem));
    return true;
}

// Inflates the IDAT stream through the module's zlib, never producing more
// than expectedSize + 1 bytes: a stream that holds more is malformed whatever
// follows, and inflating it all would let a small file demand gigabytes.
Ref inflateBounded(PyObject* zlib, PyObject* compressed, Py_ssize_t expectedSize) {
    Ref inflater = callMethod(zlib, Name::decompressobj, {});
    Ref limit = newInt(expectedSize + 1);
    Ref raw = inflater ? callMethod(inflater.get(), Name::decompress, {compressed, limit.get()}) : Ref();
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
        raw = callMethod(zlib, Name::decompress, {compressed});
    }
    return raw;
}

Failure raiseBadFilter(int filterType) { return raiseFormat(PyExc_ValueError, message::unsupportedFilter, filterType); }

PyObject* imageTriple(const RowLayout& layout, PyObject* pixels) {
    return Py_BuildValue("(iiO)", static_cast<int>(layout.width), static_cast<int>(layout.height), pixels);
}

PyObject* decodeRows(PyObject* rawObject, const RowLayout& layout, int64_t expectedSize) {
    // The rows are read from the buffer the object exports, whatever its len() said.
    ByteView raw;
    if (!raw.acquire(rawObject)) return nullptr;
    if (raw.length() != expectedSize) return raiseMalformed();
    Ref pixels = newPixelBuffer(layout.width * layout.height * 3);
    if (!pixels) return nullptr;
    RawBuffer rowBuffers;
    if (layout.channels == 4 && !rowBuffers.allocate(2 * static_cast<size_t>(layout.rowStride))) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    adviseHugePages(out, static_cast<size_t>(PyByteArray_GET_SIZE(pixels.get())));
    int badFilter;
    runNative(static_cast<size_t>(raw.length()),
              [&] { badFilter = reconstructImage(raw.data(), layout, out, rowBuffers.data()); });
    if (badFilter >= 0) return raiseBadFilter(badFilter);
    return imageTriple(layout, pixels.get());
}

// --- the native path, taken only when nobody can tell it from the one above

// Deflate cannot expand its input much more than 1032 times (a 258-byte match
// in two bits); with some slack for the stream's framing. Data too short to
// fill the image goes the bounded way, whose error is the one to give.
bool couldFill(size_t compressedLength, int64_t expectedSize) {
    constexpr uint64_t maxExpansion = 1032, framingSlack = 64;
    return static_cast<uint64_t>(expectedSize) / maxExpansion <= compressedLength + framingSlack;
}

enum class Native { decoded, failed, fallBack };

// Inflates `compressed` straight into a scanline buffer of exactly expectedSize
// bytes and reconstructs the rows there, then shrinks the buffer to the pixels:
// the peak is the IDAT data plus one scanline buffer. Any outcome other than a
// complete stream, a short one (malformed whichever way it is inflated) or a bad
// filter goes back to the bounded path through the module's zlib, which gives
// the same result and zlib's own errors in zlib's own words.
Native decodeNatively(const uint8_t* input, size_t inputLength, const RowLayout& layout, int64_t expectedSize,
                      Ref* triple) {
    if (!couldFill(inputLength, expectedSize)) return Native::fallBack;
    Ref scanlines = newPixelBuffer(static_cast<Py_ssize_t>(expectedSize));
    RawBuffer rowBuffers;
    if (!scanlines || (layout.channels == 4 && !rowBuffers.allocate(2 * static_cast<size_t>(layout.rowStride)))) {
        PyErr_Clear();  // the bounded path needs less, and fails in its own way if it must
        return Native::fallBack;
    }
    uint8_t* buffer = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines.get()));
    const size_t size = static_cast<size_t>(expectedSize);
    adviseHugePages(buffer, size);
    InflateCounts counts;
    InflateStatus status;
    int badFilter = -1;
    // The input (a bytes object or the reader's own buffer) cannot change, and
    // the new buffer is nobody else's.
    Py_BEGIN_ALLOW_THREADS
    status = inflateInto(input, inputLength, buffer, size, &counts);
    if (status == InflateStatus::complete) badFilter = reconstructImageInPlace(buffer, layout, rowBuffers.data());
    Py_END_ALLOW_THREADS
    if (status == InflateStatus::shortOutput) {
        (void)raiseMalformed();
        return Native::failed;
    }
    if (status != InflateStatus::complete) return Native::fallBack;
    if (badFilter >= 0) {
        (void)raiseBadFilter(badFilter);
        return Native::failed;
    }
    const size_t pixelBytes = static_cast<size_t>(layout.width * layout.height * 3);
    const Py_ssize_t allocated = reinterpret_cast<PyByteArrayObject*>(scanlines.get())->ob_alloc;
    if (PyByteArray_Resize(scanlines.get(), static_cast<Py_ssize_t>(pixelBytes)) < 0) return Native::failed;
    // A bytearray shrunk by less than half keeps its allocation: an RGBA
    // image would hold a quarter more than its pixels for its whole life.
    // When the allocation is unchanged, its unused pages go back (the byte
    // after the pixels is the bytearray's terminating zero).
    if (reinterpret_cast<PyByteArrayObject*>(scanlines.get())->ob_alloc == allocated &&
        reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines.get())) == buffer) {
        releaseUnusedPages(buffer, pixelBytes + 1, size);
    }
    *triple = Ref::steal(imageTriple(layout, scanlines.get()));
    return *triple ? Native::decoded : Native::failed;
}

}  // namespace

PyObject* loadPng(PyObject* stream, const CappedDecode& capped) noexcept {
    if (!checkSignature(stream)) return nullptr;
    Ihdr header;
    IdatData idat;
    if (!readChunks(stream, &header, idat, capped)) return nullptr;
    // The cap holds for the header used, checked before its other fields.
    const bool haveHeader = header.width != -1 && header.height != -1;
    if (capped.overCap && haveHeader && !capped.check(header.width, header.height)) return nullptr;
    if (!checkHeader(header)) return nullptr;
    capped.colorType = header.colorType;
    const RowLayout layout = rowLayout(header);
    int64_t expectedSize;
    if (!inflatedSize(layout, &expectedSize)) return raiseMalformed();
    // The IDAT data is held once: gathered where it was read, the single
    // chunk itself, or the chunks joined, after which the list of them goes.
    if (!idat.finish()) return nullptr;
    Ref zlib = lookupGlobal(Name::zlib);
    if (!zlib) return nullptr;
    size_t inputLength;
    const uint8_t* input = idat.bytes(&inputLength);
    if (expectedSize >= 0 && input != nullptr && isGenuineZlib(zlib.get())) {
        Ref triple;
        switch (decodeNatively(input, inputLength, layout, expectedSize, &triple)) {
            case Native::decoded: return triple.release();
            case Native::failed: return nullptr;
            case Native::fallBack: break;
        }
    }
    PyObject* compressed = idat.object();  // borrowed
    if (!compressed) return nullptr;
    Ref raw = inflateBounded(zlib.get(), compressed, static_cast<Py_ssize_t>(expectedSize));
    if (!raw) return nullptr;
    Py_ssize_t rawLength = PyObject_Length(raw.get());
    if (rawLength < 0) return nullptr;
    if (rawLength != expectedSize) return raiseMalformed();
    return decodeRows(raw.get(), layout, expectedSize);
}

}  // namespace lumivex::png
