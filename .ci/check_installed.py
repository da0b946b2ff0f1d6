"""Checks an installed binary wheel, run by the interpreter it is installed in.

    python .ci/check_installed.py

Its extensions must link no libdeflate or zlib shared library (both are
compiled in), nothing ldd cannot find, and deflate through libdeflate.
"""
import re
import subprocess
import sys

import Lumivex
import Lumivex._native
import Lumivex.rasterCore_ext

SHARED_DEFLATE = re.compile(r"\blib(deflate|z)\.so")


def main() -> int:
    problems = []
    for module in (Lumivex.rasterCore_ext, Lumivex._native):
        linked = subprocess.run(["ldd", module.__file__], stdout=subprocess.PIPE, universal_newlines=True,
                                check=True).stdout
        problems += [f"{module.__name__} links {line.strip()}" for line in linked.splitlines()
                     if SHARED_DEFLATE.search(line) or "not found" in line]
    if Lumivex.DEFLATE_BACKEND != "libdeflate":
        problems.append(f"DEFLATE_BACKEND is {Lumivex.DEFLATE_BACKEND!r}, not 'libdeflate'")
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{Lumivex.__file__}: no shared libdeflate or zlib linked; deflate backend libdeflate")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
