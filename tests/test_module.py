"""Module surface: namespace, callables, argument conventions, import rules
and call-time name lookup."""
import io
import pathlib
import struct
import sys
import typing
import zlib

import pytest

import Lumivex.rasterCore_ext as rc
from helpers import (BytesSub, ImageSub, IntLike, StrSub, TupleSub, exact_type_message,
                     expect_error, run_ok)
from pngbytes import rgb_png

SimpleImage = rc.SimpleImage
IMG = SimpleImage(1, 1, b"abc")
NAMES = ["SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple",
         "Union", "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng",
         "_writeBmp"]


def test_namespace_binds_table_in_order():
    assert [k for k in vars(rc) if not k.startswith("__")] == NAMES
    assert (rc.struct, rc.zlib, rc.BytesIO, rc.Path) == (struct, zlib, io.BytesIO, pathlib.Path)
    assert (rc.List, rc.Sequence, rc.Tuple, rc.Union) == (
        typing.List, typing.Sequence, typing.Tuple, typing.Union)
    assert type(rc.PNG_SIGNATURE) is bytes and rc.PNG_SIGNATURE.hex() == "89504e470d0a1a0a"
    assert rc.ImageInput.__origin__ is typing.Union
    assert rc.ImageInput.__args__ == (str, pathlib.Path, bytes, bytearray)
    assert rc.__doc__ is None and not hasattr(rc, "__path__")
    assert rc.__package__ == "Lumivex" and rc.__file__ == rc.__spec__.origin


def _method(name):
    raw = SimpleImage.__dict__[name]
    return raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw


CALLABLES = [
    (rc._readChunk, "_readChunk", {"return": "Tuple[bytes, bytes]"}),
    (rc._makeChunk, "_makeChunk", {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    (rc._writePng, "_writePng", {"return": "None"}),
    (rc._writeBmp, "_writeBmp", {"return": "None"}),
    (_method("_streamToImage"), "SimpleImage._streamToImage", {}),
    (_method("open"), "SimpleImage.open", {"source": "ImageInput", "return": "'SimpleImage'"}),
    (_method("getPixel"), "SimpleImage.getPixel",
     {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}),
    (_method("putPixel"), "SimpleImage.putPixel",
     {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}),
    (_method("copy"), "SimpleImage.copy", {"return": "'SimpleImage'"}),
    (_method("save"), "SimpleImage.save", {"path": "str", "return": "None"}),
    (_method("saveBmp"), "SimpleImage.saveBmp", {"path": "str", "return": "None"}),
]


@pytest.mark.parametrize("func, qualname, annotations", CALLABLES, ids=[c[1] for c in CALLABLES])
def test_callable_attributes(func, qualname, annotations):
    assert func.__name__ == qualname.rpartition(".")[2] and func.__qualname__ == qualname
    assert func.__module__ == "Lumivex.rasterCore_ext" and func.__doc__ is None
    assert list(func.__annotations__.items()) == list(annotations.items())


def test_class_dict_member_order():
    members = ["_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp",
               "__reduce__", "__setstate__", "size", "width", "height", "_pixels"]
    assert [k for k in SimpleImage.__dict__ if k in members] == members


def test_method_kinds_and_binding():
    assert isinstance(SimpleImage.__dict__["_streamToImage"], staticmethod)
    assert isinstance(SimpleImage.__dict__["open"], classmethod)
    assert SimpleImage.open.__self__ is SimpleImage and ImageSub.open.__self__ is ImageSub
    assert IMG.getPixel.__self__ is IMG
    # A static method must not receive the instance as its stream.
    expect_error(TypeError, "_streamToImage() takes exactly 1 positional argument (0 given)",
                 IMG._streamToImage)


@pytest.mark.parametrize("call, name, expected, given", [
    (lambda: SimpleImage(), "__cinit__", 3, 0),
    (lambda: SimpleImage(1, 1, b"abc", 4), "__cinit__", 3, 4),
    (lambda: IMG.getPixel(), "getPixel", 1, 0), (lambda: IMG.getPixel((0, 0), 1), "getPixel", 1, 2),
    (lambda: IMG.putPixel((0, 0)), "putPixel", 2, 1), (lambda: IMG.copy(1), "copy", 0, 1),
    (lambda: IMG.save(), "save", 1, 0), (lambda: IMG.saveBmp("a", "b"), "saveBmp", 1, 2),
    (lambda: SimpleImage.open(), "open", 1, 0),
    (lambda: SimpleImage._streamToImage(1, 2), "_streamToImage", 1, 2),
    (lambda: rc._readChunk(), "_readChunk", 1, 0),
    (lambda: rc._makeChunk(b"IEND"), "_makeChunk", 2, 1),
    (lambda: rc._writePng("a", 1, 1), "_writePng", 4, 3),
    (lambda: rc._writeBmp("a", 1, 1, b"abc", 5), "_writeBmp", 4, 5),
])
def test_arity_message(call, name, expected, given):
    expect_error(TypeError, "%s() takes exactly %d positional argument%s (%d given)" % (
        name, expected, "" if expected == 1 else "s", given), call)


# From 3.9 the interpreter itself refuses keywords that are not strings when
# it calls through a bound method, in its own words; the module's check still
# speaks for the constructor and the module functions.
if sys.version_info >= (3, 9):
    BOUND_KEYWORDS_NOT_STRINGS = "keywords must be strings"
else:
    BOUND_KEYWORDS_NOT_STRINGS = "getPixel() keywords must be strings"


@pytest.mark.parametrize("call, message", [
    (lambda: SimpleImage(1, 1, b"abc", colour=1),
     "__cinit__() got an unexpected keyword argument 'colour'"),
    (lambda: SimpleImage(1, 1, b"abc", width=1),
     "__cinit__() got multiple values for keyword argument 'width'"),
    (lambda: SimpleImage(1, 1, b"abc", **{1: 2}), "__cinit__() keywords must be strings"),
    (lambda: IMG.putPixel((0, 0), (1, 2, 3), colour=1),
     "putPixel() got an unexpected keyword argument 'colour'"),
    (lambda: IMG.getPixel((0, 0), coords=(0, 0)),
     "getPixel() got multiple values for keyword argument 'coords'"),
    (lambda: IMG.getPixel((0, 0), **{1: 2}), BOUND_KEYWORDS_NOT_STRINGS),
    (lambda: rc._makeChunk(b"IEND", b"", data=b""),
     "_makeChunk() got multiple values for keyword argument 'data'"),
    (lambda: rc._makeChunk(b"IEND", b"", **{1: 2}), "_makeChunk() keywords must be strings"),
])
def test_keyword_errors(call, message):
    expect_error(TypeError, message, call)


def test_keyword_binding():
    img = SimpleImage(pixels=b"abc", height=1, width=1)
    img.putPixel(value=(7, 8, 9), coords=(0, 0))
    assert img.getPixel(coords=(0, 0)) == (7, 8, 9)


# Each parameter of exact type, with None, a subclass and the near misses a
# looser check would let through.
EXACT_TYPE_CASES = [
    (IMG.getPixel, "coords", tuple, [None, TupleSub((0, 0)), [0, 0]]),
    (lambda v: IMG.putPixel(v, (1, 2, 3)), "coords", tuple, [None, TupleSub((0, 0)), [0, 0]]),
    (lambda v: rc._makeChunk(v, b""), "chunkType", bytes,
     [None, BytesSub(b"IEND"), bytearray(b"IEND"), memoryview(b"IEND"), "IEND"]),
    (lambda v: rc._makeChunk(b"IEND", v), "data", bytes,
     [None, BytesSub(b"IEND"), bytearray(b"IEND"), memoryview(b"IEND"), "IEND"]),
    (IMG.save, "path", str, [None, StrSub("x.png"), pathlib.Path("x.png"), b"x.png"]),
    (IMG.saveBmp, "path", str, [None, StrSub("x.bmp"), pathlib.Path("x.bmp"), b"x.bmp"]),
]


@pytest.mark.parametrize("call, param, expected, value", [
    (call, param, expected, value) for call, param, expected, values in EXACT_TYPE_CASES
    for value in values])
def test_exact_type_rule(tmp_path, monkeypatch, call, param, expected, value):
    monkeypatch.chdir(tmp_path)
    expect_error(TypeError, exact_type_message(param, expected, value), call, value)
    assert list(tmp_path.iterdir()) == [] and IMG._pixels == b"abc"


@pytest.mark.parametrize("value, stored", [
    (7, 7), (True, 1), (2.9, 2), (-2.9, -2), (IntLike(5), 5),
    (2 ** 31 - 1, 2 ** 31 - 1), (-2 ** 31, -2 ** 31),
])
def test_int32_rule_accepts(value, stored, recwarn):
    assert SimpleImage(value, 0, b"").width == stored
    assert SimpleImage(0, value, b"").height == stored
    img = SimpleImage(0, 0, b"")
    img.width = img.height = value
    assert img.size == (stored, stored)
    assert not [w for w in recwarn if issubclass(w.category, DeprecationWarning)]


TOO_LARGE = "value too large to convert to int"


@pytest.mark.parametrize("value, exc_type, message", [
    ("2", TypeError, "an integer is required"), (None, TypeError, "an integer is required"),
    (type("IndexOnly", (), {"__index__": lambda self: 1})(), TypeError, "an integer is required"),
    (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
    (IntLike("3"), TypeError, "__int__ returned non-int (type str)"),
    (2 ** 31, OverflowError, TOO_LARGE), (-2 ** 31 - 1, OverflowError, TOO_LARGE),
    (10 ** 30, OverflowError, TOO_LARGE), (IntLike(2 ** 31), OverflowError, TOO_LARGE),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
])
@pytest.mark.parametrize("target", ["ctor-width", "ctor-height", "setter", "_writePng", "_writeBmp"])
def test_int32_rule_rejects(tmp_path, target, value, exc_type, message):
    img, path = SimpleImage(1, 1, b"abc"), str(tmp_path / "a")
    call = {"ctor-width": lambda: SimpleImage(value, 1, None),
            "ctor-height": lambda: SimpleImage(1, value, None),
            "setter": lambda: setattr(img, "height", value),
            "_writePng": lambda: rc._writePng(path, 1, value, None),
            "_writeBmp": lambda: rc._writeBmp(path, value, 1, None)}[target]
    expect_error(exc_type, message, call)
    assert img.size == (1, 1) and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda: SimpleImage("x", 2 ** 31, b""), TypeError, "an integer is required"),
    (lambda: SimpleImage(2 ** 31, "x", b""), OverflowError, TOO_LARGE),
    (lambda: rc._writePng("unused", 2 ** 31, "x", None), OverflowError, TOO_LARGE),
    (lambda: rc._makeChunk(bytearray(b"IEND"), None), TypeError,
     exact_type_message("chunkType", bytes, bytearray())),
    (lambda: rc._makeChunk(data=None, chunkType="IEND"), TypeError,
     exact_type_message("chunkType", bytes, "")),
])
def test_arguments_are_checked_left_to_right(call, exc_type, message):
    expect_error(exc_type, message, call)


PRELUDE = """
import io, pathlib, sys
import Lumivex.rasterCore_ext as m
img = m.SimpleImage(2, 1, bytes(range(6)))
def outcome(fn):
    try:
        r = fn()
    except BaseException as e:
        return '%s: %s' % (type(e).__name__, e)
    return 'returned %r' % (r,)
"""


def script(code, cwd=None):
    # Deprecation warnings are errors here: what warns on 3.8 fails on later versions.
    return run_ok(PRELUDE + code, flags=("-W", "error::DeprecationWarning"), cwd=cwd).splitlines()


def test_reimport_yields_same_module_with_rebound_names():
    out = script("""
import importlib, importlib.util
sentinel = m.PNG_SIGNATURE = b'rebound'
del m.Path
found = m.__spec__
del sys.modules['Lumivex.rasterCore_ext']
import Lumivex.rasterCore_ext as again
print(again is m, importlib.reload(m) is m, importlib.util.module_from_spec(found) is m)
print(m.PNG_SIGNATURE is sentinel, 'Path' in vars(m), m.SimpleImage(1, 1, b'xyz').getPixel((0, 0)))
""")
    assert out == ["True True True", "True False (120, 121, 122)"]


# A sub-interpreter that shares the main one's settings, so that the import
# reaches the module's own check. From 3.12 the interpreters that
# _xxsubinterpreters makes are isolated, and the interpreter refuses the module
# itself before the module is asked; Py_NewInterpreter still makes a legacy one.
if sys.version_info >= (3, 12):
    RUN_IN_SUBINTERPRETER = "import _testcapi\n_testcapi.run_in_subinterp(code)"
else:
    RUN_IN_SUBINTERPRETER = ("import _xxsubinterpreters as interpreters\n"
                             "interpreters.run_string(interpreters.create(), code)")


def test_second_interpreter_is_refused():
    out = script("""
import os
r, w = os.pipe()
code = '''
import os
try:
    import Lumivex.rasterCore_ext
except ImportError as e:
    os.write(%d, ('ImportError: %%s' %% e).encode())
else:
    os.write(%d, b'imported')
''' % (w, w)
""" + RUN_IN_SUBINTERPRETER + """
os.close(w)
print(os.read(r, 4096).decode())
print(img.getPixel((1, 0)))
""")
    assert out == ["ImportError: Interpreter change detected - this module can only be "
                   "loaded into one interpreter per process.", "(3, 4, 5)"]


@pytest.mark.parametrize("blocked", ["struct", "zlib", "pathlib", "typing"])
def test_failed_initialisation_leaves_module_importable(blocked):
    out = run_ok("""
import sys
sys.modules[%r] = None
try:
    import Lumivex.rasterCore_ext
except ImportError as e:
    print(type(e).__name__, e)
print('Lumivex.rasterCore_ext' in sys.modules)
del sys.modules[%r]
import Lumivex.rasterCore_ext as m
print([k for k in vars(m) if not k.startswith('__')] == %r)
print(m.SimpleImage(1, 1, b'abc').copy().getPixel((0, 0)))
""" % (blocked, blocked, NAMES))
    assert out.splitlines() == [
        "ModuleNotFoundError import of %s halted; None in sys.modules" % blocked,
        "False", "True", "(97, 98, 99)"]


IEND = "b'\\x00\\x00\\x00\\x00IEND\\xaeB`\\x82'"
PNG_1x1 = repr(rgb_png(1, 1, b"abc"))
FAKE_ZLIB = "m.zlib = type('Z', (), {'crc32': staticmethod(lambda *args: 0x01020304)})"


@pytest.mark.parametrize("setup, call, expected", [
    ("del m.SimpleImage", "type(img.copy()).__name__", "returned 'SimpleImage'"),
    ("del m.Path", "m.SimpleImage.open(b'')", "NameError: name 'Path' is not defined"),
    ("m.Path = pathlib.PurePath", "m.SimpleImage.open(pathlib.PurePosixPath('/nonexistent'))",
     "FileNotFoundError: [Errno 2] No such file or directory: '/nonexistent'"),
    ("del m.BytesIO", "m.SimpleImage.open(b'')", "NameError: name 'BytesIO' is not defined"),
    ("m.BytesIO = lambda source: io.BytesIO(b'')", "m.SimpleImage.open(b'BM')",
     "ValueError: Unsupported image format"),
    ("del m.PNG_SIGNATURE", "m.SimpleImage.open(b'BM')",
     "NameError: name 'PNG_SIGNATURE' is not defined"),
    ("m.PNG_SIGNATURE += b'!'", "m.SimpleImage.open(%s)" % PNG_1x1,
     "ValueError: Unsupported image format"),
    ("del m._writePng", "img.save('unused.png')", "NameError: name '_writePng' is not defined"),
    ("del m._writeBmp", "img.saveBmp('unused.bmp')", "NameError: name '_writeBmp' is not defined"),
    ("del m.struct", "m._makeChunk(b'IEND', b'')", "NameError: name 'struct' is not defined"),
    ("del m.zlib", "m._makeChunk(b'IEND', b'')", "NameError: name 'zlib' is not defined"),
    (FAKE_ZLIB, "m._makeChunk(b'IEND', b'').hex()", "returned '0000000049454e4401020304'"),
    ("del m.zlib", "m._readChunk(io.BytesIO(%s))" % IEND, "NameError: name 'zlib' is not defined"),
    # struct is needed only once a length has been read, not at the end of the stream
    ("del m.struct", "m._readChunk(io.BytesIO())", "returned (b'', b'')"),
    ("del m._readChunk", "m.SimpleImage.open(%s)" % PNG_1x1,
     "NameError: name '_readChunk' is not defined"),
])
def test_module_names_are_looked_up_at_use(setup, call, expected):
    assert script("%s\nprint(outcome(lambda: %s))" % (setup, call)) == [expected]


def test_rebound_writers_receive_image_fields(tmp_path):
    out = script("""
import os
img.save('real.png'), img.saveBmp('real.bmp')  # the real writers first: none is kept
calls = []
m._writePng = lambda *args, **kwargs: calls.append(('png',) + args + (kwargs,)) or 42
m._writeBmp = lambda *args, **kwargs: calls.append(('bmp',) + args + (kwargs,)) or 43
class Sub(m.SimpleImage):
    width = 99
sub = Sub(2, 1, bytes(6))
print(img.save('a.bmp'), img.saveBmp('b.png'), sub.save(path='c'))
print([c[:4] + c[5:] for c in calls], calls[0][4] is img._pixels, calls[2][4] is sub._pixels)
img._pixels = None
print(img.save('d'), calls[-1][4], sorted(os.listdir()))
del m._writePng
print(m.SimpleImage(1, 1, b'abc').saveBmp('e'), len(calls))  # the other one is still found
""", cwd=tmp_path)
    assert out == ["None None None", "[('png', 'a.bmp', 2, 1, {}), ('bmp', 'b.png', 2, 1, {}), "
                   "('png', 'c', 2, 1, {})] True True", "None None ['real.bmp', 'real.png']",
                   "None 5"]


def test_rebound_readChunk_and_cached_builtin_open(tmp_path):
    path = tmp_path / "image.bmp"
    path.write_bytes(rgb_png(1, 1, b"abc"))
    out = script("""
import builtins
real, seen = m._readChunk, []
m._readChunk = lambda stream: seen.append(1) or real(stream)
builtins.open = None  # the module keeps the open it found at import
print(m.SimpleImage.open(%r).getPixel((0, 0)), len(seen))
""" % str(path))
    assert out == ["(97, 98, 99) 3"]
