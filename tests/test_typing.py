"""Static types: the package's own code passes mypy --strict, and the stubs of
the extension catch misuse in code that calls it."""
import os
import pathlib
import shutil
import subprocess
import sys

import Lumivex

INSTALLED = pathlib.Path(Lumivex.__file__).resolve().parent


def mypy(cwd, *targets):
    """mypy --strict in `cwd` against a copy of the installed package (mypy does
    not report errors in files under site-packages)."""
    copy = pathlib.Path(cwd) / "Lumivex"
    if not copy.exists():
        shutil.copytree(str(INSTALLED), str(copy), ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--config-file", os.devnull,
               "--hide-error-context", "--no-error-summary", *targets]
    return subprocess.run(command, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=600)


def test_package_code_passes_mypy_strict(tmp_path):
    result = mypy(tmp_path, "-p", "Lumivex")
    assert result.returncode == 0, result.stdout


USER_CODE = """\
import pathlib
import Lumivex
from Lumivex.rasterCore_ext import SimpleImage, _makeChunk

class Photo(SimpleImage):
    pass

image: SimpleImage = Lumivex.open("a.png", max_pixels=None)
photo: Photo = Photo.open(pathlib.Path("a.bmp"))
red, green, blue = image.getPixel((0, 0))
image.putPixel((1, 2), b"abc")
width, height = image.size
image.save("out.png")
view = Lumivex.to_numpy(photo)
chunk: bytes = _makeChunk(b"tEXt", b"")
"""

MISUSE = [
    ("image.save(pathlib.Path('out.png'))", 'Argument 1 to "save" of "SimpleImage" has incompatible type "Path"'),
    ("SimpleImage.open(3)", 'Argument 1 to "open" of "SimpleImage" has incompatible type "int"'),
    ("image.getPixel([0, 0])", 'Argument 1 to "getPixel" of "SimpleImage" has incompatible type "list[int]"'),
    ("Lumivex.open('a.png', max_pixels='10')", 'Argument "max_pixels" to "open" has incompatible type "str"'),
    ("copied: Photo = photo.copy()", 'Incompatible types in assignment (expression has type "SimpleImage"'),
    ("_makeChunk(chunkType='IEND', data=b'')", 'Argument "chunkType" to "_makeChunk" has incompatible type "str"'),
]


def test_stubs_accept_correct_use_and_flag_misuse(tmp_path):
    (tmp_path / "user.py").write_text(USER_CODE + "".join(statement + "\n" for statement, _ in MISUSE))
    result = mypy(tmp_path, "user.py")
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    first_misuse = len(USER_CODE.splitlines()) + 1
    for offset, (statement, expected) in enumerate(MISUSE):
        here = [line for line in errors if line.startswith(f"user.py:{first_misuse + offset}:")]
        assert any(expected.lower() in line.lower() for line in here), (statement, result.stdout)
    correct = [line for line in errors if int(line.split(":")[1]) < first_misuse]
    assert not correct, result.stdout
