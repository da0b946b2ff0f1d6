// The PNG reader behind _loadPng. After the signature it picks its route
// once: when the module's own _readChunk, struct and zlib are in force and
// the stream is one the codec can read itself (native_stream.hpp), the codec
// walks the chunks and decodes the image, and the stream is left where
// reading it chunk by chunk would have left it. Otherwise every chunk comes
// through the name _readChunk, looked up for each one, the IHDR through the
// name struct, and the IDAT stream is inflated through the name zlib, or by
// the codec when that is the interpreter's own zlib.
#include "png_io.hpp"
#include "module_names.hpp"

#include "native_stream.hpp"
#include "png_decode.hpp"
#include "standard_modules.hpp"

#include "../../../capi/args.hpp"
#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/module.hpp"
#include "../../../capi/errors.hpp"
#include "../../../capi/function.hpp"
#include "../../../capi/gil.hpp"
#include "../../../codec/png/header.hpp"
#include "../../../codec/png/messages.hpp"
#include "../../../codec/png/reconstruct.hpp"

#include <algorithm>

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

Failure raiseMalformed() { return raise(PyExc_ValueError, message::malformed); }

bool checkSignature(PyObject* stream) {
    Ref signature = readFrom(stream, 8);
    Ref expected = signature ? binding::pngSignature() : Ref();
    if (!expected) return false;
    int equal = PyObject_RichCompareBool(signature.get(), expected.get(), Py_EQ);
    if (equal < 0) return false;
    if (!equal) return raise(PyExc_ValueError, message::unsupportedSignature);
    return true;
}

// --- the route through the module's names

// struct.unpack(">IIBBBBB", data), each value made a 32-bit int as it is assigned.
bool readHeader(PyObject* data, Ihdr* header) {
    int32_t* const targets[] = {&header->width,       &header->height,       &header->bitDepth, &header->colorType,
                                &header->compression, &header->filterMethod, &header->interlace};
    constexpr int count = sizeof(targets) / sizeof(targets[0]);
    Ref fields[count];
    if (!binding::structUnpack(">IIBBBBB", data, count, fields)) return false;
    for (int i = 0; i < count; ++i) {
        if (!toInt32(fields[i].get(), targets[i])) return false;
    }
    return true;
}

// The IDAT chunks' data objects in stream order, joined once at the end.
class IdatObjects {
public:
    bool append(PyObject* data) {
        if (PyBytes_Check(data)) bytes_ += static_cast<size_t>(PyBytes_GET_SIZE(data));
        if (PyByteArray_Check(data)) bytes_ += static_cast<size_t>(PyByteArray_GET_SIZE(data));
        if (!list_) list_ = Ref::steal(PyList_New(0));
        return list_ && PyList_Append(list_.get(), data) == 0;
    }
    // How much has been gathered (objects that are not bytes-like count nothing).
    size_t size() const { return bytes_; }
    // b"".join of them all (the one object itself when it is exactly bytes).
    Ref join() {
        if (!list_) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (PyList_GET_SIZE(list_.get()) == 1 && PyBytes_CheckExact(PyList_GET_ITEM(list_.get(), 0))) {
            return Ref::borrow(PyList_GET_ITEM(list_.get(), 0));
        }
        Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        return empty ? callMethod(empty.get(), Name::join, {list_.get()}) : Ref();
    }

private:
    Ref list_;
    size_t bytes_ = 0;
};

// One chunk through the module's _readChunk, looked up for each chunk.
bool nextChunk(PyObject* stream, size_t idatRoom, Ref* chunkType, Ref* data) {
    Ref chunk = binding::readChunkThroughName(stream, idatRoom);
    Ref typeAndData[2];
    if (!chunk || !unpackExactly(chunk.get(), 2, typeAndData)) return false;
    *chunkType = std::move(typeAndData[0]);
    *data = std::move(typeAndData[1]);
    return true;
}

// Reads chunks until IEND or the end of the stream, keeping the IDAT data, no
// more of it than can belong to the image of the header in force, nor, with a
// cap, to the largest image under it.
bool readChunks(PyObject* stream, Ihdr* header, IdatObjects& idat, const CappedDecode& capped) {
    bool haveHeader = false;
    for (;;) {
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(idatLimit(*header, haveHeader, capped.limits), SIZE_MAX));
        const size_t room = idat.size() < limit ? limit - idat.size() : 0;
        Ref type, data;
        if (!nextChunk(stream, room, &type, &data)) return false;
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
            if (!idat.append(data.get())) return false;
            if (idat.size() > limit) return raiseMalformed();
            continue;
        }
        if (!equalsBytes(chunkType, "IEND", 4, &is)) return false;
        if (is) return true;
        // Any other chunk is skipped; its CRC has been checked.
    }
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

// Rebuilds the rows of the inflated data the module's zlib returned.
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
    if (badFilter >= 0) return raiseFormat(PyExc_ValueError, message::unsupportedFilter, badFilter);
    return Py_BuildValue("(iiO)", static_cast<int>(layout.width), static_cast<int>(layout.height), pixels.get());
}

// The IDAT stream inflated and the rows rebuilt: by the codec when the
// module's zlib is the interpreter's own, else through it.
PyObject* decodeIdat(PyObject* compressed, const RowLayout& layout, int64_t expectedSize) {
    Ref zlib = binding::moduleZlib();
    if (!zlib) return nullptr;
    if (expectedSize >= 0 && PyBytes_CheckExact(compressed) && isGenuineZlib(zlib.get())) {
        return binding::decodeIdat(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(compressed)),
                                   static_cast<size_t>(PyBytes_GET_SIZE(compressed)),
                                   binding::subsetPlan(layout, expectedSize));
    }
    Ref raw = inflateBounded(zlib.get(), compressed, static_cast<Py_ssize_t>(expectedSize));
    if (!raw) return nullptr;
    Py_ssize_t rawLength = PyObject_Length(raw.get());
    if (rawLength < 0) return nullptr;
    if (rawLength != expectedSize) return raiseMalformed();
    return decodeRows(raw.get(), layout, expectedSize);
}

PyObject* loadThroughNames(PyObject* stream, const CappedDecode& capped) {
    Ihdr header;
    IdatObjects idat;
    if (!readChunks(stream, &header, idat, capped)) return nullptr;
    // The cap holds for the header used, checked before its other fields.
    const bool haveHeader = header.width != -1 && header.height != -1;
    if (capped.overCap && haveHeader && !capped.check(header.width, header.height)) return nullptr;
    IhdrProblem problem = checkIhdr(header);
    if (problem != IhdrProblem::None) return raise(PyExc_ValueError, message::forProblem(problem));
    capped.used = header;
    const RowLayout layout = rowLayout(header);
    int64_t expectedSize;
    if (!inflatedSize(layout, &expectedSize)) return raiseMalformed();
    Ref compressed = idat.join();
    return compressed ? decodeIdat(compressed.get(), layout, expectedSize) : nullptr;
}

}  // namespace

PyObject* loadPng(PyObject* stream, const CappedDecode& capped) noexcept {
    if (!checkSignature(stream)) return nullptr;
    if (binding::ownPngReadersInForce()) {
        binding::NativeStream native;
        if (native.open(stream)) {
            Ref triple = Ref::steal(binding::decodePng(native.source(), true, binding::PngStart::chunks, capped));
            return native.leave() ? triple.release() : nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return loadThroughNames(stream, capped);
}

}  // namespace lumivex::png
