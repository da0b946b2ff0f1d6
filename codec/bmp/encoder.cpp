// The BMP writer: "BM" file header, BITMAPINFOHEADER, then the rows bottom
// row first as BGR padded to four bytes, 2835 pixels per metre.
//
// Both headers are packed and the buffer's length is checked before the file
// is opened, so a failure that can be foreseen never truncates an existing
// file; the rows go out with one write each.
#include "bmp_codec.hpp"

#include "header.hpp"
#include "rows.hpp"

#include "../../capi/calls.hpp"
#include "../../capi/context.hpp"
#include "../../capi/errors.hpp"

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
    headers->fileHeader = structPack("<IHHI", {size.get(), zero.get(), zero.get(), offset.get()});
    if (!headers->fileHeader) return false;
    Ref headerSize = newInt(infoHeaderSize), w = newInt(width), h = newInt(height), one = newInt(1),
        bits = newInt(bitsPerPixel), imageSize = newInt(imageBytes), resolution = newInt(pixelsPerMetre);
    headers->infoHeader = structPack("<IIIHHIIIIII", {headerSize.get(), w.get(), h.get(), one.get(), bits.get(), zero.get(),
                                                      imageSize.get(), resolution.get(), resolution.get(), zero.get(),
                                                      zero.get()});
    return static_cast<bool>(headers->infoHeader);
}

// A buffer shorter than the rows fails as reading past a bytearray's end would.
Failure raiseIndexError() { return raise(PyExc_IndexError, "bytearray index out of range"); }

// Rows bottom first; the buffer is re-read for every row because a write
// releases the GIL and another thread may change the bytearray meanwhile.
bool writeRows(PyObject* output, PyObject* buffer, int32_t width, int32_t height, long long rowStride) {
    const size_t rgbBytes = static_cast<size_t>(width) * 3;
    const size_t padBytes = static_cast<size_t>(rowStride) - rgbBytes;
    for (long long y = static_cast<long long>(height) - 1; y >= 0; --y) {
        size_t start = static_cast<size_t>(y) * rgbBytes;
        if (static_cast<size_t>(PyByteArray_GET_SIZE(buffer)) < start + rgbBytes) return raiseIndexError();
        Ref row = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rowStride)));
        if (!row) return false;
        rgbToStoredRow(reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(buffer)) + start,
                       static_cast<size_t>(width), padBytes, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(row.get())));
        if (!callMethod(output, Name::write, {row.get()})) return false;
    }
    return true;
}

bool writeFile(PyObject* path, const Headers& headers, PyObject* buffer, int32_t width, int32_t height,
               long long rowStride) {
    return withOpenFile(path, "wb", [&](PyObject* output) {
        Ref magic = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
        return magic && callMethod(output, Name::write, {magic.get()}) &&
               callMethod(output, Name::write, {headers.fileHeader.get()}) &&
               callMethod(output, Name::write, {headers.infoHeader.get()}) &&
               writeRows(output, buffer, width, height, rowStride);
    });
}

}  // namespace

PyObject* writeBmp(PyObject* path, int32_t width, int32_t height, PyObject* pixels) noexcept {
    long long rowStride = storedRowStride(width);
    Ref buffer = asByteArray(pixels);
    Headers headers;
    if (!buffer || !packHeaders(width, height, rowStride, &headers)) return nullptr;
    // Packing refuses negative dimensions, so this product is exact.
    uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
    if (static_cast<uint64_t>(PyByteArray_GET_SIZE(buffer.get())) < needed) return raiseIndexError();
    if (!writeFile(path, headers, buffer.get(), width, height, rowStride)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace lumivex::bmp
