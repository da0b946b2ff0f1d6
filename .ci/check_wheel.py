"""Checks what a binary wheel from `make wheel` holds.

    python .ci/check_wheel.py WHEEL...

Only the package (its modules, extensions and stubs, py.typed) and the
wheel's metadata, with the licences of Lumivex and of the two libraries
compiled in; no sources; under 2 MB.
"""
import pathlib
import sys
import zipfile

MAX_BYTES = 2 * 1024 * 1024
PACKAGE_SUFFIXES = (".py", ".pyi", ".so")
LICENCES = ("LICENSE", "LICENSE.libdeflate", "LICENSE.zlib")


def problems_of(wheel: pathlib.Path) -> list:
    with zipfile.ZipFile(str(wheel)) as archive:
        names = archive.namelist()
    problems = []
    if wheel.stat().st_size >= MAX_BYTES:
        problems.append(f"{wheel.stat().st_size} bytes, not under {MAX_BYTES}")
    metadata = [name for name in names if name.split("/", 1)[0].endswith(".dist-info")]
    package = [name for name in names if name not in metadata and not name.endswith("/")]
    problems += [f"holds {name}" for name in package
                 if not name.startswith("Lumivex/") or not (name.endswith(PACKAGE_SUFFIXES) or name == "Lumivex/py.typed")]
    if not any(name.startswith("Lumivex/rasterCore_ext.") and name.endswith(".so") for name in package):
        problems.append("lacks the extension Lumivex.rasterCore_ext")
    licence_names = {name.rsplit("/", 1)[-1] for name in metadata}
    problems += [f"lacks the licence file {licence}" for licence in LICENCES if licence not in licence_names]
    return problems


def main(wheels: list) -> int:
    failed = False
    for wheel in map(pathlib.Path, wheels):
        problems = problems_of(wheel)
        for problem in problems:
            print(f"{wheel.name}: {problem}", file=sys.stderr)
        if not problems:
            print(f"{wheel.name}: {wheel.stat().st_size} bytes, contents as expected")
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
