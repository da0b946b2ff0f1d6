// SimpleImage's opening and saving: the source becomes a stream, the stream's
// first bytes pick the codec, and the image's fields go to the writers the
// module namespace names.
#include "image.hpp"
#include "image_messages.hpp"

#include "../../capi/calls.hpp"
#include "../../capi/context.hpp"
#include "../../capi/errors.hpp"
#include "../../capi/module.hpp"
#include "binding/bmp_io.hpp"
#include "binding/module_names.hpp"
#include "binding/png_io.hpp"

#include <cstring>

using namespace lumivex::capi;

namespace lumivex::image {
namespace {

PyTypeObject* imageType() { return state().imageType; }

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
    SimpleImage* image = asImage(self);
    Ref width = Ref::steal(PyLong_FromLong(image->width));
    Ref height = Ref::steal(PyLong_FromLong(image->height));
    Ref pixels = Ref::borrow(pixelsOrNone(image));
    if (!width || !height) return nullptr;
    Ref result = binding::callWriter(writerName, path, width.get(), height.get(), pixels.get());
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* streamToImage(PyObject*, const Arg* args) noexcept {
    PyObject* stream = args[0].object;
    Ref signature = readFrom(stream, 8);
    if (!signature) return nullptr;
    Ref zero = newInt(0);
    Ref rewound = zero ? callMethod(stream, Name::seek, {zero.get()}) : Ref();
    Ref pngSignature = rewound ? binding::pngSignature() : Ref();
    bool isPng, isBmp;
    if (!pngSignature || !startsWithPngSignature(signature.get(), pngSignature.get(), &isPng)) return nullptr;
    if (isPng) return png::loadPng(stream);
    if (!startsWithBytes(signature.get(), "BM", 2, &isBmp)) return nullptr;
    if (isBmp) return bmp::loadBmp(stream);
    return raise(PyExc_ValueError, message::unsupportedFormat);
}

PyObject* open(PyObject* cls, const Arg* args) noexcept {
    PyObject* source = args[0].object;
    Ref path = binding::pathType();
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
        Ref stream = binding::newBytesIO(source);
        if (!stream || !decodeStream(cls, stream.get(), triple)) return nullptr;
    } else {
        return raise(PyExc_TypeError, message::badSource);
    }
    return buildOpenedImage(cls, triple);
}

PyObject* save(PyObject* self, const Arg* args) noexcept { return saveWith(self, args[0].object, Name::_writePng); }
PyObject* saveBmp(PyObject* self, const Arg* args) noexcept { return saveWith(self, args[0].object, Name::_writeBmp); }

}  // namespace lumivex::image
