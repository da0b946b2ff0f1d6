// What the compact writer runs on a second thread, decided in one place: a
// large image's census, packing, filtering and deflating are each cut in
// parts and shared between the calling thread and one helper (see
// share_tasks.hpp); a small image's work stays on the calling thread, except
// for whole trials run two at once. Pure: no Python.
#pragma once

#include "../pieces.hpp"
#include "../../share_tasks.hpp"

#include <cstddef>

namespace lumivex::png::compact {

using lumivex::shareTasks;

// Whether the machine has a second core to share work with.
bool haveTwoCores() noexcept;

// Whether the work on len scanline bytes of lineBytes-byte rows is cut in
// parts for two threads: a large image (above smallScanlines) of two rows or
// more, on two cores.
bool worthTwoThreads(size_t len, size_t lineBytes) noexcept;

// Whether two whole trials on len bytes each run at once, one a thread.
bool trialsAtOnce(size_t len) noexcept;

// The pieces a stream of src[0, len) (rows of lineBytes) is deflated in: one a thread.
RowParts piecesOf(size_t len, size_t lineBytes) noexcept;

// The chunks a large image of `height` rows of lineBytes is filtered in.
RowParts filterChunksOf(size_t height, size_t lineBytes) noexcept;

}  // namespace lumivex::png::compact
