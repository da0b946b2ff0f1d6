"""Builds the C++ extension Lumivex.rasterCore_ext and the package's private
native module Lumivex._native.

LUMIVEX_SANITIZE=1 in the environment builds them with AddressSanitizer and
UndefinedBehaviorSanitizer (see `make test-asan`).

Deflate: libdeflate 1.20, whose source is kept under third_party/libdeflate,
is compiled into both, always: LUMIVEX_NO_LIBDEFLATE=1 in the environment builds
them with zlib alone instead (a developer's check, `make test-no-libdeflate`).
`Lumivex.DEFLATE_BACKEND` tells which a build has. zlib is the system's (-lz),
or with LUMIVEX_BUNDLED_ZLIB=1 the copy under third_party/zlib, compiled in
statically, as the binary wheels have it (see `make wheels`).
LUMIVEX_FUZZ=1 builds them with clang's coverage instrumentation as well, for
the fuzzers (see `make fuzz`, which also picks the compiler through CC and CXX).
"""
import glob
import json
import os
import shutil
import sys
import sysconfig

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

try:
    from setuptools.command.build import build
except ImportError:  # setuptools before 62.4
    from distutils.command.build import build

# Both extensions link the codec, its Python-facing binding and the CPython layer.
READER_SOURCES = sorted(glob.glob("capi/*.cpp") + glob.glob("codec/**/*.cpp", recursive=True)
                        + glob.glob("src/Lumivex/binding/*.cpp"))
SOURCES = ["src/Lumivex/rasterCore_ext.cpp", "src/Lumivex/image.cpp", "src/Lumivex/image_io.cpp"] + READER_SOURCES
NATIVE_SOURCES = ["src/Lumivex/_native.cpp", "src/Lumivex/capped_decode.cpp"] + READER_SOURCES
DEPENDS = sorted(glob.glob("capi/*.hpp") + glob.glob("codec/**/*.hpp", recursive=True)
                 + glob.glob("src/Lumivex/binding/*.hpp")
                 + glob.glob("src/Lumivex/*.hpp"))

# -pthread: the compact writer deflates large images on two threads.
COMPILE_ARGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-fvisibility=hidden", "-pthread"]
LINK_ARGS = ["-pthread"]
BUILD_BASE = "build/release"


def debug_build(sanitizers):
    """Compile and link flags for an instrumented build.

    The interpreter's own CFLAGS carry -fwrapv, which defines signed overflow
    and so leaves UndefinedBehaviorSanitizer nothing to check; extra_compile_args
    come after them on the command line, so -fno-wrapv here wins.
    """
    flags = ["-fsanitize=" + ",".join(sanitizers), "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    compile_args = [arg if arg != "-O2" else "-O1" for arg in COMPILE_ARGS] + flags + ["-fno-wrapv", "-g"]
    return compile_args, LINK_ARGS + flags


def rebuild_when_flags_change(build_base, flags):
    """Empties the build tree when it was built with other flags: distutils only compares timestamps."""
    stamp = os.path.join(build_base, "flags.json")
    try:
        with open(stamp) as f:
            if json.load(f) == flags:
                return
    except (OSError, ValueError):
        pass
    shutil.rmtree(build_base, ignore_errors=True)
    os.makedirs(build_base)
    with open(stamp, "w") as f:
        json.dump(flags, f)


if os.environ.get("LUMIVEX_SANITIZE") == "1":
    BUILD_BASE = "build/sanitize"
    COMPILE_ARGS, LINK_ARGS = debug_build(["address", "undefined", "signed-integer-overflow"])
elif os.environ.get("LUMIVEX_FUZZ") == "1":
    # clang; the sanitizer runtimes and libFuzzer come preloaded from atheris's
    # asan_with_fuzzer.so, which lacks the handlers of the vptr and function
    # checks: nothing here is polymorphic, and every call through a function
    # pointer of the wrong type is the interpreter's own (uninstrumented) one.
    BUILD_BASE = "build/fuzz"
    COMPILE_ARGS, LINK_ARGS = debug_build(["address", "undefined", "signed-integer-overflow", "fuzzer-no-link"])
    COMPILE_ARGS.append("-fno-sanitize=vptr,function")
    # The row filter kernels are fuzzed on their own; see the list for why they are left out here.
    COMPILE_ARGS.append("-fsanitize-coverage-ignorelist=" + os.path.abspath("fuzz/coverage_ignore.txt"))
else:
    # Only the modules' entry points are exported: the libraries linked in
    # statically (libdeflate; zlib and libc++ in the wheels) stay private, so
    # nothing else loaded in the process binds to these copies of them.
    LINK_ARGS.append("-Wl,--version-script=" + os.path.abspath("capi/exports.map"))


# libdeflate's own sources, compiled as a static library that both extensions
# link. Its functions and loops start on 64-byte lines, so that where the
# linker places them cannot move its speed: a test program of the encoder ran
# 8 % slower after its own code grew, on the same instructions, until they did.
LIBDEFLATE_DIR = "third_party/libdeflate"
LIBDEFLATE = ("deflate_bundled", {
    "sources": sorted(glob.glob(LIBDEFLATE_DIR + "/lib/*.c") + glob.glob(LIBDEFLATE_DIR + "/lib/*/*.c")),
    "include_dirs": [LIBDEFLATE_DIR],
    "cflags": ["-O2", "-falign-functions=64", "-falign-loops=64"],
})
# zlib's own sources (the library only, no gz* file functions), for builds that
# must not depend on the system's libz.so: the wheels.
ZLIB_DIR = "third_party/zlib"
ZLIB = ("z_bundled", {
    "sources": sorted(glob.glob(ZLIB_DIR + "/*.c")),
    "include_dirs": [ZLIB_DIR],
    # Its K&R-style definitions draw warnings from newer compilers; the code is not ours to change.
    "cflags": ["-O2", "-w"],
})

WITH_LIBDEFLATE = os.environ.get("LUMIVEX_NO_LIBDEFLATE") != "1"
BUNDLED_ZLIB = os.environ.get("LUMIVEX_BUNDLED_ZLIB") == "1"
STATIC_LIBRARIES = ([LIBDEFLATE] if WITH_LIBDEFLATE else []) + ([ZLIB] if BUNDLED_ZLIB else [])
DEFLATE_COMPILE_ARGS = ["-DLUMIVEX_HAVE_LIBDEFLATE", "-I" + LIBDEFLATE_DIR] if WITH_LIBDEFLATE else []
if BUNDLED_ZLIB:
    # zlib's headers from its own folder, never the system's include directory.
    DEFLATE_COMPILE_ARGS.append("-I" + ZLIB_DIR)
    DEFLATE_LINK_ARGS = []
else:
    DEFLATE_LINK_ARGS = ["-lz"]
# Objects built against one deflate library must not be reused for the other.
if not WITH_LIBDEFLATE:
    BUILD_BASE += "-zlib"
if BUNDLED_ZLIB:
    BUILD_BASE += "-static-zlib"
if BUILD_BASE != "build/release":
    rebuild_when_flags_change(BUILD_BASE, [os.environ.get("CC"), os.environ.get("CXX"), COMPILE_ARGS, LINK_ARGS,
                                           DEFLATE_COMPILE_ARGS, DEFLATE_LINK_ARGS])


# The licences of the libraries compiled in travel with the build.
LICENSE_FILES = (["LICENSE"] + ([LIBDEFLATE_DIR + "/LICENSE.libdeflate"] if WITH_LIBDEFLATE else [])
                 + ([ZLIB_DIR + "/LICENSE.zlib"] if BUNDLED_ZLIB else []))


def license_metadata():
    """The licence as an SPDX expression where setuptools understands one
    (77 and later, which need Python 3.9), else in the older free-text field."""
    if int(setuptools.__version__.split(".")[0]) >= 77:
        return {"license_expression": "MIT", "license_files": LICENSE_FILES}
    return {"license": "MIT", "license_files": LICENSE_FILES}


def missing_build_tools(compiler):
    """What the build lacks of a C++ compiler and Python's headers, in words, or None."""
    for attribute in ("compiler_so", "compiler_cxx", "linker_so"):
        command = getattr(compiler, attribute, None)
        if command and not shutil.which(command[0]):
            return f"{command[0]} not found"
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        return f"Python.h not found in {include}"
    return None


def stop_without_build_tools(compiler):
    missing = missing_build_tools(compiler)
    if missing:
        sys.exit(f"Lumivex needs a C++17 compiler (g++ or clang++) and Python's headers (Debian: "
                 f"g++ python3-dev) to build its extension: {missing}")


class CheckedBuild(build):
    """Checks for the compiler and headers before anything is built, so that
    their absence is the build's first and only complaint."""

    def run(self):
        from distutils.ccompiler import new_compiler
        from distutils.sysconfig import customize_compiler

        compiler = new_compiler()
        customize_compiler(compiler)
        stop_without_build_tools(compiler)
        super().run()


class CxxBuildExt(build_ext):
    """Drops the interpreter's C-only warning flags, which g++ warns about, and
    says which deflate library the build links."""

    def build_extensions(self):
        stop_without_build_tools(self.compiler)
        for attribute in ("compiler_so", "compiler"):
            flags = getattr(self.compiler, attribute, None)
            if flags:
                setattr(self.compiler, attribute, [f for f in flags if f != "-Wstrict-prototypes"])
        if not WITH_LIBDEFLATE:
            print("Lumivex: building without libdeflate (LUMIVEX_NO_LIBDEFLATE=1); deflate and inflate use zlib",
                  file=sys.stderr)
        super().build_extensions()


def extension(name, sources):
    return Extension(
        name,
        sources=sources,
        depends=DEPENDS,
        language="c++",
        extra_compile_args=COMPILE_ARGS + DEFLATE_COMPILE_ARGS,
        extra_link_args=LINK_ARGS + DEFLATE_LINK_ARGS,
    )


setup(
    ext_modules=[extension("Lumivex.rasterCore_ext", SOURCES), extension("Lumivex._native", NATIVE_SOURCES)],
    libraries=STATIC_LIBRARIES,
    cmdclass={"build": CheckedBuild, "build_ext": CxxBuildExt},
    **license_metadata(),
    # Separate trees, so that no build mistakes another's objects for its own.
    options={"build": {"build_base": BUILD_BASE}},
)
