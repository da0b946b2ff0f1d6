#include "stream_source.hpp"

#include "../../../capi/buffer.hpp"
#include "../../../capi/calls.hpp"
#include "../../../capi/errors.hpp"

#include <algorithm>
#include <cstring>

using namespace lumivex::capi;

namespace lumivex::binding {

// A declared length is only a claim: no single read asks for more than this.
constexpr size_t largestRead = size_t(16) << 20;

bool StreamSource::read(uint8_t* into, size_t n, size_t* got) noexcept {
    *got = 0;
    while (*got < n) {
        const size_t ask = std::min(n - *got, largestRead);
        Ref data = readFrom(stream_, static_cast<long long>(ask));
        ByteView bytes;
        if (!data || !bytes.acquire(data.get())) return false;
        const size_t length = static_cast<size_t>(bytes.length());
        if (length > ask) return raise(PyExc_ValueError, "read() returned more bytes than requested");
        if (length != 0) std::memcpy(into + *got, bytes.data(), length);
        *got += length;
        at_ += length;
        if (length < ask) break;
    }
    return true;
}

bool StreamSource::seek(uint64_t position) noexcept {
    Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(position));
    Ref moved = offset ? callMethod(stream_, Name::seek, {offset.get()}) : Ref();
    if (!moved) return false;
    at_ = position;
    return true;
}

}  // namespace lumivex::binding
