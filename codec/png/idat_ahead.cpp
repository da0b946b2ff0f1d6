#include "idat_ahead.hpp"

#include "deflate.hpp"

#include "../../capi/calls.hpp"
#include "../../capi/files.hpp"

#include <algorithm>
#include <cstring>

#if defined(__linux__) || defined(__APPLE__)
#include <sys/uio.h>
#define LUMIVEX_HAVE_PREADV 1
#endif

using namespace lumivex::capi;

namespace lumivex::png {
namespace {

// A run read in one call: each chunk takes two of the call's vectors (IOV_MAX is 1024).
constexpr size_t mostChunks = 512;
// The most data read ahead in one call, beyond a single chunk's.
constexpr size_t mostBytes = size_t(16) << 20;
// What follows a chunk's data: its CRC, then the next chunk's length and type.
constexpr size_t tailSize = 12;

// The most room reserved for a file's IDAT data before any of it is read.
constexpr size_t largestHint = size_t(1) << 30;

uint32_t bigEndian(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

void reserveForFile(RawBuffer& idat, size_t fileSize) noexcept {
    if (idat.capacity() == 0) idat.ByteBuffer::reserve(std::min(fileSize, largestHint));
}

long long IdatReadAhead::dataStart(size_t index) const noexcept {
    return firstData_ + static_cast<long long>(index) * (static_cast<long long>(chunks_[0].length) + tailSize);
}

void IdatReadAhead::start(PyObject* stream, size_t length, size_t idatRoom, RawBuffer& idat) noexcept {
    count_ = next_ = 0;
#if defined(LUMIVEX_HAVE_PREADV)
    int fd;
    size_t fileSize;
    if (length > UINT32_MAX || !regularFile(stream, &fd, &fileSize)) return;
    Ref at = callMethod(stream, Name::tell, {});
    const long long position = at ? PyLong_AsLongLong(at.get()) : -1;
    if (position < 0) {
        PyErr_Clear();
        return;
    }
    streamAt_ = resume_ = firstData_ = position;
    reserveForFile(idat, fileSize);
    const size_t wanted = std::min(chunksToRead(static_cast<long long>(fileSize) - position, length),
                                   length == 0 ? mostChunks : idatRoom / length);
    const size_t scratchSize = wanted * (sizeof(Chunk) + 2 * sizeof(iovec) + tailSize);
    if (wanted == 0 || !idat.ByteBuffer::reserve(idat.size() + wanted * length) || !scratch_.ByteBuffer::reserve(scratchSize)) {
        return;
    }
    chunks_ = reinterpret_cast<Chunk*>(scratch_.data());
    size_t count = 0;
    Py_BEGIN_ALLOW_THREADS
    count = readRun(fd, position, length, wanted, idat.data() + idat.size());
    Py_END_ALLOW_THREADS
    count_ = count;
#else
    (void)stream;
    (void)length;
    (void)idatRoom;
    (void)idat;
#endif
}

#if defined(LUMIVEX_HAVE_PREADV)
size_t IdatReadAhead::chunksToRead(long long remaining, size_t length) noexcept {
    // Only chunks wholly in the file are read: a declared length reserves no
    // more than the file holds.
    const long long dataAndCrc = static_cast<long long>(length) + 4;
    if (remaining < dataAndCrc) return 0;
    const size_t inFile = static_cast<size_t>(1 + (remaining - dataAndCrc) / (dataAndCrc + 8));
    return std::min({inFile, mostChunks, std::max<size_t>(1, mostBytes / std::max<size_t>(length, 1))});
}

size_t IdatReadAhead::readRun(int fd, long long position, size_t length, size_t wanted, uint8_t* data) noexcept {
    iovec* vectors = reinterpret_cast<iovec*>(chunks_ + wanted);
    uint8_t* tails = reinterpret_cast<uint8_t*>(vectors + 2 * wanted);
    for (size_t k = 0; k < wanted; ++k) {
        vectors[2 * k] = iovec{data + k * length, length};
        vectors[2 * k + 1] = iovec{tails + k * tailSize, tailSize};
    }
    const ssize_t got = preadv(fd, vectors, static_cast<int>(2 * wanted), static_cast<off_t>(position));
    size_t left = got > 0 ? static_cast<size_t>(got) : 0;
    const uint32_t idatCrc = updateCrc32(0, reinterpret_cast<const uint8_t*>("IDAT"), 4);
    size_t count = 0;
    for (size_t k = 0; k < wanted && left >= length + 4; ++k) {
        const uint8_t* tail = tails + k * tailSize;
        Chunk& chunk = chunks_[count++];
        chunk.length = static_cast<uint32_t>(length);
        std::memcpy(chunk.lengthBytes, k == 0 ? tail : tail - tailSize + 4, 4);  // the first's is unused
        std::memcpy(chunk.crcBytes, tail, 4);
        chunk.crc = updateCrc32(idatCrc, data + k * length, length);
        // The next chunk is in this run if its head is here and fits the guess.
        if (left < length + tailSize || bigEndian(tail + 4) != length || std::memcmp(tail + 8, "IDAT", 4) != 0) break;
        left -= length + tailSize;
    }
    return count;
}
#endif

void IdatReadAhead::take() noexcept {
    resume_ = dataStart(next_) + chunks_[next_].length + 4;
    ++next_;
}

void IdatReadAhead::takeHeadOnly() noexcept {
    resume_ = dataStart(next_);
    count_ = next_ = 0;
}

bool IdatReadAhead::rewind(PyObject* stream) noexcept {
    count_ = next_ = 0;
    if (resume_ == streamAt_) return true;
    Ref to = Ref::steal(PyLong_FromLongLong(resume_));
    Ref moved = to ? callMethod(stream, Name::seek, {to.get()}) : Ref();
    if (!moved) return false;
    streamAt_ = resume_;
    return true;
}

void IdatReadAhead::rewindKeepingError(PyObject* stream) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!rewind(stream)) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace lumivex::png
