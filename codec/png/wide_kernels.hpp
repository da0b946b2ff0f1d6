// The instruction sets the row reconstruction's wide kernels come in.
#pragma once

namespace lumivex::png {

enum class WideKernels { scalar, sse2, sse41 };

}  // namespace lumivex::png
