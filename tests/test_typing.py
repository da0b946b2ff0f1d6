"""Static types: the package's own code passes mypy --strict, the stubs of
the extension catch misuse in code that calls it, and they declare the very
parameters the extension's callables report to inspect."""
import ast
import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import Lumivex
import Lumivex.rasterCore_ext as rc

INSTALLED = pathlib.Path(Lumivex.__file__).resolve().parent
STUB = INSTALLED / "rasterCore_ext.pyi"
ALLOWLIST = pathlib.Path(__file__).resolve().parent / "stubtest-allowlist.txt"


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
from typing import Any, Dict
import numpy
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
samples: "numpy.ndarray[Any, Any]" = Lumivex.imread(b"...", "RGBA", depth=16)
layout: Dict[str, Any] = Lumivex.read_metadata(pathlib.Path("a.png"))
image.putPixel((0, 0), numpy.array([1, 2, 3], numpy.uint8))
import Lumivex.dask
results = Lumivex.dask.convert([pathlib.Path("a.png")], pathlib.Path("out"))
stack = Lumivex.dask.read_stack(pathlib.Path("a.png"))
"""

MISUSE = [
    ("image.save(pathlib.Path('out.png'))", 'Argument 1 to "save" of "SimpleImage" has incompatible type "Path"'),
    ("SimpleImage.open(3)", 'Argument 1 to "open" of "SimpleImage" has incompatible type "int"'),
    ("image.getPixel([0, 0])", 'Argument 1 to "getPixel" of "SimpleImage" has incompatible type "list[int]"'),
    ("Lumivex.open('a.png', max_pixels='10')", 'Argument "max_pixels" to "open" has incompatible type "str"'),
    ("copied: Photo = photo.copy()", 'Incompatible types in assignment (expression has type "SimpleImage"'),
    ("_makeChunk(chunkType='IEND', data=b'')", 'Argument "chunkType" to "_makeChunk" has incompatible type "str"'),
    ("Lumivex.imread('a.png', 'P')", 'Argument 2 to "imread" has incompatible type "Literal[\'P\']"'),
    ("Lumivex.dask.read_stack('a/*.png').no_such_name", '"Array" has no attribute "no_such_name"'),
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


def stub_callables():
    """(name, runtime callable, the stub's parameters) for each function the
    stub declares, methods reached through an instance (so self and cls are
    bound) and __new__ through the class itself."""
    image = rc.SimpleImage(1, 1, b"abc")
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(rc, node.name), stub_params(node, bound=False)
        elif isinstance(node, ast.ClassDef) and node.name == "SimpleImage":
            for member in node.body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                decorators = {getattr(d, "id", None) for d in member.decorator_list}
                if member.decorator_list and not decorators & {"staticmethod", "classmethod"}:
                    continue  # properties
                runtime = rc.SimpleImage if member.name == "__new__" else getattr(image, member.name)
                bound = "staticmethod" not in decorators
                yield "SimpleImage." + member.name, runtime, stub_params(member, bound)


def stub_params(function, bound):
    arguments = function.args
    kinds = inspect.Parameter
    params = ([(a.arg, kinds.POSITIONAL_ONLY) for a in arguments.posonlyargs] +
              [(a.arg, kinds.POSITIONAL_OR_KEYWORD) for a in arguments.args] +
              [(a.arg, kinds.KEYWORD_ONLY) for a in arguments.kwonlyargs])
    assert arguments.vararg is None and arguments.kwarg is None
    return params[1:] if bound else params


STUB_CALLABLES = list(stub_callables())


@pytest.mark.parametrize("name, runtime, declared", STUB_CALLABLES, ids=[c[0] for c in STUB_CALLABLES])
def test_inspect_signature_agrees_with_stub(name, runtime, declared):
    signature = inspect.signature(runtime)
    assert [(p.name, p.kind) for p in signature.parameters.values()] == declared


# stubtest's mypy pin and the allowlist are for this interpreter.
on_stubtest_python = pytest.mark.skipif(sys.version_info[:2] != (3, 8), reason="stubtest runs on CPython 3.8")


def stubtest(cwd, **environment):
    """stubtest of the installed extension, from outside the source tree."""
    command = [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(ALLOWLIST), "Lumivex.rasterCore_ext"]
    return subprocess.run(command, cwd=str(cwd), env=dict(os.environ, **environment), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)


@on_stubtest_python
def test_stubtest_passes(tmp_path):
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout


# (text of the shipped stub, a mistake put in its place, stubtest's complaint)
STUB_MISTAKES = [
    ("def getPixel(self, coords:", "def getPixel(self, coord:",
     'SimpleImage.getPixel is inconsistent, stub argument "coord" differs from runtime argument "coords"'),
    ("source: ImageInput", "src: ImageInput",
     'SimpleImage.open is inconsistent, stub argument "src" differs from runtime argument "source"'),
    ("def _makeChunk(chunkType: bytes, data: bytes)", "def _makeChunk(chunkType: bytes)",
     '_makeChunk is inconsistent, stub does not have argument "data"'),
    ("def saveBmp(self, path: str)", "def saveBmp(self, path: str, quality: int)",
     'SimpleImage.saveBmp is inconsistent, runtime does not have argument "quality"'),
]


@on_stubtest_python
def test_stubtest_flags_wrong_parameters(tmp_path):
    stubs = tmp_path / "stubs"
    (stubs / "Lumivex").mkdir(parents=True)
    (stubs / "Lumivex" / "__init__.pyi").write_text("")
    text = STUB.read_text()
    for shipped, mistake, _ in STUB_MISTAKES:
        assert text.count(shipped) == 1, shipped
        text = text.replace(shipped, mistake)
    (stubs / "Lumivex" / "rasterCore_ext.pyi").write_text(text)
    result = stubtest(tmp_path, MYPYPATH=str(stubs))
    errors = [line for line in result.stdout.splitlines() if line.startswith("error: ")]
    assert result.returncode == 1
    assert sorted(errors) == sorted("error: Lumivex.rasterCore_ext." + complaint for *_, complaint in STUB_MISTAKES)
