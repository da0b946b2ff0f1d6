// Names the module's code uses: interned strings, the module namespace
// (looked up at every use, so callers may rebind or delete a name) and the
// built-ins taken once at initialisation.
#pragma once

#include "ref.hpp"

namespace lumivex::capi {

// Every string the module uses as a global, attribute or keyword name.
enum class Name {
    // module globals
    PNG_SIGNATURE, BytesIO, Path, _readChunk, struct_, zlib, _writePng, _writeBmp,
    List, Sequence, Tuple, Union,
    // attributes and methods
    read, seek, write, pack, unpack, crc32, compress, decompress, decompressobj,
    eof, startswith, join, enter, exit, streamToImage, loader, origin, parent,
    submoduleSearchLocations, name,
    count_
};

// Creates the interned strings; false with an exception set on failure.
bool internNames() noexcept;
// The interned string for a name (valid once internNames succeeded).
PyObject* name(Name which) noexcept;

// Remembers the namespace of the module object (borrowed: the module lives
// until the process ends).
void setModuleNamespace(PyObject* dict) noexcept;
// The object bound to `which` in the module namespace now, or NameError
// "name 'X' is not defined".
Ref lookupGlobal(Name which) noexcept;

// Built-ins taken once at initialisation.
enum class Builtin { open, staticmethod, count_ };
// Looks both up in the builtins module; NameError for a missing one.
bool cacheBuiltins() noexcept;
PyObject* builtin(Builtin which) noexcept;

}  // namespace lumivex::capi
