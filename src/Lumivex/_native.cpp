// Lumivex._native: the package's private native helpers, beside the extension
// module proper: the compact PNG encoder's binding (the encoder itself is in
// codec/png/compact/), the name of the deflate library this build
// links, and the capped decode behind Lumivex.open (capped_decode.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "capped_decode.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/errors.hpp"
#include "../../capi/function.hpp"
#include "../../capi/module.hpp"
#include "../../capi/ref.hpp"
#include "../../codec/peek.hpp"
#include "../../codec/png/compact/encoder.hpp"
#include "../../codec/png/deflate.hpp"
#include "../../codec/png/filter_select.hpp"
#include "../../codec/png/framing.hpp"

#include <cstdint>

using namespace lumivex::capi;
namespace png = lumivex::png;
namespace compact = lumivex::png::compact;

namespace {

constexpr size_t bytesPerPixel = 3;

bool checkImage(int32_t width, int32_t height, Py_ssize_t pixelsLength) {
    if (width < 1 || height < 1) {
        return raiseFormat(PyExc_ValueError, "PNG cannot hold a %d x %d image: width and height must be at least 1",
                           width, height);
    }
    const unsigned long long expected = static_cast<unsigned long long>(width) * height * bytesPerPixel;
    if (static_cast<unsigned long long>(pixelsLength) != expected) {
        return raiseFormat(PyExc_ValueError, "pixel buffer holds %zd bytes, but a %d x %d RGB image needs %llu",
                           pixelsLength, width, height, expected);
    }
    return true;
}

Failure raiseStatus(compact::CompactStatus status, const compact::CompactPlan& plan) {
    switch (status) {
        case compact::CompactStatus::unknownLevel:
            return raiseFormat(PyExc_ValueError, "unknown compression level %d", static_cast<int>(plan.level));
        case compact::CompactStatus::unknownFilter:
            return raiseFormat(PyExc_ValueError, "unknown filter strategy %d", static_cast<int>(plan.strategy));
        case compact::CompactStatus::outOfMemory:
        case compact::CompactStatus::ok:
            break;
    }
    return raiseNoMemory();
}

// encodePng(width, height, pixels, level, strategy, colour) -> bytes: a PNG file of
// the RGB pixels. level: 1..9 or STRONGEST_LEVEL; strategy: a filter type 0..4 or
// ADAPTIVE_FILTER; colour: COLOUR_AUTO (the smallest layout that holds the image
// exactly) or COLOUR_RGB (8-bit RGB).
PyObject* encodePng(PyObject*, const Arg* args) noexcept {
    ByteView view;  // held to the end: a bytearray cannot be resized under the encode
    if (!view.acquire(args[2].object) || !checkImage(args[0].int32, args[1].int32, view.length())) return nullptr;
    const int colour = args[5].int32;
    if (colour != int(compact::ColourChoice::automatic) && colour != int(compact::ColourChoice::rgb)) {
        return raiseFormat(PyExc_ValueError, "unknown colour choice %d", colour);
    }
    const int strategy = args[4].int32;
    if (strategy < 0 || strategy > int(png::FilterStrategy::adaptive)) {
        return raiseFormat(PyExc_ValueError, "unknown filter strategy %d", strategy);
    }
    const compact::CompactPlan plan{view.data(), uint32_t(args[0].int32), uint32_t(args[1].int32),
                                    png::DeflateLevel(args[3].int32), png::FilterStrategy(strategy),
                                    compact::ColourChoice(colour)};
    compact::CompactStatus status = compact::checkCompactPlan(plan);
    if (status != compact::CompactStatus::ok) return raiseStatus(status, plan);
    compact::CompactStream stream;
    Py_BEGIN_ALLOW_THREADS
    status = compact::encodeCompactStream(plan, &stream);
    Py_END_ALLOW_THREADS
    if (status != compact::CompactStatus::ok) return raiseStatus(status, plan);

    const size_t total = png::pngFileLength(stream.layout(), stream.length());
    if (total > size_t(PY_SSIZE_T_MAX)) return raiseNoMemory();
    Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    if (!file) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(file.get()));
    // No other code can see the new bytes object yet.
    Py_BEGIN_ALLOW_THREADS
    png::putPngFile(plan.width, plan.height, stream.layout(), stream.data(), stream.length(), out);
    Py_END_ALLOW_THREADS
    return file.release();
}

constexpr Param encodeParams[] = {{"width", ParamKind::Int32},
                                  {"height", ParamKind::Int32},
                                  {"pixels", ParamKind::Any},
                                  {"level", ParamKind::Int32},
                                  {"strategy", ParamKind::Int32},
                                  {"colour", ParamKind::Int32}};
constexpr FunctionDef encodeDef{"encodePng", Kind::ModuleFunction, params(encodeParams), encodePng, noNotes};

int execNative(PyObject* module) {
    if (lumivex::native::bindCappedDecode(module) < 0) return -1;
    Ref moduleName = Ref::steal(PyUnicode_FromString("Lumivex._native"));
    if (!moduleName || !bindFunction(PyModule_GetDict(module), encodeDef, moduleName.get())) return -1;
    if (PyModule_AddStringConstant(module, "DEFLATE_BACKEND", png::deflateBackend()) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STRONGEST_LEVEL", int(png::DeflateLevel::strongest)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "ADAPTIVE_FILTER", int(png::FilterStrategy::adaptive)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "COLOUR_AUTO", int(compact::ColourChoice::automatic)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "COLOUR_RGB", int(compact::ColourChoice::rgb)) < 0) return -1;
    if (PyModule_AddIntConstant(module, "PEEK_BYTES", static_cast<long>(lumivex::peekBytes)) < 0) return -1;
    return 0;
}

// A second interpreter is refused as the extension refuses it: the readers' state is per process.
PyObject* createNative(PyObject* importRecord, PyModuleDef*) { return createModule(importRecord); }

PyModuleDef_Slot nativeSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createNative)},
    {Py_mod_exec, reinterpret_cast<void*>(execNative)},
    {0, nullptr},
};

PyModuleDef nativeModule = {
    PyModuleDef_HEAD_INIT, "Lumivex._native", "Private native helpers of the Lumivex package.", 0, nullptr,
    nativeSlots, nullptr, nullptr, nullptr,
};

}  // namespace

// Exported by hand: the build hides every other symbol.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) { return PyModuleDef_Init(&nativeModule); }
