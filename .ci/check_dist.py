"""Checks the contents of the distributions that `make test-dist` built.

    python .ci/check_dist.py DIST_DIR

The sdist must hold what the suite needs (tests, their data and helpers, the
C++ sources, the licence); the wheel the typed package and no C++ sources.
"""
import pathlib
import sys
import tarfile
import zipfile


def main(folder: str) -> int:
    dist = pathlib.Path(folder)
    (sdist,) = dist.glob("*.tar.gz")
    (wheel,) = dist.glob("*.whl")
    with tarfile.open(str(sdist)) as archive:
        sdist_names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    with zipfile.ZipFile(str(wheel)) as archive:
        wheel_names = set(archive.namelist())
    problems = []
    for needed in ("LICENSE", "CHANGELOG.md", "tests/helpers.py", "tests/pngbytes.py", "tests/bmpbytes.py",
                   "tests/native/test_kernels.cpp", "tests/native/check.hpp", "tests/data/pngsuite/basn2c08.png",
                   "codec/png/filter.cpp", "codec/png/predictors.hpp", "src/Lumivex/rasterCore_ext.pyi",
                   "demo/sample.png", "README.md", "docs/formats.md", "capi/exports.map",
                   "third_party/libdeflate/LICENSE.libdeflate", "third_party/libdeflate/lib/deflate_compress.c",
                   "third_party/zlib/LICENSE.zlib", "third_party/zlib/inflate.c"):
        if needed not in sdist_names:
            problems.append(f"{sdist.name} lacks {needed}")
    for needed in ("Lumivex/py.typed", "Lumivex/rasterCore_ext.pyi", "Lumivex/__main__.py"):
        if needed not in wheel_names:
            problems.append(f"{wheel.name} lacks {needed}")
    problems += [f"{wheel.name} holds the source {name}" for name in sorted(wheel_names)
                 if name.endswith((".cpp", ".hpp"))]
    problems += [f"{wheel.name} holds {name}" for name in sorted(wheel_names) if name.startswith("Lumivex/binding/")]
    if not any(name.endswith("licenses/LICENSE") or name.endswith("/LICENSE") for name in wheel_names):
        problems.append(f"{wheel.name} lacks the licence file")
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{sdist.name} and {wheel.name}: contents as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
