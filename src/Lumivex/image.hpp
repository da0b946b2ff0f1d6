// SimpleImage: the instance layout, construction, properties, pixel access and
// the open/save routing. The module's table (rasterCore_ext.cpp) binds these
// implementations and defines the type object from them.
#pragma once

#include "../../capi/function.hpp"
#include "../../capi/ref.hpp"

#include <cstdint>

namespace lumivex::image {

using capi::Arg;

struct SimpleImage {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;  // an exact bytearray, or null for None
};

// tp_new: parses `args`/`keywords` by `signature` (width, height, pixels),
// checks the length and copies the pixels into a new instance of `type`.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* keywords,
                    const capi::Signature& signature) noexcept;
void deallocate(PyObject* self) noexcept;

inline SimpleImage* asImage(PyObject* object) { return reinterpret_cast<SimpleImage*>(object); }
inline PyObject* pixelsOrNone(SimpleImage* image) { return image->pixels != nullptr ? image->pixels : Py_None; }

// A new instance of `type` from Python width, height and pixels, the length
// checked; `adopt` keeps a bytearray nobody else can see instead of copying it.
capi::Ref constructImage(PyTypeObject* type, PyObject* width, PyObject* height, PyObject* pixels, bool adopt);

// size, width, height, _pixels.
extern PyGetSetDef properties[];

// The class members, in the table's order.
PyObject* streamToImage(PyObject* cls, const Arg* args) noexcept;
PyObject* open(PyObject* cls, const Arg* args) noexcept;
PyObject* getPixel(PyObject* self, const Arg* args) noexcept;
PyObject* putPixel(PyObject* self, const Arg* args) noexcept;
PyObject* copy(PyObject* self, const Arg* args) noexcept;
PyObject* save(PyObject* self, const Arg* args) noexcept;
PyObject* saveBmp(PyObject* self, const Arg* args) noexcept;
// __reduce__ and __setstate__: an image is duplicated with copy(), never pickled.
PyObject* refusePickling(PyObject* self, const Arg* args) noexcept;

}  // namespace lumivex::image
