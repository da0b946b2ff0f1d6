"""Builds and runs the C++ unit tests of the byte kernels and header checks, plainly and under ASan/UBSan."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [
    "tests/native/test_kernels.cpp",
    "codec/png/filter.cpp",
    "codec/png/narrow.cpp",
    "codec/png/rows.cpp",
    "codec/bmp/rows.cpp",
]
WARNINGS = ["-Wall", "-Wextra", "-Werror"]
BUILDS = {
    # Catches wrong bytes and any new compiler warning.
    "optimised": ["-O2", *WARNINGS],
    # Catches reads and writes past the row buffers, which are sized exactly, and undefined arithmetic.
    "sanitized": ["-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all", *WARNINGS],
}


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ not found: the native kernel tests need a C++17 compiler")
@pytest.mark.parametrize("build", sorted(BUILDS))
def test_kernel_unit_tests_pass(tmp_path, build):
    binary = tmp_path / ("test_kernels_" + build)
    command = ["g++", "-std=c++17", *BUILDS[build], "-I", str(ROOT)]
    command += [str(ROOT / source) for source in SOURCES] + ["-o", str(binary)]
    compiled = subprocess.run(command, capture_output=True, text=True)
    assert compiled.returncode == 0, "build failed:\n" + compiled.stderr

    # The kernels never allocate; leak checking only adds a ptrace dependency that containers may lack.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    result = subprocess.run([str(binary)], capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
