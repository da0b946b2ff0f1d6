// The BMP writer: "BM" file header, BITMAPINFOHEADER, then the rows bottom
// row first as BGR padded to four bytes, 2835 pixels per metre.
//
// Both headers are packed, the buffer's length is checked and the batch
// buffers are allocated before the file is opened, so a failure that can be
// foreseen never truncates an existing file; the rows go out a quarter
// megabyte or so per write.
#include "bmp_io.hpp"
#include "module_names.hpp"

#include <algorithm>

#include "../../../codec/bmp/header.hpp"
#include "../../../codec/bmp/rows.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/context.hpp"
#include "../../../capi/errors.hpp"
#include "../../../capi/gil.hpp"

using namespace lumivex::capi;

namespace lumivex::bmp {
namespace {

struct Headers {
    Ref fileHeader;  // the 12 bytes after "BM"
    Ref infoHeader;  // the 40-byte BITMAPINFOHEADER
};

bool packHeaders(int32_t width, int32_t height, long long rowStride, Headers* headers) {
    const int64_t imageBytes = pixelArraySize(rowStride, height);
    Ref zero = newInt(0), offset = newInt(pixelDataOffset), size = newInt(fileSize(imageBytes));
    headers->fileHeader = binding::structPack("<IHHI", {size.get(), zero.get(), zero.get(), offset.get()});
    if (!headers->fileHeader) return false;
    Ref headerSize = newInt(infoHeaderSize), w = newInt(width), h = newInt(height), one = newInt(1),
        bits = newInt(bitsPerPixel), imageSize = newInt(imageBytes), resolution = newInt(pixelsPerMetre);
    headers->infoHeader = binding::structPack("<IIIHHIIIIII", {headerSize.get(), w.get(), h.get(), one.get(), bits.get(), zero.get(),
                                                      imageSize.get(), resolution.get(), resolution.get(), zero.get(),
                                                      zero.get()});
    return static_cast<bool>(headers->infoHeader);
}

// A buffer shorter than the rows fails as reading past a bytearray's end would.
Failure raiseIndexError() { return raise(PyExc_IndexError, "bytearray index out of range"); }

// The stored rows go out in batches of whole rows of at least this many bytes
// (or all the rows, when fewer), a row wider than that in pieces of about this
// size: a few write calls per megabyte instead of one per row, for the cost of
// one batch-sized buffer.
constexpr size_t batchTarget = 256 * 1024;

// The image being stored, as the batches see it.
struct StoredRows {
    const uint8_t* rgb;  // width * height * 3 bytes, top row first
    size_t width;
    size_t rows;
    size_t padBytes;
    size_t rowStride;  // > 0

    bool wholeRows() const { return rowStride <= batchTarget; }
    size_t rowsPerBatch() const { return (batchTarget + rowStride - 1) / rowStride; }
    static constexpr size_t piecePixels = batchTarget / 3;

    // The size of the write that starts at `at`.
    size_t batchAt(const StoredRowsCursor& at) const {
        if (wholeRows()) return std::min(rowsPerBatch(), static_cast<size_t>(at.row) + 1) * rowStride;
        const size_t left = width - at.pixel;
        return left > piecePixels ? 3 * piecePixels : 3 * left + padBytes;
    }
    // Every write is one of two sizes: the first of a run (of rows, or of a
    // wide row's pieces) and the last of it.
    size_t firstBatch() const { return batchAt({static_cast<int64_t>(rows) - 1, 0}); }
    size_t lastBatch() const {
        if (wholeRows()) return batchAt({static_cast<int64_t>((rows - 1) % rowsPerBatch()), 0});
        return 3 * ((width - 1) % piecePixels + 1) + padBytes;
    }
};

// Both batch buffers, made before the file is opened so that running out of
// memory cannot cut a file short.
struct Batches {
    Ref first, last;
    bool allocate(const StoredRows& image) {
        first = newPixelBuffer(static_cast<Py_ssize_t>(image.firstBatch()));
        if (!first) return false;
        const size_t lastSize = image.lastBatch();
        last = lastSize == image.firstBatch() ? Ref::borrow(first.get()) : newPixelBuffer(static_cast<Py_ssize_t>(lastSize));
        return static_cast<bool>(last);
    }
    PyObject* forSize(size_t size) const {
        return static_cast<size_t>(PyByteArray_GET_SIZE(first.get())) == size ? first.get() : last.get();
    }
};

// Rows bottom first. The caller's buffer export keeps the pixels in place
// while the writes let other threads run.
bool writeRows(PyObject* output, const StoredRows& image, const Batches& batches) {
    StoredRowsCursor at{static_cast<int64_t>(image.rows) - 1, 0};
    while (at.row >= 0) {
        PyObject* batch = batches.forSize(image.batchAt(at));
        // The batch's own size bounds the conversion; by construction it is
        // exactly what the batch holds.
        const size_t size = static_cast<size_t>(PyByteArray_GET_SIZE(batch));
        uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(batch));
        runNative(size, [&] { storeRowsBottomUp(image.rgb, image.width, image.padBytes, &at, out, size); });
        if (!callMethod(output, Name::write, {batch})) return false;
    }
    return true;
}

bool writeFile(PyObject* path, const Headers& headers, const StoredRows* image, const Batches& batches) {
    return withOpenFile(path, "wb", [&](PyObject* output) {
        Ref magic = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
        return magic && callMethod(output, Name::write, {magic.get()}) &&
               callMethod(output, Name::write, {headers.fileHeader.get()}) &&
               callMethod(output, Name::write, {headers.infoHeader.get()}) &&
               (image == nullptr || writeRows(output, *image, batches));
    });
}

}  // namespace

PyObject* writeBmp(PyObject* path, int32_t width, int32_t height, PyObject* pixels) noexcept {
    long long rowStride = storedRowStride(width);
    Ref buffer = asByteArray(pixels);
    Headers headers;
    if (!buffer || !packHeaders(width, height, rowStride, &headers)) return nullptr;
    // Held until the file is written: another thread cannot resize the
    // buffer under the rows (it gets a BufferError instead), and only the
    // length of this view, not what len() says, bounds the reads.
    ByteView view;
    if (!view.acquire(buffer.get())) return nullptr;
    // Packing refuses negative dimensions, so this product is exact.
    uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (static_cast<uint64_t>(view.length()) < needed) return raiseIndexError();
    // Rows of width 0 are empty: the file is the headers alone.
    const bool hasRows = height > 0 && rowStride > 0;
    StoredRows image{view.data(), static_cast<size_t>(width), static_cast<size_t>(height),
                     static_cast<size_t>(rowStride) - 3 * static_cast<size_t>(width), static_cast<size_t>(rowStride)};
    Batches batches;
    if (hasRows && !batches.allocate(image)) return nullptr;
    if (!writeFile(path, headers, hasRows ? &image : nullptr, batches)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lumivex::bmp
