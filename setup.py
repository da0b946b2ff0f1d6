"""Builds the C++ extension Lumivex.rasterCore_ext.

LUMIVEX_SANITIZE=1 in the environment builds it with AddressSanitizer and
UndefinedBehaviorSanitizer (see `make test-asan`); LUMIVEX_FUZZ=1 builds it
with clang's coverage instrumentation as well, for the fuzzers (see `make fuzz`,
which also picks the compiler through CC and CXX).
"""
import glob
import json
import os
import shutil

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCES = (
    ["Lumivex/rasterCore_ext.cpp"]
    + sorted(glob.glob("capi/*.cpp"))
    + sorted(glob.glob("codec/png/*.cpp"))
    + sorted(glob.glob("codec/bmp/*.cpp"))
)

COMPILE_ARGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-fvisibility=hidden"]
LINK_ARGS = []
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
if BUILD_BASE != "build/release":
    rebuild_when_flags_change(BUILD_BASE, [os.environ.get("CC"), os.environ.get("CXX"), COMPILE_ARGS, LINK_ARGS])


class CxxBuildExt(build_ext):
    """Drops the interpreter's C-only warning flags, which g++ warns about."""

    def build_extensions(self):
        for attribute in ("compiler_so", "compiler"):
            flags = getattr(self.compiler, attribute, None)
            if flags:
                setattr(self.compiler, attribute, [f for f in flags if f != "-Wstrict-prototypes"])
        super().build_extensions()


setup(
    ext_modules=[
        Extension(
            "Lumivex.rasterCore_ext",
            sources=SOURCES,
            depends=sorted(glob.glob("capi/*.hpp") + glob.glob("codec/*/*.hpp")),
            language="c++",
            extra_compile_args=COMPILE_ARGS,
            extra_link_args=LINK_ARGS,
        )
    ],
    cmdclass={"build_ext": CxxBuildExt},
    # Separate trees, so that neither build mistakes the other's objects for its own.
    options={"build": {"build_base": BUILD_BASE}},
)
