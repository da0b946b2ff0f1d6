// A Python stream whose bytes the codec can read itself, with nothing
// Python-visible happening: a regular file under a plain file object from
// the built-in open() (read with pread from the stream's position), or an
// exact io.BytesIO (its buffer read where it lies). Afterwards the stream is
// moved to where the codec's reads ended, so that it stands where reading
// it through its own methods would have left it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/buffer.hpp"
#include "../../../codec/file_source.hpp"

#include <memory>

namespace lumivex::binding {

class NativeStream {
public:
    // False when the stream is anything else (no exception set), or when
    // asking it where it stands fails (the exception set).
    bool open(PyObject* stream) noexcept;
    ByteSource& source() noexcept { return *source_; }
    // Moves the stream to the source's position; a pending exception is
    // kept (one from the seek then dropped). False with an exception set.
    bool leave() noexcept;

private:
    PyObject* stream_ = nullptr;  // borrowed
    std::unique_ptr<ByteSource> source_;
    capi::Ref buffer_;       // a BytesIO's exported buffer
    capi::ByteView view_;    // held while the source reads it
};

}  // namespace lumivex::binding
