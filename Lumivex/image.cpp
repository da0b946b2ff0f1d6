// SimpleImage: construction, properties, pixel access, and the open/save
// entry points that route to the codecs.
#include "image.hpp"

#include "../capi/buffer.hpp"
#include "../capi/calls.hpp"
#include "../capi/context.hpp"
#include "../capi/errors.hpp"
#include "../capi/module.hpp"
#include "../codec/bmp/bmp_codec.hpp"
#include "../codec/png/png_codec.hpp"

#include <cstring>

using namespace lumivex::capi;

namespace lumivex::image {
namespace {

// The class's own messages.
namespace message {
constexpr char lengthMismatch[] = "Pixel data length does not match image dimensions";
constexpr char outOfBounds[] = "Pixel coordinate out of bounds";
constexpr char notPicklable[] = "no default __reduce__ due to non-trivial __cinit__";
constexpr char badSource[] = "source must be a file path or raw bytes";
constexpr char unsupportedFormat[] = "Unsupported image format";
}  // namespace message

PyTypeObject* imageType() { return state().imageType; }

SimpleImage* asImage(PyObject* object) { return reinterpret_cast<SimpleImage*>(object); }

PyObject* pixelsOrNone(SimpleImage* image) {
    return image->pixels != nullptr ? image->pixels : Py_None;
}

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

Ref constructImage(PyTypeObject* type, PyObject* width, PyObject* height, PyObject* pixels, bool adopt) {
    Ref image = allocateImage(type);
    int32_t w, h;
    if (!image || !toInt32(width, &w) || !toInt32(height, &h)) return failed;
    if (!fillImage(asImage(image.get()), w, h, pixels, adopt)) return failed;
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

// --- opening

// Calls cls._streamToImage(stream) and unpacks the triple.
bool decodeStream(PyObject* cls, PyObject* stream, Ref* triple) {
    Ref decode = Ref::steal(PyObject_GetAttr(cls, name(Name::streamToImage)));
    if (!decode) return false;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(decode.get(), stream, nullptr));
    return result && unpackExactly(result.get(), 3, triple);
}

PyObject* buildOpenedImage(PyObject* cls, Ref* triple) {
    PyTypeObject* type = imageType();
    if (cls == reinterpret_cast<PyObject*>(type)) {
        // The decoded buffer is ours alone unless a replaced _streamToImage
        // kept it; only then does the image need its own copy.
        bool adopt = PyByteArray_CheckExact(triple[2].get()) && Py_REFCNT(triple[2].get()) == 1;
        return constructImage(type, triple[0].get(), triple[1].get(), triple[2].get(), adopt).release();
    }
    Ref image = Ref::steal(
        PyObject_CallFunctionObjArgs(cls, triple[0].get(), triple[1].get(), triple[2].get(), nullptr));
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), type)) {
        return raiseFormat(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(image.get())->tp_name,
                           type->tp_name);
    }
    return image.release();
}

bool startsWithPngSignature(PyObject* signature, PyObject* pngSignature, bool* result) {
    if (PyBytes_CheckExact(signature) && PyBytes_CheckExact(pngSignature)) {
        Py_ssize_t prefix = PyBytes_GET_SIZE(pngSignature);
        *result = PyBytes_GET_SIZE(signature) >= prefix &&
                  memcmp(PyBytes_AS_STRING(signature), PyBytes_AS_STRING(pngSignature), prefix) == 0;
        return true;
    }
    Ref outcome = callMethod(signature, Name::startswith, {pngSignature});
    if (!outcome) return false;
    int truth = PyObject_IsTrue(outcome.get());
    *result = truth > 0;
    return truth >= 0;
}

// --- saving

PyObject* saveWith(PyObject* self, PyObject* path, Name writerName) {
    Ref writer = lookupGlobal(writerName);
    if (!writer) return nullptr;
    SimpleImage* image = asImage(self);
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    Ref pixels = Ref::borrow(pixelsOrNone(image));
    if (!width || !height) return nullptr;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(writer.get(), path, width.get(), height.get(),
                                                         pixels.get(), nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

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

PyObject* streamToImage(PyObject*, const Arg* args) noexcept {
    PyObject* stream = args[0].object;
    Ref signature = readFrom(stream, 8);
    if (!signature) return nullptr;
    Ref zero = newInt(0);
    Ref rewound = zero ? callMethod(stream, Name::seek, {zero.get()}) : Ref();
    Ref pngSignature = rewound ? lookupGlobal(Name::PNG_SIGNATURE) : Ref();
    bool isPng, isBmp;
    if (!pngSignature || !startsWithPngSignature(signature.get(), pngSignature.get(), &isPng)) return nullptr;
    if (isPng) return png::loadPng(stream);
    if (!startsWithBytes(signature.get(), "BM", 2, &isBmp)) return nullptr;
    if (isBmp) return bmp::loadBmp(stream);
    return raise(PyExc_ValueError, message::unsupportedFormat);
}

PyObject* open(PyObject* cls, const Arg* args) noexcept {
    PyObject* source = args[0].object;
    Ref path = lookupGlobal(Name::Path);
    if (!path) return nullptr;
    Ref triple[3];
    int isPath = PyUnicode_Check(source) ? 1 : PyObject_IsInstance(source, path.get());
    if (isPath < 0) return nullptr;
    if (isPath) {
        bool decoded = withOpenFile(source, "rb", [&](PyObject* stream) {
            return decodeStream(cls, stream, triple);
        });
        if (!decoded) return nullptr;
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytesIO = lookupGlobal(Name::BytesIO);
        if (!bytesIO) return nullptr;
        Ref stream = Ref::steal(PyObject_CallFunctionObjArgs(bytesIO.get(), source, nullptr));
        if (!stream || !decodeStream(cls, stream.get(), triple)) return nullptr;
    } else {
        return raise(PyExc_TypeError, message::badSource);
    }
    return buildOpenedImage(cls, triple);
}

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
    Ref copy = allocateImage(imageType());
    Ref pixels = Ref::borrow(image->pixels);
    if (!copy || !fillImage(asImage(copy.get()), image->width, image->height, pixels.get(), false)) {
        return nullptr;
    }
    return copy.release();
}

PyObject* save(PyObject* self, const Arg* args) noexcept { return saveWith(self, args[0].object, Name::_writePng); }
PyObject* saveBmp(PyObject* self, const Arg* args) noexcept { return saveWith(self, args[0].object, Name::_writeBmp); }

PyObject* refusePickling(PyObject*, const Arg*) noexcept { return raise(PyExc_TypeError, message::notPicklable); }

}  // namespace lumivex::image
