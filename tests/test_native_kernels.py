"""Builds and runs the C++ unit tests of the byte kernels: reconstruction, conversion to RGB, row
assembly and the size arithmetic; the byte sources the readers walk; the encoder's kernels
(forward filters, filter choice, zlib wrappers, the rows its candidates keep) against each
deflate library. Each is built plainly and under ASan/UBSan."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Each test program with the sources it links and the deflate backends it is built against
# (compile flags, libraries); None where it uses no deflate library.
PROGRAMS = {
    "kernels": (
        ["tests/native/test_kernels.cpp", "codec/png/filter.cpp", "codec/png/paeth.cpp", "codec/png/narrow.cpp",
         "codec/png/rows.cpp", "codec/png/convert.cpp", "codec/bmp/rows.cpp"],
        {None: ([], [])},
    ),
    "sources": (["tests/native/test_sources.cpp", "codec/file_source.cpp"], {None: ([], [])}),
    "encode_kernels": (
        ["tests/native/test_encode_kernels.cpp", "codec/png/filter_select.cpp", "codec/png/filter_image.cpp",
         "codec/png/deflate.cpp", "codec/png/inflate.cpp", "codec/png/deflate_scan.cpp", "codec/png/filter.cpp",
         "codec/png/paeth.cpp", "codec/png/compact/choose.cpp", "codec/png/compact/estimate.cpp",
         "codec/png/compact/layouts.cpp", "codec/png/compact/rows.cpp", "codec/png/compact/schedule.cpp",
         "codec/png/unmatched_estimate.cpp", "codec/png/reduce.cpp", "codec/png/pieces.cpp", "codec/png/framing.cpp"],
        {"libdeflate": (["-DLUMIVEX_HAVE_LIBDEFLATE"], ["-ldeflate", "-lz", "-pthread"]), "zlib": ([], ["-lz", "-pthread"])},
    ),
}
WARNINGS = ["-Wall", "-Wextra", "-Werror"]
BUILDS = {
    # Catches wrong bytes and any new compiler warning.
    "optimised": ["-O2", *WARNINGS],
    # Output buffers are sized exactly: ASan sees any read or write past them; UBSan any undefined arithmetic.
    "sanitized": ["-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all", *WARNINGS],
}
CASES = [
    pytest.param(program, build, backend, id="-".join(filter(None, [program, build, backend])))
    for program, (_, backends) in PROGRAMS.items()
    for build in sorted(BUILDS)
    for backend in sorted(backends, key=str)
]


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ not found: the native kernel tests need a C++17 compiler")
@pytest.mark.parametrize("program, build, backend", CASES)
def test_native_unit_tests_pass(tmp_path, program, build, backend):
    if backend == "libdeflate" and not os.path.exists("/usr/include/libdeflate.h"):
        pytest.skip("libdeflate is not installed (Debian package 'libdeflate-dev')")
    sources, backends = PROGRAMS[program]
    defines, libraries = backends[backend]
    binary = tmp_path / ("test_" + program)
    command = ["g++", "-std=c++17", *BUILDS[build], *defines, "-I", str(ROOT)]
    command += [str(ROOT / source) for source in sources] + libraries + ["-o", str(binary)]
    compiled = subprocess.run(command, capture_output=True, text=True)
    assert compiled.returncode == 0, "build failed:\n" + compiled.stderr

    # The kernels never allocate; leak checking only adds a ptrace dependency that containers may lack.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    result = subprocess.run([str(binary)], capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    # A build meant for one deflate library that silently fell back to the other would pass unseen.
    if backend is not None:
        assert result.stdout.startswith(backend + ":"), result.stdout


@pytest.mark.skipif(not os.environ.get("LUMIVEX_SANITIZED"), reason="checks the sanitizer build of the extension")
def test_sanitizer_build_checks_signed_overflow():
    # The interpreter's own flags carry -fwrapv, which defines signed overflow and so leaves
    # UBSan nothing to report; the extension must be built so that its handlers are linked.
    import Lumivex.rasterCore_ext
    binary = pathlib.Path(Lumivex.rasterCore_ext.__file__).read_bytes()
    assert b"__ubsan_handle_add_overflow" in binary and b"__ubsan_handle_mul_overflow" in binary
