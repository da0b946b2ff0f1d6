// Lumivex._native: the package's private native helpers, beside the extension
// module proper. It holds the compact PNG encoder (per-row filter choice, then
// one deflate pass) and names the deflate library this build links.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../capi/buffer.hpp"
#include "../../capi/module.hpp"
#include "../../capi/ref.hpp"
#include "../../codec/png/deflate.hpp"
#include "../../codec/png/filter_select.hpp"
#include "../../codec/png/pieces.hpp"
#include "../../codec/png/predictors.hpp"
#include "capped_decode.hpp"
#include "share_tasks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>

using lumivex::capi::ByteView;
using lumivex::capi::RawBuffer;
using lumivex::capi::Ref;
using lumivex::shareTasks;
namespace png = lumivex::png;

namespace {

constexpr size_t bytesPerPixel = 3;
constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// PNG caps a chunk's length at 2^31 - 1; a longer zlib stream spans several IDAT chunks.
constexpr size_t maxChunkData = 0x7FFFFFFF;
constexpr size_t chunkFraming = 12;  // length, type, CRC

struct Image {
    const uint8_t* pixels;
    uint32_t width, height;
    size_t rowStride() const { return size_t(width) * bytesPerPixel; }
    size_t scanlineBytes() const { return size_t(height) * (rowStride() + 1); }
};

uint8_t* putBigEndian(uint8_t* out, uint32_t value) {
    for (int shift : {24, 16, 8, 0}) *out++ = static_cast<uint8_t>(value >> shift);
    return out;
}

// Writes one framed chunk at out and returns the end.
uint8_t* putChunk(uint8_t* out, const char type[4], const uint8_t* data, size_t length) {
    out = putBigEndian(out, static_cast<uint32_t>(length));
    std::memcpy(out, type, 4);
    if (length > 0) std::memcpy(out + 4, data, length);
    const uint32_t crc = png::updateCrc32(0, out, 4 + length);
    return putBigEndian(out + 4 + length, crc);
}

size_t idatChunkCount(size_t streamLength) { return streamLength == 0 ? 1 : (streamLength - 1) / maxChunkData + 1; }

size_t fileLength(size_t streamLength) {
    return sizeof signature + (chunkFraming + 13) + idatChunkCount(streamLength) * chunkFraming + streamLength +
           chunkFraming;
}

void putFile(const Image& image, const uint8_t* stream, size_t streamLength, uint8_t* out) {
    std::memcpy(out, signature, sizeof signature);
    out += sizeof signature;
    uint8_t ihdr[13];
    putBigEndian(putBigEndian(ihdr, image.width), image.height);
    const uint8_t depthAndMethods[5] = {8, 2, 0, 0, 0};  // 8-bit RGB, deflate, adaptive filtering, no interlace
    std::memcpy(ihdr + 8, depthAndMethods, 5);
    out = putChunk(out, "IHDR", ihdr, sizeof ihdr);
    size_t done = 0;
    do {
        const size_t piece = std::min(maxChunkData, streamLength - done);
        out = putChunk(out, "IDAT", stream + done, piece);
        done += piece;
    } while (done < streamLength);
    putChunk(out, "IEND", nullptr, 0);
}

// Deflate's matching pays on most pictures; on smooth noisy ones, whose filtered rows
// repeat little, seeking only runs is smaller as well as faster. The choice is made on
// evenly spaced strips of rows (on everything, for a small image).
constexpr size_t smallScanlines = size_t(1) << 20;
constexpr size_t sampleStrips = 8;
constexpr size_t stripTargetBytes = 48 * 1024;

size_t scratchBytes(size_t scanlineBytes, size_t lineBytes) {
    return png::zlibCompressBound(std::min(scanlineBytes, std::max(smallScanlines, lineBytes)));
}

enum class Method { matching, runs };
constexpr int defaultLevel = 6;

// Above smallScanlines, with two cores, a large image's rows are filtered in chunks and its
// stream deflated in pieces, both shared out between two threads.
bool worthTwoThreads(size_t len, size_t lineBytes) {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    return twoCores && len > smallScanlines && len / lineBytes >= 2;
}

// One piece for each thread: each cut costs the matches that would have reached across it,
// and more pieces gave no steadier times when another process kept a core busy.
constexpr size_t streamPieces = 2;
static_assert(streamPieces <= png::maxStreamPieces);

png::RowParts piecesOf(size_t len, size_t lineBytes) {
    const size_t rows = len / lineBytes;
    return {std::min(streamPieces, rows), rows, lineBytes};
}

// Room for the stream of len scanline bytes, whole or in pieces; 0 when too large.
size_t streamCapacity(size_t len, size_t lineBytes) {
    const size_t whole = png::zlibCompressBound(len);
    if (whole == 0 || !worthTwoThreads(len, lineBytes)) return whole;
    const size_t pieces = png::layOutPieces(piecesOf(len, lineBytes)).total;
    return pieces == 0 ? 0 : std::max(whole, pieces);
}

size_t compressPiece(Method method, int level, bool last, const uint8_t* src, size_t len, uint8_t* dst,
                     size_t cap) {
    return method == Method::runs ? png::compressDeflateRunsPiece(last, src, len, dst, cap)
                                  : png::compressDeflatePiece(level, last, src, len, dst, cap);
}

// The zlib stream of src as pieces deflated on two threads, or 0 if any failed.
size_t compressInPieces(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                        size_t cap) {
    const png::RowParts pieces = piecesOf(len, lineBytes);
    const png::PieceLayout layout = png::layOutPieces(pieces);
    // Every area lies within the buffer before any piece is written to one.
    if (layout.total == 0 || layout.total > cap) return 0;
    size_t written[streamPieces] = {0};
    uint32_t sums[streamPieces] = {0};
    shareTasks(pieces.count, [&](size_t i, size_t) {
        const uint8_t* piece = src + pieces.start(i);
        const size_t pieceLen = pieces.length(i);
        written[i] = compressPiece(method, level, i + 1 == pieces.count, piece, pieceLen, dst + layout.offset[i],
                                   layout.area[i]);
        sums[i] = png::updateAdler32(1, piece, pieceLen);
    });
    return png::joinPieces(layout, pieces, level, written, sums, dst);
}

size_t compressWith(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst,
                    size_t cap) {
    if (worthTwoThreads(len, lineBytes)) {
        const size_t written = compressInPieces(method, level, src, len, lineBytes, dst, cap);
        if (written != 0) return written;
    }
    return method == Method::runs ? png::compressZlibRuns(src, len, dst, cap)
                                  : png::compressZlib(level, src, len, dst, cap);
}

// Room for trial compressions: one area of `cap` bytes for a small image, two for a large
// one, whose trials run on two threads.
struct Scratch {
    uint8_t* data;
    size_t cap;
    uint8_t* area(size_t index) const { return data + index * cap; }
};

size_t scratchAreas(size_t scanlineBytes) { return scanlineBytes > smallScanlines ? 2 : 1; }

// The compressed size of evenly spaced strips of rows of a large image (len > smallScanlines),
// the strips shared out between two threads.
uint64_t sampledSize(Method method, int level, const uint8_t* src, size_t len, size_t lineBytes,
                     const Scratch& scratch) {
    const size_t height = len / lineBytes;
    const size_t stripRows = std::max<size_t>(1, stripTargetBytes / lineBytes);
    uint64_t sizes[sampleStrips] = {0};
    shareTasks(sampleStrips, [&](size_t strip, size_t worker) {
        const size_t firstRow = strip * (height - stripRows) / (sampleStrips - 1);
        sizes[strip] = compressWith(method, level, src + firstRow * lineBytes, stripRows * lineBytes, lineBytes,
                                    scratch.area(worker), scratch.cap);
    });
    uint64_t total = 0;
    for (uint64_t size : sizes) total += size;
    return total;
}

size_t compressBest(int level, const uint8_t* src, size_t len, size_t lineBytes, uint8_t* dst, size_t cap,
                    const Scratch& scratch) {
    if (len <= smallScanlines) {
        const size_t matched = png::compressZlib(level, src, len, dst, cap);
        const size_t runs = png::compressZlibRuns(src, len, scratch.data, scratch.cap);
        if (matched == 0 || runs == 0 || matched <= runs) return matched;
        std::memcpy(dst, scratch.data, runs);
        return runs;
    }
    const uint64_t runs = sampledSize(Method::runs, level, src, len, lineBytes, scratch);
    // A stronger level's matching is about never larger than the default level's, and far
    // slower: when the default level already beats runs, the stronger level's trial is spared.
    const bool defaultMatchingWins =
        level > defaultLevel && sampledSize(Method::matching, defaultLevel, src, len, lineBytes, scratch) <= runs;
    const bool runsSmaller =
        !defaultMatchingWins && runs < sampledSize(Method::matching, level, src, len, lineBytes, scratch);
    return compressWith(runsSmaller ? Method::runs : Method::matching, level, src, len, lineBytes, dst, cap);
}

// A large image's rows go in this many chunks to the two filtering threads.
constexpr size_t filterChunks = 8;

// Filters the image into out with `strategy`, a large image's rows in chunks shared out
// between two threads. False for an unknown strategy.
bool filterOnTwoThreads(const Image& image, int strategy, uint8_t* out) {
    const size_t stride = image.rowStride();
    if (!worthTwoThreads(image.scanlineBytes(), stride + 1))
        return png::filterImage(image.pixels, stride, image.height, bytesPerPixel, strategy, out);
    if (strategy != png::adaptiveFilter && !png::isKnownFilter(strategy)) return false;
    const png::RowParts chunks{std::min<size_t>(filterChunks, image.height), image.height, stride + 1};
    shareTasks(chunks.count, [&](size_t i, size_t) {
        png::filterImageRows(image.pixels, stride, chunks.firstRow(i), chunks.firstRow(i + 1), bytesPerPixel,
                             strategy, out + chunks.start(i));
    });
    return true;
}

// At the strongest level the adaptive choice is checked against no filtering at all,
// which keeps the exact colours of flat graphics as repeated strings: deflate finds
// those better than the small differences the per-row heuristic favours there.
// Each candidate is judged by a default-level deflate of sampled strips (of everything
// for a small image). The winner's scanlines are left in `scanlines`.
void chooseStrongestFilters(const Image& image, uint8_t* scanlines, uint8_t* unfiltered, const Scratch& scratch) {
    const size_t len = image.scanlineBytes(), lineBytes = image.rowStride() + 1;
    filterOnTwoThreads(image, png::adaptiveFilter, scanlines);
    filterOnTwoThreads(image, png::kNone, unfiltered);
    auto estimate = [&](const uint8_t* src) -> uint64_t {
        if (len <= smallScanlines) return png::compressZlib(defaultLevel, src, len, scratch.data, scratch.cap);
        return sampledSize(Method::matching, defaultLevel, src, len, lineBytes, scratch);
    };
    if (estimate(unfiltered) < estimate(scanlines)) std::memcpy(scanlines, unfiltered, len);
}

bool checkImage(int width, int height, Py_ssize_t pixelsLength) {
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "PNG cannot hold a %d x %d image: width and height must be at least 1",
                     width, height);
        return false;
    }
    const unsigned long long expected = static_cast<unsigned long long>(width) * height * bytesPerPixel;
    if (static_cast<unsigned long long>(pixelsLength) != expected) {
        PyErr_Format(PyExc_ValueError, "pixel buffer holds %zd bytes, but a %d x %d RGB image needs %llu",
                     pixelsLength, width, height, expected);
        return false;
    }
    return true;
}

// encodePng(width, height, pixels, level, strategy) -> bytes. level: 1..9 or
// strongestDeflateLevel; strategy: a filter type 0..4 or adaptiveFilter.
PyObject* encodePng(PyObject*, PyObject* args) {
    int width, height, level, strategy;
    PyObject* pixels;
    if (!PyArg_ParseTuple(args, "iiOii:encodePng", &width, &height, &pixels, &level, &strategy)) return nullptr;
    ByteView view;  // held to the end: a bytearray cannot be resized under the encode
    if (!view.acquire(pixels) || !checkImage(width, height, view.length())) return nullptr;
    const Image image{view.data(), uint32_t(width), uint32_t(height)};
    const size_t bound = streamCapacity(image.scanlineBytes(), image.rowStride() + 1);
    const size_t scratchCap = scratchBytes(image.scanlineBytes(), image.rowStride() + 1);
    const size_t areas = scratchAreas(image.scanlineBytes());
    const bool tryUnfiltered = level == png::strongestDeflateLevel && strategy == png::adaptiveFilter;
    RawBuffer scanlines, stream, scratch, unfiltered;
    if (bound == 0 || scratchCap == 0 || scratchCap > SIZE_MAX / areas) return PyErr_NoMemory();
    if (!scanlines.allocate(image.scanlineBytes()) || !stream.allocate(bound) || !scratch.allocate(scratchCap * areas) ||
        (tryUnfiltered && !unfiltered.allocate(image.scanlineBytes())))
        return nullptr;

    bool filtered;
    size_t streamLength;
    Py_BEGIN_ALLOW_THREADS
    const Scratch trials{scratch.data(), scratchCap};
    filtered = true;
    if (tryUnfiltered)
        chooseStrongestFilters(image, scanlines.data(), unfiltered.data(), trials);
    else
        filtered = filterOnTwoThreads(image, strategy, scanlines.data());
    streamLength = filtered ? compressBest(level, scanlines.data(), image.scanlineBytes(), image.rowStride() + 1,
                                           stream.data(), bound, trials)
                            : 0;
    Py_END_ALLOW_THREADS
    if (!filtered) return PyErr_Format(PyExc_ValueError, "unknown filter strategy %d", strategy);
    if (streamLength == 0) {
        if (level < png::minDeflateLevel || (level > png::maxDeflateLevel && level != png::strongestDeflateLevel))
            return PyErr_Format(PyExc_ValueError, "unknown compression level %d", level);
        return PyErr_NoMemory();  // the compressor could not get its working memory
    }

    const size_t total = fileLength(streamLength);
    if (total > size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    if (!file) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(file.get()));
    // No other code can see the new bytes object yet.
    Py_BEGIN_ALLOW_THREADS
    putFile(image, stream.data(), streamLength, out);
    Py_END_ALLOW_THREADS
    return file.release();
}

PyMethodDef nativeMethods[] = {
    {"encodePng", encodePng, METH_VARARGS,
     "encodePng(width, height, pixels, level, strategy) -> bytes: an 8-bit RGB PNG file"},
    {nullptr, nullptr, 0, nullptr},
};

int execNative(PyObject* module) {
    if (lumivex::native::bindCappedDecode(module) < 0) return -1;
    if (PyModule_AddStringConstant(module, "DEFLATE_BACKEND", png::deflateBackend()) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STRONGEST_LEVEL", png::strongestDeflateLevel) < 0) return -1;
    if (PyModule_AddIntConstant(module, "ADAPTIVE_FILTER", png::adaptiveFilter) < 0) return -1;
    return 0;
}

// A second interpreter is refused as the extension refuses it: the readers' state is per process.
PyObject* createNative(PyObject* importRecord, PyModuleDef*) { return lumivex::capi::createModule(importRecord); }

PyModuleDef_Slot nativeSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createNative)},
    {Py_mod_exec, reinterpret_cast<void*>(execNative)},
    {0, nullptr},
};

PyModuleDef nativeModule = {
    PyModuleDef_HEAD_INIT, "Lumivex._native", "Private native helpers of the Lumivex package.", 0, nativeMethods,
    nativeSlots, nullptr, nullptr, nullptr,
};

}  // namespace

// Exported by hand: the build hides every other symbol.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) { return PyModuleDef_Init(&nativeModule); }
