// A Python binary stream as a byte source: read(n) and seek(offset) called
// on it, with the GIL held. A failure leaves its exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../codec/byte_source.hpp"

namespace lumivex::binding {

class StreamSource final : public ByteSource {
public:
    // `start`: the stream's position now.
    StreamSource(PyObject* stream, uint64_t start) noexcept : stream_(stream), at_(start) {}

    // What read(n) returned, copied: it must be bytes-like, of at most n bytes.
    bool read(uint8_t* into, size_t n, size_t* got) noexcept override;
    bool seek(uint64_t position) noexcept override;
    uint64_t position() const noexcept override { return at_; }

private:
    PyObject* stream_;  // borrowed
    uint64_t at_;
};

}  // namespace lumivex::binding
