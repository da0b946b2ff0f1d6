// Lumivex.rasterCore_ext: the module definition and the one table of its
// surface. The table below lists every callable once, in the order the
// namespace and the class are bound; counts, __name__s and the class's member
// placeholders are derived from it. Start-up machinery lives in capi/module,
// SimpleImage's behaviour in image.cpp, the codecs in codec/.
#include "image.hpp"

#include "../../capi/module.hpp"
#include "binding/bmp_io.hpp"
#include "binding/png_io.hpp"
#include "../../codec/png/framing.hpp"

using namespace lumivex::capi;
namespace image = lumivex::image;
namespace png = lumivex::png;
namespace bmp = lumivex::bmp;

namespace {

constexpr ModuleIdentity identity = {"rasterCore_ext", "Lumivex.rasterCore_ext"};

// --- the module functions, as the table calls them

PyObject* readChunk(PyObject*, const Arg* args) { return png::readChunk(args[0].object); }
PyObject* makeChunk(PyObject*, const Arg* args) { return png::makeChunk(args[0].object, args[1].object); }
PyObject* writePng(PyObject*, const Arg* args) {
    return png::writePng(args[0].object, args[1].int32, args[2].int32, args[3].object);
}
PyObject* writeBmp(PyObject*, const Arg* args) {
    return bmp::writeBmp(args[0].object, args[1].int32, args[2].int32, args[3].object);
}

// --- parameters and annotations

constexpr Param streamParam[] = {{"stream", ParamKind::Any}};
constexpr Param chunkParams[] = {{"chunkType", ParamKind::ExactBytes}, {"data", ParamKind::ExactBytes}};
constexpr Param writerParams[] = {
    {"path", ParamKind::Any}, {"width", ParamKind::Int32}, {"height", ParamKind::Int32}, {"pixels", ParamKind::Any}};
constexpr Param constructorParams[] = {
    {"width", ParamKind::Int32}, {"height", ParamKind::Int32}, {"pixels", ParamKind::Any}};
constexpr Param sourceParam[] = {{"source", ParamKind::Any}};
constexpr Param coordsParam[] = {{"coords", ParamKind::ExactTuple}};
constexpr Param putPixelParams[] = {{"coords", ParamKind::ExactTuple}, {"value", ParamKind::Any}};
constexpr Param pathParam[] = {{"path", ParamKind::ExactStr}};
constexpr Param stateParam[] = {{"state", ParamKind::Any}};

constexpr Annotation readChunkNotes[] = {{"return", "Tuple[bytes, bytes]"}};
constexpr Annotation makeChunkNotes[] = {{"chunkType", "bytes"}, {"data", "bytes"}, {"return", "bytes"}};
constexpr Annotation returnsNone[] = {{"return", "None"}};
constexpr Annotation openNotes[] = {{"source", "ImageInput"}, {"return", "'SimpleImage'"}};
constexpr Annotation getPixelNotes[] = {{"coords", "Tuple[int, int]"}, {"return", "Tuple[int, int, int]"}};
constexpr Annotation putPixelNotes[] = {
    {"coords", "Tuple[int, int]"}, {"value", "Sequence[int]"}, {"return", "None"}};
constexpr Annotation returnsImage[] = {{"return", "'SimpleImage'"}};
constexpr Annotation saveNotes[] = {{"path", "str"}, {"return", "None"}};

// --- the surface, in binding order

constexpr FunctionDef surface[] = {
    {"_readChunk", Kind::ModuleFunction, params(streamParam), readChunk, notes(readChunkNotes)},
    {"_makeChunk", Kind::ModuleFunction, params(chunkParams), makeChunk, notes(makeChunkNotes)},
    {"_writePng", Kind::ModuleFunction, params(writerParams), writePng, notes(returnsNone)},
    {"_writeBmp", Kind::ModuleFunction, params(writerParams), writeBmp, notes(returnsNone)},
    {"SimpleImage._streamToImage", Kind::StaticMethod, params(streamParam), image::streamToImage, noNotes},
    {"SimpleImage.open", Kind::ClassMethod, params(sourceParam), image::open, notes(openNotes)},
    {"SimpleImage.getPixel", Kind::Method, params(coordsParam), image::getPixel, notes(getPixelNotes)},
    {"SimpleImage.putPixel", Kind::Method, params(putPixelParams), image::putPixel, notes(putPixelNotes)},
    {"SimpleImage.copy", Kind::Method, noParams, image::copy, notes(returnsImage)},
    {"SimpleImage.save", Kind::Method, params(pathParam), image::save, notes(saveNotes)},
    {"SimpleImage.saveBmp", Kind::Method, params(pathParam), image::saveBmp, notes(saveNotes)},
    {"SimpleImage.__reduce__", Kind::TypeHook, noParams, image::refusePickling, noNotes},
    {"SimpleImage.__setstate__", Kind::TypeHook, params(stateParam), image::refusePickling, noNotes},
};

// SimpleImage(width, height, pixels); messages name it "__cinit__".
constexpr Signature constructor("__cinit__", params(constructorParams));

PyObject* newImage(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return image::construct(type, args, keywords, constructor);
}

// --- the class

constexpr const char* imageTypeName = "Lumivex.rasterCore_ext.SimpleImage";
// The docstring, headed by the constructor's signature for inspect.
constexpr TypeDoc imageDoc{imageTypeName, params(constructorParams), "A minimal RGB image helper."};
constexpr auto imageDocText = imageDoc.render<imageDoc.size()>();

auto reservedMembers = memberPlaceholders(surface);

// A static type, not a heap type: a heap type's attributes could be set on
// 3.8. The fields not named are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject simpleImageType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = imageTypeName,
    .tp_basicsize = sizeof(image::SimpleImage),
    .tp_dealloc = image::deallocate,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = imageDocText.text,
    .tp_methods = reservedMembers.data(),
    .tp_getset = image::properties,
    .tp_new = newImage,
};
#pragma GCC diagnostic pop

// Attaches the table's members of `kind` to the class, in table order.
bool attachMembers(Kind kind, PyObject* moduleName) {
    for (const FunctionDef& def : surface) {
        if (def.kind == kind && !attachMember(&simpleImageType, def, moduleName)) return false;
    }
    return true;
}

// Readies the type once per process; its hooks are attached on every execution.
bool readyImageType(PyObject* moduleName) {
    ModuleState& process = state();
    if (process.imageType == nullptr) {
        if (PyType_Ready(&simpleImageType) < 0) return false;
        process.imageType = &simpleImageType;
    }
    if (!attachMembers(Kind::TypeHook, moduleName)) return false;
    PyType_Modified(&simpleImageType);
    return true;
}

// The class's methods, replacing the placeholders the type was readied with.
bool attachClassMembers(PyObject* moduleName) {
    for (Kind kind : {Kind::StaticMethod, Kind::ClassMethod, Kind::Method}) {
        if (!attachMembers(kind, moduleName)) return false;
    }
    PyType_Modified(&simpleImageType);
    return true;
}

// ImageInput = Union[str, Path, bytes, bytearray], with Union and Path taken
// from the namespace as it stands.
bool bindImageInput(PyObject* globals) {
    Ref unionAlias = lookupGlobal(Name::Union);
    Ref path = unionAlias ? lookupGlobal(Name::Path) : Ref();
    if (!path) return false;
    Ref members = Ref::steal(PyTuple_Pack(4, &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type));
    if (!members) return false;
    Ref alias = Ref::steal(PyObject_GetItem(unionAlias.get(), members.get()));
    return alias && PyDict_SetItemString(globals, "ImageInput", alias.get()) == 0;
}

bool bindModuleFunctions(PyObject* globals, PyObject* moduleName) {
    for (const FunctionDef& def : surface) {
        if (def.kind == Kind::ModuleFunction && !bindFunction(globals, def, moduleName)) return false;
    }
    return true;
}

// The module body: the class, then the namespace in the order of its table,
// then the class's methods.
bool runModuleBody(PyObject* globals) {
    Ref moduleName = Ref::steal(PyUnicode_FromString(identity.qualifiedName));
    if (!moduleName || !readyImageType(moduleName.get()) ||
        PyDict_SetItemString(globals, "SimpleImage", reinterpret_cast<PyObject*>(&simpleImageType)) < 0) {
        return false;
    }
    Ref signature = Ref::steal(PyBytes_FromStringAndSize(png::signatureBytes, sizeof(png::signatureBytes)));
    return importModule(globals, Name::struct_) && importModule(globals, Name::zlib) &&
           importNamesFrom(globals, "io", {Name::BytesIO}) && importNamesFrom(globals, "pathlib", {Name::Path}) &&
           importNamesFrom(globals, "typing", {Name::List, Name::Sequence, Name::Tuple, Name::Union}) &&
           bind(globals, Name::PNG_SIGNATURE, signature.get()) && bindImageInput(globals) &&
           bindModuleFunctions(globals, moduleName.get()) && attachClassMembers(moduleName.get());
}

PyObject* create(PyObject* importRecord, PyModuleDef*) { return createModule(importRecord); }
int execute(PyObject* module) { return executeModule(module, identity, runModuleBody); }

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, identity.name, nullptr, 0, nullptr, moduleSlots, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_rasterCore_ext(void) {
    return PyModuleDef_Init(&moduleDef);
}
