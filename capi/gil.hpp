// Running native work with the GIL released when it is long enough to pay
// for handing the lock over.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace lumivex::capi {

// Work over fewer bytes than this runs with the GIL held: releasing and
// retaking the lock would cost more than the work.
constexpr size_t gilReleaseBytes = 64 * 1024;

// Runs `work`, which covers `bytes` bytes, with the GIL released from
// gilReleaseBytes on. `work` touches no Python object, and the memory it
// reads and writes is nobody else's to change meanwhile.
template <typename Work>
inline void runNative(size_t bytes, Work&& work) {
    if (bytes >= gilReleaseBytes) {
        Py_BEGIN_ALLOW_THREADS
        work();
        Py_END_ALLOW_THREADS
    } else {
        work();
    }
}

}  // namespace lumivex::capi
