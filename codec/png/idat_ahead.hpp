// IDAT chunks of a regular file read ahead, many in one system call.
//
// Encoders write a picture's data as a run of IDAT chunks of one length
// (Pillow 64 KiB, libpng 8 KiB), and reading each chunk's head, data and CRC
// through the stream costs more than the copy of the data itself. Once the
// head of an IDAT chunk has been read, its data and the chunks after it are
// read with one preadv, on the guess that they are IDAT chunks of the same
// length: each chunk's data goes onto the end of the gathered IDAT data, its
// CRC and the next chunk's length and type aside. The run ends at the first
// chunk the guess does not fit, or that the file ends within.
//
// preadv leaves the stream where it was. The reader takes the chunks read
// ahead one by one, in order; before the stream is read again (rewind), it is
// moved to just after the chunks taken, so that everything read through it
// afterwards is what it would have been without reading ahead.
#pragma once

#include "../../capi/buffer.hpp"

#include <cstdint>

namespace lumivex::png {

// Room for all the IDAT data a file of `fileSize` bytes can hold, reserved in
// `idat` before any is gathered (when there is room) so that gathering never
// moves it. Pages reserved but never written cost nothing; a sparse or growing
// file may claim more than memory holds, so the room is capped, and without
// it the buffer grows as the data comes.
void reserveForFile(capi::RawBuffer& idat, size_t fileSize) noexcept;

class IdatReadAhead {
public:
    struct Chunk {
        uint32_t length;           // the data's length, as the guess had it
        uint8_t lengthBytes[4];    // as stored (the first chunk's head was read through the stream)
        uint8_t crcBytes[4];       // the stored CRC
        uint32_t crc;              // the CRC-32 of b"IDAT" and the data
    };

    // Whether a chunk read ahead is waiting: its data lies at the end of the
    // gathered IDAT data (past its size).
    bool ready() const noexcept { return next_ < count_; }
    const Chunk& front() const noexcept { return chunks_[next_]; }

    // With the stream just past the head of an IDAT chunk of `length` bytes,
    // reads that chunk and the run after it when the stream is a regular file
    // that holds its data and CRC and there is room; otherwise (or if
    // anything fails, the error dropped) leaves nothing waiting, for the
    // stream to read the chunk as it would have. No more than `idatRoom`
    // bytes of data are read: what lies beyond cannot belong to the image.
    void start(PyObject* stream, size_t length, size_t idatRoom, capi::RawBuffer& idat) noexcept;

    // The waiting chunk is taken: its head (for all but the run's first) and
    // its data and CRC count as read.
    void take() noexcept;
    // The waiting chunk's head counts as read, the rest as unread (its data
    // is to be read through the stream after all); nothing waits any more.
    void takeHeadOnly() noexcept;

    // Moves the stream to just after what has been taken and forgets the
    // chunks still waiting. False, with the exception set, if the seek fails.
    bool rewind(PyObject* stream) noexcept;
    // rewind on the way out of a failure: the pending exception is kept, and
    // one from the seek is dropped.
    void rewindKeepingError(PyObject* stream) noexcept;

private:
    capi::RawBuffer scratch_;  // the chunks, then room for the system call's vectors and tails
    Chunk* chunks_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;
    long long streamAt_ = 0;   // where the stream is
    long long resume_ = 0;     // where it would be without reading ahead
    long long firstData_ = 0;  // where the run's first chunk's data starts

    long long dataStart(size_t index) const noexcept;
    // How many chunks of `length` bytes to read ahead with `remaining` bytes left in the file.
    static size_t chunksToRead(long long remaining, size_t length) noexcept;
    // Reads up to `wanted` chunks' data and tails from `position` (no GIL needed), the data to
    // `data` on; fills chunks_ with those that fit the run and returns how many.
    size_t readRun(int fd, long long position, size_t length, size_t wanted, uint8_t* data) noexcept;
};

}  // namespace lumivex::png
