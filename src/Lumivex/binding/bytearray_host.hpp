// The host of a codec decode for Python: the image a new bytearray, made
// with the GIL held; the rest of the decode with the GIL released where
// nothing Python is touched: all of it for a source the codec reads
// natively, else the long work alone (a Python stream is read with it held).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/buffer.hpp"
#include "../../../capi/gil.hpp"
#include "../../../codec/decode_host.hpp"

namespace lumivex::binding {

class BytearrayHost final : public DecodeHost {
public:
    explicit BytearrayHost(bool nativeSource) noexcept : nativeSource_(nativeSource) {}

    capi::Ref image;  // the buffer made, once asked for

    // Runs the decode, with the GIL released throughout for a native source;
    // returns with it held.
    template <typename Decode>
    auto run(Decode decode) noexcept {
        if (!nativeSource_) return decode();
        saved_ = PyEval_SaveThread();
        auto result = decode();
        PyEval_RestoreThread(saved_);
        saved_ = nullptr;
        return result;
    }

    uint8_t* imageBuffer(size_t bytes) noexcept override {
        const bool released = saved_ != nullptr;
        if (released) PyEval_RestoreThread(saved_);
        image = capi::newPixelBuffer(static_cast<Py_ssize_t>(bytes));
        uint8_t* buffer = image ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(image.get())) : nullptr;
        if (buffer != nullptr) capi::adviseHugePages(buffer, bytes);
        if (released) saved_ = PyEval_SaveThread();
        return buffer;
    }

    void beginLongWork(size_t bytes) noexcept override {
        if (saved_ != nullptr || bytes < capi::gilReleaseBytes) return;
        saved_ = PyEval_SaveThread();
        releasedForWork_ = true;
    }

    void endLongWork() noexcept override {
        if (!releasedForWork_) return;
        PyEval_RestoreThread(saved_);
        saved_ = nullptr;
        releasedForWork_ = false;
    }

private:
    bool nativeSource_;
    bool releasedForWork_ = false;
    PyThreadState* saved_ = nullptr;
};

}  // namespace lumivex::binding
