// SimpleImage: construction, properties and pixel access. Opening and saving,
// which route to the codecs, are in image_io.cpp.
#include "image.hpp"
#include "image_messages.hpp"

#include "../../capi/buffer.hpp"
#include "../../capi/calls.hpp"
#include "../../capi/errors.hpp"
#include "../../capi/module.hpp"

#include <cstring>

using namespace lumivex::capi;

namespace lumivex::image {
namespace {

// bytearray(pixels): a new buffer, copied straight from the bytes when
// `pixels` is exactly bytes or bytearray.
Ref copyPixels(PyObject* pixels) {
    if (!PyBytes_CheckExact(pixels) && !PyByteArray_CheckExact(pixels)) {
        return Ref::steal(PyByteArray_FromObject(pixels));
    }
    ByteView view;
    if (!view.acquire(pixels)) return failed;
    Ref copy = newPixelBuffer(view.length());
    if (copy && view.length() > 0) std::memcpy(PyByteArray_AS_STRING(copy.get()), view.data(), view.length());
    return copy;
}

// Checks `pixels` against the dimensions and stores the image's own copy.
// `adopt` hands over a bytearray that nobody else can see, which saves the copy.
bool fillImage(SimpleImage* image, int32_t width, int32_t height, PyObject* pixels, bool adopt) {
    Py_ssize_t length = PyObject_Length(pixels);
    if (length < 0) return false;
    // length == width * height * 3 without overflow: |width * height| < 2^62.
    if (length % 3 != 0 || length / 3 != static_cast<int64_t>(width) * height) {
        return raise(PyExc_ValueError, message::lengthMismatch);
    }
    image->width = width;
    image->height = height;
    Ref copy = adopt ? Ref::borrow(pixels) : copyPixels(pixels);
    if (!copy) return false;
    // len() is only what the object says; the buffer kept is what counts. They
    // differ for items wider than a byte (array('H'), memoryview.cast('I'))
    // and for a __len__ that lies.
    if (PyByteArray_GET_SIZE(copy.get()) != length) return raise(PyExc_ValueError, message::lengthMismatch);
    Py_XSETREF(image->pixels, copy.release());
    return true;
}

// Allocates an instance of `type` (None pixels) before anything is checked,
// so a failed construction discards a real, half-made instance.
Ref allocateImage(PyTypeObject* type) {
    Ref image = Ref::steal(type->tp_alloc(type, 0));
    if (image) asImage(image.get())->pixels = nullptr;
    return image;
}

// --- properties

PyObject* getSize(PyObject* self, void*) {
    return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height);
}

PyObject* getWidth(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->width); }
PyObject* getHeight(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->height); }

int setDimension(PyObject* value, int32_t* field) {
    if (value == nullptr) return raise(PyExc_NotImplementedError, "__del__");
    int32_t converted;
    if (!toInt32(value, &converted)) return failed;
    *field = converted;
    return 0;
}

int setWidth(PyObject* self, PyObject* value, void*) { return setDimension(value, &asImage(self)->width); }
int setHeight(PyObject* self, PyObject* value, void*) { return setDimension(value, &asImage(self)->height); }

PyObject* getPixels(PyObject* self, void*) { return Ref::borrow(pixelsOrNone(asImage(self))).release(); }

int setPixels(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(asImage(self)->pixels);
        return 0;
    }
    if (!PyByteArray_CheckExact(value)) {
        return raiseFormat(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
    }
    Py_XSETREF(asImage(self)->pixels, Ref::borrow(value).release());
    return 0;
}

// --- pixel access
//
// Coordinates are compared and combined with the interpreter's generic
// operations, and every byte goes through item access on the current
// `_pixels`, so no setter combination can reach outside the buffer. Exact
// int coordinates over a bytearray take a native shortcut that gives the
// same results and errors.

struct PixelIndex {
    bool native;       // exact int coordinates: `value` holds the index
    uint64_t value;
    Ref object;        // otherwise the index as computed by generic arithmetic
};

// 0 <= x < width and 0 <= y < height, tested in this order.
bool checkBoundsGeneric(SimpleImage* image, PyObject* x, PyObject* y) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!zero || !width || !height) return false;
    const struct { PyObject* left; PyObject* right; int op; } tests[] = {
        {zero.get(), x, Py_LE}, {x, width.get(), Py_LT}, {zero.get(), y, Py_LE}, {y, height.get(), Py_LT}};
    for (const auto& test : tests) {
        int holds = PyObject_RichCompareBool(test.left, test.right, test.op);
        if (holds <= 0) return holds < 0 ? failed : raise(PyExc_ValueError, message::outOfBounds);
    }
    return true;
}

// (y * width + x) * 3 with generic arithmetic.
Ref genericIndex(SimpleImage* image, PyObject* x, PyObject* y) {
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!width || !three) return failed;
    Ref row = Ref::steal(PyNumber_Multiply(y, width.get()));
    if (!row) return failed;
    Ref sum = Ref::steal(PyNumber_Add(row.get(), x));
    if (!sum) return failed;
    return Ref::steal(PyNumber_Multiply(sum.get(), three.get()));
}

bool nativeCoordinate(PyObject* object, long long* value) {
    if (!PyLong_CheckExact(object)) return false;
    int overflow;
    *value = PyLong_AsLongLongAndOverflow(object, &overflow);
    // Out of the long long range means out of bounds either way.
    if (overflow != 0) *value = overflow < 0 ? -1 : INT64_MAX;
    return true;
}

bool locatePixel(SimpleImage* image, PyObject* coords, PixelIndex* out) {
    if (!checkExactType(coords, &PyTuple_Type, "coords")) return false;
    Ref xy[2];
    if (!unpackExactly(coords, 2, xy)) return false;
    long long x, y;
    if (nativeCoordinate(xy[0].get(), &x) && nativeCoordinate(xy[1].get(), &y)) {
        if (x < 0 || x >= image->width || y < 0 || y >= image->height) {
            return raise(PyExc_ValueError, message::outOfBounds);
        }
        out->native = true;
        out->value = (static_cast<uint64_t>(y) * static_cast<uint64_t>(image->width) + x) * 3;
        return true;
    }
    if (!checkBoundsGeneric(image, xy[0].get(), xy[1].get())) return false;
    out->native = false;
    out->object = genericIndex(image, xy[0].get(), xy[1].get());
    return static_cast<bool>(out->object);
}

// The index of channel `channel` of the pixel, as an object.
Ref channelIndex(const PixelIndex& at, int channel) {
    if (at.native) return Ref::steal(PyLong_FromUnsignedLongLong(at.value + channel));
    if (channel == 0) return Ref::borrow(at.object.get());
    Ref offset = Ref::steal(PyLong_FromLong(channel));
    if (!offset) return failed;
    return Ref::steal(PyNumber_Add(at.object.get(), offset.get()));
}

// The byte array and position of a channel when it can be reached natively.
uint8_t* nativeChannel(SimpleImage* image, const PixelIndex& at, int channel) {
    PyObject* pixels = image->pixels;
    if (!at.native || pixels == nullptr || !PyByteArray_CheckExact(pixels)) return nullptr;
    uint64_t position = at.value + channel;
    if (position >= static_cast<uint64_t>(PyByteArray_GET_SIZE(pixels))) return nullptr;
    return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels)) + position;
}

Ref readChannel(SimpleImage* image, const PixelIndex& at, int channel) {
    if (uint8_t* byte = nativeChannel(image, at, channel)) return Ref::steal(PyLong_FromLong(*byte));
    Ref index = channelIndex(at, channel);
    if (!index) return failed;
    Ref pixels = Ref::borrow(pixelsOrNone(image));
    return Ref::steal(PyObject_GetItem(pixels.get(), index.get()));
}

bool writeChannel(SimpleImage* image, const PixelIndex& at, int channel, uint8_t value) {
    if (uint8_t* byte = nativeChannel(image, at, channel)) {
        *byte = value;
        return true;
    }
    Ref index = channelIndex(at, channel);
    Ref boxed = Ref::steal(PyLong_FromLong(value));
    if (!index || !boxed) return false;
    Ref pixels = Ref::borrow(pixelsOrNone(image));
    return PyObject_SetItem(pixels.get(), index.get(), boxed.get()) == 0;
}

// int(item) AND 0xFF: the low eight bits of its two's complement.
bool channelByte(PyObject* item, uint8_t* out) {
    Ref number = PyLong_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PyNumber_Long(item));
    if (!number) return false;
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (overflow != 0) {
        Ref mask = Ref::steal(PyLong_FromLong(0xFF));
        Ref low = mask ? Ref::steal(PyNumber_And(number.get(), mask.get())) : Ref();
        if (!low) return false;
        value = PyLong_AsLong(low.get());
    } else if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = static_cast<uint8_t>(value & 0xFF);
    return true;
}

}  // namespace

Ref constructImage(PyTypeObject* type, PyObject* width, PyObject* height, PyObject* pixels, bool adopt) {
    Ref image = allocateImage(type);
    int32_t w, h;
    if (!image || !toInt32(width, &w) || !toInt32(height, &h)) return failed;
    if (!fillImage(asImage(image.get()), w, h, pixels, adopt)) return failed;
    return image;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* keywords, const Signature& signature) noexcept {
    Ref image = allocateImage(type);
    if (!image) return nullptr;
    Arg parsed[maxParams];
    if (!parseArgs(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords, parsed) ||
        !fillImage(asImage(image.get()), parsed[0].int32, parsed[1].int32, parsed[2].object, false)) {
        return nullptr;
    }
    return image.release();
}

void deallocate(PyObject* self) noexcept {
    Py_CLEAR(asImage(self)->pixels);
    Py_TYPE(self)->tp_free(self);
}

PyGetSetDef properties[] = {
    {"size", getSize, nullptr, nullptr, nullptr},
    {"width", getWidth, setWidth, nullptr, nullptr},
    {"height", getHeight, setHeight, nullptr, nullptr},
    {"_pixels", getPixels, setPixels, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* getPixel(PyObject* self, const Arg* args) noexcept {
    SimpleImage* image = asImage(self);
    PixelIndex at;
    if (!locatePixel(image, args[0].object, &at)) return nullptr;
    Ref result = Ref::steal(PyTuple_New(3));
    if (!result) return nullptr;
    for (int channel = 0; channel < 3; ++channel) {
        Ref value = readChannel(image, at, channel);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(result.get(), channel, value.release());
    }
    return result.release();
}

PyObject* putPixel(PyObject* self, const Arg* args) noexcept {
    SimpleImage* image = asImage(self);
    PixelIndex at;
    if (!locatePixel(image, args[0].object, &at)) return nullptr;
    Ref rgb[3];
    if (!unpackExactly(args[1].object, 3, rgb)) return nullptr;
    // Each channel is converted and stored before the next is converted.
    for (int channel = 0; channel < 3; ++channel) {
        uint8_t value;
        if (!channelByte(rgb[channel].get(), &value)) return nullptr;
        if (!writeChannel(image, at, channel, value)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* copy(PyObject* self, const Arg*) noexcept {
    SimpleImage* image = asImage(self);
    // Subscripting None raises the interpreter's own "not subscriptable" TypeError.
    if (image->pixels == nullptr) return PyObject_GetItem(Py_None, Py_None);
    Ref copy = allocateImage(state().imageType);
    Ref pixels = Ref::borrow(image->pixels);
    if (!copy || !fillImage(asImage(copy.get()), image->width, image->height, pixels.get(), false)) {
        return nullptr;
    }
    return copy.release();
}

PyObject* refusePickling(PyObject*, const Arg*) noexcept { return raise(PyExc_TypeError, message::notPicklable); }

}  // namespace lumivex::image
