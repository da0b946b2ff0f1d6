// Lumivex.rasterCore_ext: the module object, its namespace, the SimpleImage
// type and the open/save entry points that route to the codecs.
#include "../capi/args.hpp"
#include "../capi/calls.hpp"
#include "../capi/context.hpp"
#include "../capi/function.hpp"
#include "../capi/names.hpp"
#include "../capi/ref.hpp"
#include "../codec/bmp/bmp_codec.hpp"
#include "../codec/png/png_codec.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace lumivex::capi;

namespace {

constexpr const char moduleQualifiedName[] = "Lumivex.rasterCore_ext";

// ---------------------------------------------------------------------------
// SimpleImage

struct SimpleImage {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;  // an exact bytearray, or null for None
};

PyTypeObject simpleImageType;

SimpleImage* asImage(PyObject* object) { return reinterpret_cast<SimpleImage*>(object); }

PyObject* pixelsOrNone(SimpleImage* image) {
    return image->pixels != nullptr ? image->pixels : Py_None;
}

// Checks `pixels` against the dimensions and stores the image's own copy.
// `adopt` hands over a bytearray that nobody else can see, which saves the copy.
bool fillImage(SimpleImage* image, int32_t width, int32_t height, PyObject* pixels, bool adopt) {
    Py_ssize_t length = PyObject_Length(pixels);
    if (length < 0) return false;
    // length == width * height * 3 without overflow: |width * height| < 2^62.
    if (length % 3 != 0 || length / 3 != static_cast<int64_t>(width) * height) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        return false;
    }
    image->width = width;
    image->height = height;
    PyObject* copy;
    if (adopt) {
        Py_INCREF(pixels);
        copy = pixels;
    } else if (PyBytes_CheckExact(pixels)) {
        copy = PyByteArray_FromStringAndSize(PyBytes_AS_STRING(pixels), length);
    } else {
        copy = PyByteArray_FromObject(pixels);
    }
    if (copy == nullptr) return false;
    Py_XSETREF(image->pixels, copy);
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
    if (!image || !toInt32(width, &w) || !toInt32(height, &h)) return Ref();
    if (!fillImage(asImage(image.get()), w, h, pixels, adopt)) return Ref();
    return image;
}

const Param constructorParams[] = {
    {"width", ParamKind::Int32}, {"height", ParamKind::Int32}, {"pixels", ParamKind::Any}};
const Signature constructorSignature = {"__cinit__", constructorParams, 3};

PyObject* newImage(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    Ref image = allocateImage(type);
    if (!image) return nullptr;
    Arg parsed[3];
    if (!parseArgs(constructorSignature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords,
                   parsed)) {
        return nullptr;
    }
    if (!fillImage(asImage(image.get()), parsed[0].int32, parsed[1].int32, parsed[2].object, false)) {
        return nullptr;
    }
    return image.release();
}

void deallocImage(PyObject* self) {
    Py_CLEAR(asImage(self)->pixels);
    Py_TYPE(self)->tp_free(self);
}

// --- properties

PyObject* getSize(PyObject* self, void*) {
    return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height);
}

PyObject* getWidth(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->width); }
PyObject* getHeight(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->height); }

int setDimension(PyObject* value, int32_t* field) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t converted;
    if (!toInt32(value, &converted)) return -1;
    *field = converted;
    return 0;
}

int setWidth(PyObject* self, PyObject* value, void*) { return setDimension(value, &asImage(self)->width); }
int setHeight(PyObject* self, PyObject* value, void*) { return setDimension(value, &asImage(self)->height); }

PyObject* getPixels(PyObject* self, void*) {
    PyObject* pixels = pixelsOrNone(asImage(self));
    Py_INCREF(pixels);
    return pixels;
}

int setPixels(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(asImage(self)->pixels);
        return 0;
    }
    if (!PyByteArray_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(asImage(self)->pixels, value);
    return 0;
}

PyGetSetDef imageGetSets[] = {
    {const_cast<char*>("size"), getSize, nullptr, nullptr, nullptr},
    {const_cast<char*>("width"), getWidth, setWidth, nullptr, nullptr},
    {const_cast<char*>("height"), getHeight, setHeight, nullptr, nullptr},
    {const_cast<char*>("_pixels"), getPixels, setPixels, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

bool isTrue(PyObject* left, PyObject* right, int op, bool* result) {
    int outcome = PyObject_RichCompareBool(left, right, op);
    if (outcome < 0) return false;
    *result = outcome != 0;
    return true;
}

bool raiseOutOfBounds() {
    PyErr_SetString(PyExc_ValueError, "Pixel coordinate out of bounds");
    return false;
}

// 0 <= x < width and 0 <= y < height, tested in this order.
bool checkBoundsGeneric(SimpleImage* image, PyObject* x, PyObject* y) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    if (!zero || !width || !height) return false;
    const struct { PyObject* left; PyObject* right; int op; } tests[] = {
        {zero.get(), x, Py_LE}, {x, width.get(), Py_LT}, {zero.get(), y, Py_LE}, {y, height.get(), Py_LT}};
    for (const auto& test : tests) {
        bool holds;
        if (!isTrue(test.left, test.right, test.op, &holds)) return false;
        if (!holds) return raiseOutOfBounds();
    }
    return true;
}

// (y * width + x) * 3 with generic arithmetic.
Ref genericIndex(SimpleImage* image, PyObject* x, PyObject* y) {
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!width || !three) return Ref();
    Ref row = Ref::steal(PyNumber_Multiply(y, width.get()));
    if (!row) return Ref();
    Ref sum = Ref::steal(PyNumber_Add(row.get(), x));
    if (!sum) return Ref();
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
        if (x < 0 || x >= image->width || y < 0 || y >= image->height) return raiseOutOfBounds();
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
    if (!offset) return Ref();
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
    if (!index) return Ref();
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

PyObject* getPixel(PyObject* self, const Arg* args) {
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

PyObject* putPixel(PyObject* self, const Arg* args) {
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

PyObject* raiseNotSubscriptable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
}

PyObject* copyImage(PyObject* self, const Arg*) {
    SimpleImage* image = asImage(self);
    if (image->pixels == nullptr) return raiseNotSubscriptable();
    Ref copy = allocateImage(&simpleImageType);
    Ref pixels = Ref::borrow(image->pixels);
    if (!copy || !fillImage(asImage(copy.get()), image->width, image->height, pixels.get(), false)) {
        return nullptr;
    }
    return copy.release();
}

PyObject* refusePickling(PyObject*, const Arg*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
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
    if (cls == reinterpret_cast<PyObject*>(&simpleImageType)) {
        // The decoded buffer is ours alone unless a replaced _streamToImage
        // kept it; only then does the image need its own copy.
        bool adopt = PyByteArray_CheckExact(triple[2].get()) && Py_REFCNT(triple[2].get()) == 1;
        return constructImage(&simpleImageType, triple[0].get(), triple[1].get(), triple[2].get(), adopt)
            .release();
    }
    Ref image = Ref::steal(
        PyObject_CallFunctionObjArgs(cls, triple[0].get(), triple[1].get(), triple[2].get(), nullptr));
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), &simpleImageType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(image.get())->tp_name,
                     simpleImageType.tp_name);
        return nullptr;
    }
    return image.release();
}

PyObject* openImage(PyObject* cls, const Arg* args) {
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
        PyErr_SetString(PyExc_TypeError, "source must be a file path or raw bytes");
        return nullptr;
    }
    return buildOpenedImage(cls, triple);
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

PyObject* streamToImage(PyObject*, const Arg* args) {
    PyObject* stream = args[0].object;
    Ref signature = readFrom(stream, 8);
    if (!signature) return nullptr;
    Ref zero = newInt(0);
    Ref rewound = zero ? callMethod(stream, Name::seek, {zero.get()}) : Ref();
    Ref pngSignature = rewound ? lookupGlobal(Name::PNG_SIGNATURE) : Ref();
    bool isPng, isBmp;
    if (!pngSignature || !startsWithPngSignature(signature.get(), pngSignature.get(), &isPng)) return nullptr;
    if (isPng) return lumivex::png::loadPng(stream);
    if (!startsWithBytes(signature.get(), "BM", 2, &isBmp)) return nullptr;
    if (isBmp) return lumivex::bmp::loadBmp(stream);
    PyErr_SetString(PyExc_ValueError, "Unsupported image format");
    return nullptr;
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

PyObject* savePng(PyObject* self, const Arg* args) { return saveWith(self, args[0].object, Name::_writePng); }
PyObject* saveBmp(PyObject* self, const Arg* args) { return saveWith(self, args[0].object, Name::_writeBmp); }

// --- module functions

PyObject* readChunkFunction(PyObject*, const Arg* args) { return lumivex::png::readChunk(args[0].object); }

PyObject* makeChunkFunction(PyObject*, const Arg* args) {
    return lumivex::png::makeChunk(args[0].object, args[1].object);
}

PyObject* writePngFunction(PyObject*, const Arg* args) {
    return lumivex::png::writePng(args[0].object, args[1].int32, args[2].int32, args[3].object);
}

PyObject* writeBmpFunction(PyObject*, const Arg* args) {
    return lumivex::bmp::writeBmp(args[0].object, args[1].int32, args[2].int32, args[3].object);
}

// --- the callables' table

const Param streamParam[] = {{"stream", ParamKind::Any}};
const Param chunkParams[] = {{"chunkType", ParamKind::ExactBytes}, {"data", ParamKind::ExactBytes}};
const Param writerParams[] = {{"path", ParamKind::Any},
                              {"width", ParamKind::Int32},
                              {"height", ParamKind::Int32},
                              {"pixels", ParamKind::Any}};
const Param sourceParam[] = {{"source", ParamKind::Any}};
const Param coordsParam[] = {{"coords", ParamKind::ExactTuple}};
const Param putPixelParams[] = {{"coords", ParamKind::ExactTuple}, {"value", ParamKind::Any}};
const Param pathParam[] = {{"path", ParamKind::ExactStr}};
const Param stateParam[] = {{"state", ParamKind::Any}};

const Annotation readChunkNotes[] = {{"return", "Tuple[bytes, bytes]"}};
const Annotation makeChunkNotes[] = {{"chunkType", "bytes"}, {"data", "bytes"}, {"return", "bytes"}};
const Annotation returnsNone[] = {{"return", "None"}};
const Annotation openNotes[] = {{"source", "ImageInput"}, {"return", "'SimpleImage'"}};
const Annotation getPixelNotes[] = {{"coords", "Tuple[int, int]"}, {"return", "Tuple[int, int, int]"}};
const Annotation putPixelNotes[] = {
    {"coords", "Tuple[int, int]"}, {"value", "Sequence[int]"}, {"return", "None"}};
const Annotation copyNotes[] = {{"return", "'SimpleImage'"}};
const Annotation saveNotes[] = {{"path", "str"}, {"return", "None"}};

const FunctionDef moduleFunctions[] = {
    {"_readChunk", Binding::Function, {"_readChunk", streamParam, 1}, readChunkFunction, readChunkNotes, 1},
    {"_makeChunk", Binding::Function, {"_makeChunk", chunkParams, 2}, makeChunkFunction, makeChunkNotes, 3},
    {"_writePng", Binding::Function, {"_writePng", writerParams, 4}, writePngFunction, returnsNone, 1},
    {"_writeBmp", Binding::Function, {"_writeBmp", writerParams, 4}, writeBmpFunction, returnsNone, 1},
};

const FunctionDef streamToImageDef = {
    "SimpleImage._streamToImage", Binding::Function, {"_streamToImage", streamParam, 1}, streamToImage,
    nullptr, 0};
const FunctionDef openDef = {
    "SimpleImage.open", Binding::ClassMethod, {"open", sourceParam, 1}, openImage, openNotes, 2};
const FunctionDef instanceMethods[] = {
    {"SimpleImage.getPixel", Binding::Method, {"getPixel", coordsParam, 1}, getPixel, getPixelNotes, 2},
    {"SimpleImage.putPixel", Binding::Method, {"putPixel", putPixelParams, 2}, putPixel, putPixelNotes, 3},
    {"SimpleImage.copy", Binding::Method, {"copy", nullptr, 0}, copyImage, copyNotes, 1},
    {"SimpleImage.save", Binding::Method, {"save", pathParam, 1}, savePng, saveNotes, 2},
    {"SimpleImage.saveBmp", Binding::Method, {"saveBmp", pathParam, 1}, saveBmp, saveNotes, 2},
};
const FunctionDef pickleHooks[] = {
    {"SimpleImage.__reduce__", Binding::Method, {"__reduce__", nullptr, 0}, refusePickling, nullptr, 0},
    {"SimpleImage.__setstate__", Binding::Method, {"__setstate__", stateParam, 1}, refusePickling, nullptr, 0},
};

// ---------------------------------------------------------------------------
// Module initialisation

// Process-wide: the one module object, and the interpreter that owns it.
PyObject* moduleSingleton;
int64_t owningInterpreter = -1;

Ref moduleNameObject() { return Ref::steal(PyUnicode_FromString(moduleQualifiedName)); }

// Stores `value` in the type's own dictionary under `key`.
bool setTypeMember(const char* key, PyObject* value) {
    return value != nullptr && PyDict_SetItemString(simpleImageType.tp_dict, key, value) == 0;
}

bool addFunctionMember(const FunctionDef& def, PyObject* moduleName) {
    Ref function = Ref::steal(newFunction(def, moduleName, &simpleImageType));
    return function && setTypeMember(def.signature.name, function.get());
}

// Reserves the members' places in the type's dictionary, in their order;
// initialisation replaces each with the real callable before the type is
// reachable from Python.
PyObject* notYetAttached(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "SimpleImage is not initialised");
    return nullptr;
}

PyMethodDef reservedMembers[] = {
    {"_streamToImage", notYetAttached, METH_VARARGS, nullptr},
    {"open", notYetAttached, METH_VARARGS, nullptr},
    {"getPixel", notYetAttached, METH_VARARGS, nullptr},
    {"putPixel", notYetAttached, METH_VARARGS, nullptr},
    {"copy", notYetAttached, METH_VARARGS, nullptr},
    {"save", notYetAttached, METH_VARARGS, nullptr},
    {"saveBmp", notYetAttached, METH_VARARGS, nullptr},
    {"__reduce__", notYetAttached, METH_VARARGS, nullptr},
    {"__setstate__", notYetAttached, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool readySimpleImageType(PyObject* moduleName) {
    if (!(simpleImageType.tp_flags & Py_TPFLAGS_READY)) {
        reinterpret_cast<PyObject*>(&simpleImageType)->ob_refcnt = 1;
        simpleImageType.tp_name = "Lumivex.rasterCore_ext.SimpleImage";
        simpleImageType.tp_basicsize = sizeof(SimpleImage);
        simpleImageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        simpleImageType.tp_doc = "A minimal RGB image helper.";
        simpleImageType.tp_new = newImage;
        simpleImageType.tp_dealloc = deallocImage;
        simpleImageType.tp_methods = reservedMembers;
        simpleImageType.tp_getset = imageGetSets;
        if (PyType_Ready(&simpleImageType) < 0) return false;
    }
    for (const FunctionDef& hook : pickleHooks) {
        if (!addFunctionMember(hook, moduleName)) return false;
    }
    PyType_Modified(&simpleImageType);
    return true;
}

// Step 7 of initialisation: the class's methods, replacing what the type held.
bool attachClassMembers(PyObject* moduleName) {
    Ref streamFunction = Ref::steal(newFunction(streamToImageDef, moduleName, nullptr));
    if (!streamFunction) return false;
    Ref staticWrapper = Ref::steal(PyObject_CallFunctionObjArgs(builtin(Builtin::staticmethod),
                                                                streamFunction.get(), nullptr));
    if (!setTypeMember("_streamToImage", staticWrapper.get())) return false;
    Ref openFunction = Ref::steal(newFunction(openDef, moduleName, nullptr));
    if (!openFunction) return false;
    Ref classWrapper = Ref::steal(PyClassMethod_New(openFunction.get()));
    if (!setTypeMember("open", classWrapper.get())) return false;
    for (const FunctionDef& def : instanceMethods) {
        if (!addFunctionMember(def, moduleName)) return false;
    }
    PyType_Modified(&simpleImageType);
    return true;
}

bool bind(PyObject* dict, Name key, PyObject* value) {
    return value != nullptr && PyDict_SetItem(dict, name(key), value) == 0;
}

bool importModule(PyObject* dict, Name module) {
    Ref imported = Ref::steal(PyImport_Import(name(module)));
    return bind(dict, module, imported.get());
}

// from <module> import <names...>, binding each name in order.
bool importNamesFrom(PyObject* dict, const char* module, std::initializer_list<Name> names) {
    Ref fromList = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromList) return false;
    Py_ssize_t i = 0;
    for (Name each : names) {
        Py_INCREF(name(each));
        PyTuple_SET_ITEM(fromList.get(), i++, name(each));
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevel(module, dict, nullptr, fromList.get(), 0));
    if (!imported) return false;
    for (Name each : names) {
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name(each)));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name(each));
            return false;
        }
        if (!bind(dict, each, value.get())) return false;
    }
    return true;
}

// ImageInput = Union[str, Path, bytes, bytearray], with Union and Path taken
// from the namespace as it stands.
bool bindImageInput(PyObject* dict) {
    Ref unionAlias = lookupGlobal(Name::Union);
    Ref path = unionAlias ? lookupGlobal(Name::Path) : Ref();
    if (!path) return false;
    Ref members = Ref::steal(PyTuple_Pack(4, &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type));
    if (!members) return false;
    Ref alias = Ref::steal(PyObject_GetItem(unionAlias.get(), members.get()));
    return alias && PyDict_SetItemString(dict, "ImageInput", alias.get()) == 0;
}

bool bindModuleFunctions(PyObject* dict, PyObject* moduleName) {
    for (const FunctionDef& def : moduleFunctions) {
        Ref function = Ref::steal(newFunction(def, moduleName, nullptr));
        if (!function || PyDict_SetItemString(dict, def.signature.name, function.get()) < 0) return false;
    }
    return true;
}

// The module body: binds the namespace in the order of its table.
bool runModuleBody(PyObject* dict, PyObject* moduleName) {
    Ref signature = Ref::steal(
        PyBytes_FromStringAndSize(lumivex::png::signatureBytes, sizeof(lumivex::png::signatureBytes)));
    return importModule(dict, Name::struct_) && importModule(dict, Name::zlib) &&
           importNamesFrom(dict, "io", {Name::BytesIO}) && importNamesFrom(dict, "pathlib", {Name::Path}) &&
           importNamesFrom(dict, "typing", {Name::List, Name::Sequence, Name::Tuple, Name::Union}) &&
           bind(dict, Name::PNG_SIGNATURE, signature.get()) && bindImageInput(dict) &&
           bindModuleFunctions(dict, moduleName);
}

bool parseVersion(const char* text, int* major, int* minor) {
    char* end;
    *major = static_cast<int>(strtol(text, &end, 10));
    if (*end != '.') return false;
    *minor = static_cast<int>(strtol(end + 1, &end, 10));
    return true;
}

// A module built for one major.minor runtime warns when loaded into another.
bool warnOnVersionMismatch() {
    int major, minor;
    if (!parseVersion(Py_GetVersion(), &major, &minor)) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof(message), "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, moduleQualifiedName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool initialiseModule(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    Ref moduleName = moduleNameObject();
    if (dict == nullptr || !moduleName || !internNames()) return false;
    setModuleNamespace(dict);
    if (!warnOnVersionMismatch() || !cacheBuiltins()) return false;
    if (!readySimpleImageType(moduleName.get()) ||
        PyDict_SetItemString(dict, "SimpleImage", reinterpret_cast<PyObject*>(&simpleImageType)) < 0) {
        return false;
    }
    return runModuleBody(dict, moduleName.get()) && attachClassMembers(moduleName.get());
}

int executeModule(PyObject* module) {
    if (moduleSingleton != nullptr) {
        if (moduleSingleton == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'rasterCore_ext' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    moduleSingleton = module;
    if (initialiseModule(module)) return 0;
    Py_CLEAR(moduleSingleton);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Lumivex.rasterCore_ext");
    return -1;
}

int64_t currentInterpreterId() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Copies one attribute of the module spec onto the module; a missing one is skipped.
bool copySpecAttribute(PyObject* spec, PyObject* dict, Name from, const char* to, bool skipNone) {
    Ref value = Ref::steal(PyObject_GetAttr(spec, name(from)));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skipNone && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* createModule(PyObject* spec, PyModuleDef*) {
    int64_t interpreter = currentInterpreterId();
    if (interpreter == -1) return nullptr;
    if (owningInterpreter == -1) {
        owningInterpreter = interpreter;
    } else if (interpreter != owningInterpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (moduleSingleton != nullptr) {
        Py_INCREF(moduleSingleton);
        return moduleSingleton;
    }
    if (!internNames()) return nullptr;
    Ref moduleName = Ref::steal(PyObject_GetAttr(spec, name(Name::name)));
    Ref module = moduleName ? Ref::steal(PyModule_NewObject(moduleName.get())) : Ref();
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (dict == nullptr || !copySpecAttribute(spec, dict, Name::loader, "__loader__", false) ||
        !copySpecAttribute(spec, dict, Name::origin, "__file__", false) ||
        !copySpecAttribute(spec, dict, Name::parent, "__package__", false) ||
        !copySpecAttribute(spec, dict, Name::submoduleSearchLocations, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(executeModule)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "rasterCore_ext", nullptr, 0, nullptr, moduleSlots, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_rasterCore_ext(void) {
    return PyModuleDef_Init(&moduleDef);
}
