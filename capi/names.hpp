// Names the module's code uses: interned strings and the built-ins taken
// once at initialisation, both kept for the life of the process.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

namespace lumivex::capi {

// Every string the module uses as a global, attribute or keyword name: the
// identifier in C++ and its text, listed once so the two cannot drift apart.
#define LUMIVEX_NAMES(X)                                                                              \
    /* module globals */                                                                             \
    X(PNG_SIGNATURE, "PNG_SIGNATURE") X(BytesIO, "BytesIO") X(Path, "Path") X(_readChunk, "_readChunk") \
    X(struct_, "struct") X(zlib, "zlib") X(_writePng, "_writePng") X(_writeBmp, "_writeBmp")         \
    X(List, "List") X(Sequence, "Sequence") X(Tuple, "Tuple") X(Union, "Union")                       \
    /* attributes and methods */                                                                     \
    X(read, "read") X(readinto, "readinto") X(release, "release") X(seek, "seek") X(tell, "tell")  \
    X(write, "write") X(pack, "pack") X(unpack, "unpack")                                            \
    X(crc32, "crc32") X(compress, "compress") X(decompress, "decompress")                           \
    X(decompressobj, "decompressobj") X(eof, "eof") X(startswith, "startswith") X(join, "join")       \
    X(enter, "__enter__") X(exit, "__exit__") X(streamToImage, "_streamToImage") X(loader, "loader")  \
    X(origin, "origin") X(parent, "parent") X(submoduleSearchLocations, "submodule_search_locations") \
    X(name, "name")

#define LUMIVEX_NAME_ID(id, text) id,
enum class Name { LUMIVEX_NAMES(LUMIVEX_NAME_ID) count_ };
#undef LUMIVEX_NAME_ID
constexpr int nameCount = static_cast<int>(Name::count_);

// Built-ins taken once at initialisation, listed the same way.
#define LUMIVEX_BUILTINS(X) X(open, "open") X(staticmethod, "staticmethod")

#define LUMIVEX_BUILTIN_ID(id, text) id,
enum class Builtin { LUMIVEX_BUILTINS(LUMIVEX_BUILTIN_ID) count_ };
#undef LUMIVEX_BUILTIN_ID
constexpr int builtinCount = static_cast<int>(Builtin::count_);

// Creates the interned strings; false with an exception set on failure.
bool internNames() noexcept;
// The interned string for a name (valid once internNames succeeded).
PyObject* name(Name which) noexcept;

// NameError "name 'X' is not defined" for the interned name `missing`.
Failure raiseNameError(PyObject* missing) noexcept;

// Looks the built-ins up in the builtins module; NameError for a missing one.
bool cacheBuiltins() noexcept;
PyObject* builtin(Builtin which) noexcept;

}  // namespace lumivex::capi
