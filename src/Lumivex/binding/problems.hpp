// The one place where the codec's problem codes become Python exceptions,
// with the module's fixed messages and the standard modules' own words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../capi/errors.hpp"
#include "../../../codec/bmp/decode.hpp"
#include "../../../codec/png/decode.hpp"

namespace lumivex::binding {

// Raises what a PNG decode that ended with `outcome` raises (not overCap,
// which the caller raises with its own exception). A source failure keeps
// the exception already set, or else raises OSError from errno.
capi::Failure raisePngProblem(const png::PngOutcome& outcome) noexcept;

// Raises what a BMP decode that ended with `problem` raises.
capi::Failure raiseBmpProblem(bmp::BmpProblem problem, const bmp::BmpImage& image) noexcept;

// zlib.error as zlib.decompress raises it for `failure`.
capi::Failure raiseZlibError(const png::ZlibFailure& failure) noexcept;

}  // namespace lumivex::binding
