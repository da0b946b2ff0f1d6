"""Builds the C++ extension Lumivex.rasterCore_ext.

LUMIVEX_SANITIZE=1 in the environment builds it with AddressSanitizer and
UndefinedBehaviorSanitizer (see `make test-asan`).
"""
import glob
import os

import setuptools
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
if os.environ.get("LUMIVEX_SANITIZE") == "1":
    BUILD_BASE = "build/sanitize"
    SANITIZERS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    COMPILE_ARGS = [arg if arg != "-O2" else "-O1" for arg in COMPILE_ARGS] + SANITIZERS + ["-g"]
    LINK_ARGS += SANITIZERS


def license_metadata():
    """The licence as an SPDX expression where setuptools understands one
    (77 and later, which need Python 3.9), else in the older free-text field."""
    if int(setuptools.__version__.split(".")[0]) >= 77:
        return {"license_expression": "MIT", "license_files": ["LICENSE"]}
    return {"license": "MIT", "license_files": ["LICENSE"]}


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
    **license_metadata(),
    # Separate trees, so that neither build mistakes the other's objects for its own.
    options={"build": {"build_base": BUILD_BASE}},
)
