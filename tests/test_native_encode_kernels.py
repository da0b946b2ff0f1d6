"""Builds and runs the C++ unit tests of the encoder's kernels (forward filters,
filter choice, zlib wrappers) against each deflate library, plainly and under ASan/UBSan."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [
    "tests/native/test_encode_kernels.cpp",
    "codec/png/filter_select.cpp",
    "codec/png/deflate.cpp",
    "codec/png/filter.cpp",
]
WARNINGS = ["-Wall", "-Wextra", "-Werror"]
BUILDS = {
    "optimised": ["-O2", *WARNINGS],
    # Output buffers are sized exactly: ASan sees any write past them; UBSan any undefined arithmetic.
    "sanitized": ["-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all", *WARNINGS],
}
BACKENDS = {
    "libdeflate": (["-DLUMIVEX_HAVE_LIBDEFLATE"], ["-ldeflate", "-lz"]),
    "zlib": ([], ["-lz"]),
}


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ not found: the native kernel tests need a C++17 compiler")
@pytest.mark.parametrize("backend", sorted(BACKENDS))
@pytest.mark.parametrize("build", sorted(BUILDS))
def test_encode_kernel_unit_tests_pass(tmp_path, build, backend):
    if backend == "libdeflate" and not os.path.exists("/usr/include/libdeflate.h"):
        pytest.skip("libdeflate is not installed (Debian package 'libdeflate-dev')")
    defines, libraries = BACKENDS[backend]
    binary = tmp_path / "test_encode_kernels"
    command = ["g++", "-std=c++17", *BUILDS[build], *defines, "-I", str(ROOT)]
    command += [str(ROOT / source) for source in SOURCES] + libraries + ["-o", str(binary)]
    compiled = subprocess.run(command, capture_output=True, text=True)
    assert compiled.returncode == 0, "build failed:\n" + compiled.stderr

    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    result = subprocess.run([str(binary)], capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith(backend + ":"), result.stdout
