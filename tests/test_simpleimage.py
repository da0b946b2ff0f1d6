"""SimpleImage: construction, properties, pixel access, copy and lifetime."""
import copy
import gc
import pickle
import sys
import weakref
from decimal import Decimal

import pytest

import Lumivex.rasterCore_ext as rc
from helpers import ByteArraySub, ImageSub as Sub, IntLike, TupleSub, expect_error

SimpleImage = rc.SimpleImage
MISMATCH = "Pixel data length does not match image dimensions"
OOB = "Pixel coordinate out of bounds"
NONE_INDEX = "'NoneType' object is not subscriptable"
OUT_OF_RANGE = "bytearray index out of range"
# The interpreter's own wording, which changed over the versions.
if sys.version_info >= (3, 10):
    NOT_INT = "int() argument must be a string, a bytes-like object or a real number, not '%s'"
else:
    NOT_INT = "int() argument must be a string, a bytes-like object or a number, not '%s'"
NO_ATTRIBUTE = "'Lumivex.rasterCore_ext.SimpleImage' object has no attribute 'depth'"
if sys.version_info >= (3, 13):
    NO_ATTRIBUTE += " and no __dict__ for setting new attributes"


def image_3x2():
    return SimpleImage(3, 2, bytes(range(18)))


@pytest.mark.parametrize("width, height, pixels, size, stored", [
    (0, 0, b"", (0, 0), b""), (0, 7, bytearray(), (0, 7), b""),
    (2, 1, bytes(range(6)), (2, 1), bytes(range(6))), (-1, -2, bytes(6), (-1, -2), bytes(6)),
    (1, 1, [1, 2, 3], (1, 1), b"\x01\x02\x03"), (1, 1, memoryview(b"xyz"), (1, 1), b"xyz"),
    (2.9, 1, bytearray(6), (2, 1), bytes(6)),
])
def test_construction(width, height, pixels, size, stored):
    img = SimpleImage(width, height, pixels)
    assert img.size == size and (img.width, img.height) == size and type(img.size) is tuple
    assert type(img._pixels) is bytearray and img._pixels == stored and img._pixels is not pixels


@pytest.mark.parametrize("width, height, pixels, exc_type, message", [
    (2, 1, bytes(5), ValueError, MISMATCH), (2, 1, bytes(7), ValueError, MISMATCH),
    (65536, 65536, b"", ValueError, MISMATCH),       # w * h wraps to 0 in 32 bits
    (1431655766, 1, b"\0\0", ValueError, MISMATCH),  # w * h * 3 wraps to 2 in 32 bits
    (2 ** 31 - 1, 2 ** 31 - 1, b"", ValueError, MISMATCH),
    (1, 1, "abcd", ValueError, MISMATCH),           # the length is tested before the copy
    ("x", 1, None, TypeError, "an integer is required"),  # dimensions before len()
    (1, 1, 5, TypeError, "object of type 'int' has no len()"),
    (1, 1, "abc", TypeError, "string argument without an encoding"),
    (1, 1, [1, 2, 300], ValueError, "byte must be in range(0, 256)"),
    (1, 1, [1, 2, "3"], TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_construction_failures(width, height, pixels, exc_type, message):
    for cls in (SimpleImage, Sub):
        expect_error(exc_type, message, cls, width, height, pixels)


def test_pixels_are_copied_in_and_shared_out():
    source = bytearray(b"abc")
    img = SimpleImage(1, 1, source)
    source[0] = 0
    buf = img._pixels
    assert img.getPixel((0, 0)) == (97, 98, 99) and img._pixels is buf
    buf[0] = 1
    assert img.getPixel((0, 0)) == (1, 98, 99)
    mine = bytearray(b"xyz123")  # installed as given, without a length check
    img._pixels = mine
    img.putPixel((0, 0), (7, 8, 9))
    assert img._pixels is mine and mine == b"\x07\x08\x09123"


@pytest.mark.parametrize("value", [b"abc", memoryview(bytearray(3)), [1, 2, 3], 0,
                                   ByteArraySub(3)])
def test_pixels_setter_refuses_non_bytearray(value):
    img = SimpleImage(1, 1, b"abc")
    before = img._pixels
    expect_error(TypeError, "Expected bytearray, got %s" % type(value).__name__,
                 setattr, img, "_pixels", value)
    assert img._pixels is before


@pytest.mark.parametrize("clear", [lambda img: setattr(img, "_pixels", None),
                                   lambda img: delattr(img, "_pixels")])
def test_cleared_pixels(clear):
    img = SimpleImage(1, 1, b"abc")
    clear(img)
    assert img._pixels is None
    expect_error(TypeError, NONE_INDEX, img.copy)
    expect_error(TypeError, NONE_INDEX, img.getPixel, (0, 0))
    expect_error(TypeError, "'NoneType' object does not support item assignment",
                 img.putPixel, (0, 0), (1, 2, 3))
    expect_error(ValueError, OOB, img.getPixel, (1, 0))  # bounds still come first


def test_dimension_setters_and_deleters():
    img = SimpleImage(2, 1, bytes(range(6)))
    img.width = 1  # accepted without any check against the buffer
    assert img.size == (1, 1) and img.getPixel((0, 0)) == (0, 1, 2)
    expect_error(ValueError, MISMATCH, img.copy)
    expect_error(NotImplementedError, "__del__", delattr, img, "width")
    expect_error(NotImplementedError, "__del__", delattr, img, "height")
    read_only = "attribute 'size' of 'Lumivex.rasterCore_ext.SimpleImage' objects is not writable"
    expect_error(AttributeError, read_only, setattr, img, "size", (1, 1))
    expect_error(AttributeError, read_only, delattr, img, "size")
    expect_error(AttributeError, NO_ATTRIBUTE, setattr, img, "depth", 3)
    assert img.size == (1, 1)


@pytest.mark.parametrize("coords, expected", [
    ((0, 0), (0, 1, 2)), ((1, 0), (3, 4, 5)), ((2, 0), (6, 7, 8)), ((0, 1), (9, 10, 11)),
    ((2, 1), (15, 16, 17)), ((True, False), (3, 4, 5)),
])
def test_getpixel_addressing(coords, expected):
    result = image_3x2().getPixel(coords)
    assert result == expected and type(result) is tuple and all(type(v) is int for v in result)


@pytest.mark.parametrize("coords, exc_type, message", [
    ((-1, 0), ValueError, OOB), ((3, 0), ValueError, OOB), ((0, 2), ValueError, OOB),
    ((0, -1), ValueError, OOB), ((10 ** 30, 0), ValueError, OOB),
    ((0, 10 ** 30), ValueError, OOB), ((-2 ** 64, 0), ValueError, OOB),
    ((), ValueError, "need more than 0 values to unpack"),
    ((0,), ValueError, "need more than 1 value to unpack"),
    ((0, 0, 0), ValueError, "too many values to unpack (expected 2)"),
    ((0.5, 0), TypeError,  # passes the bounds test, then a float index
     "bytearray indices must be integers or slices, not float"),
    (("a", 0), TypeError,  # the comparison itself fails
     "'<=' not supported between instances of 'int' and 'str'"),
])
def test_getpixel_errors(coords, exc_type, message):
    expect_error(exc_type, message, image_3x2().getPixel, coords)


@pytest.mark.parametrize("size, pixels", [((0, 0), b""), ((0, 7), b""), ((-1, -2), bytes(6))])
def test_degenerate_images_have_no_pixels(size, pixels):
    expect_error(ValueError, OOB, SimpleImage(*size, pixels).getPixel, (0, 0))


class Recorder:
    """A coordinate that logs the comparisons made on it."""

    def __init__(self, log, less_than):
        self.log, self.less_than = log, less_than

    def __ge__(self, other):
        return self.log.append((">=", other)) or True

    def __lt__(self, other):
        return self.log.append(("<", other)) or self.less_than


@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
@pytest.mark.parametrize("make_coords, expected_log", [
    (lambda log: (Recorder(log, False), 0), [(">=", 0), ("<", 3)]),
    (lambda log: (0, Recorder(log, False)), [(">=", 0), ("<", 2)]),
    (lambda log: (-1, Recorder(log, True)), []),  # stops at the first false test
])
def test_bounds_use_generic_comparison_in_order(method, make_coords, expected_log):
    log = []
    args = (make_coords(log),) if method == "getPixel" else (make_coords(log), None)
    expect_error(ValueError, OOB, getattr(image_3x2(), method), *args)
    assert log == expected_log


@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
@pytest.mark.parametrize("width, height, coords, message", [
    (100, 1, (50, 0), OUT_OF_RANGE),                         # beyond a 1x1 buffer
    (65536, 65537, (0, 65536), OUT_OF_RANGE),                # index wraps to 0 in 32 bits
    (2 ** 31 - 1, 2 ** 31 - 1, (2 ** 31 - 2, 2 ** 31 - 2),   # overflows 64 bits
     "cannot fit 'int' into an index-sized integer"),
])
def test_inconsistent_fields_never_reach_outside_buffer(method, width, height, coords, message):
    img = SimpleImage(1, 1, b"abc")
    img.width, img.height = width, height
    args = (coords,) if method == "getPixel" else (coords, (1, 2, 3))
    expect_error(IndexError, message, getattr(img, method), *args)
    assert img._pixels == b"abc"


class SneakyInt(int):
    def __int__(self):
        return 7


@pytest.mark.parametrize("value, stored", [
    ((256, -1, 300), (0, 255, 44)), ((1.9, True, "7"), (1, 1, 7)),
    ((-1.5, " 12 ", Decimal("3.7")), (255, 12, 3)),
    ((2 ** 70 + 5, -2 ** 70 - 1, IntLike(300)), (5, 255, 44)),
    ((SneakyInt(5), 0, 0), (7, 0, 0)),  # only an exact int skips int()
    (b"\x01\x02\x03", (1, 2, 3)), ([4, 5, 6], (4, 5, 6)), (iter([7, 8, 9]), (7, 8, 9)),
    ((v for v in (10, 11, 12)), (10, 11, 12)),
])
def test_putpixel_conversions(value, stored):
    img = image_3x2()
    assert img.putPixel((1, 1), value) is None
    assert img.getPixel((1, 1)) == stored
    assert img._pixels[:12] == bytes(range(12)) and img._pixels[15:] == bytes(range(15, 18))


@pytest.mark.parametrize("value, exc_type, message, stored", [
    ([1, 2], ValueError, "need more than 2 values to unpack", (12, 13, 14)),
    ((1,), ValueError, "need more than 1 value to unpack", (12, 13, 14)),
    ([], ValueError, "need more than 0 values to unpack", (12, 13, 14)),
    (b"ab", ValueError, "need more than 2 values to unpack", (12, 13, 14)),
    ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)", (12, 13, 14)),
    (iter(range(4)), ValueError, "too many values to unpack (expected 3)", (12, 13, 14)),
    (5, TypeError, "'int' object is not iterable", (12, 13, 14)),
    (None, TypeError, "'NoneType' object is not iterable", (12, 13, 14)),
    ((object(), 2, 3), TypeError, NOT_INT % "object", (12, 13, 14)),
    ((10, "x", 20), ValueError,  # red is already written
     "invalid literal for int() with base 10: 'x'", (10, 13, 14)),
    ((10, 20, None), TypeError, NOT_INT % "NoneType", (10, 20, 14)),
])
def test_putpixel_failures_and_partial_writes(value, exc_type, message, stored):
    img = image_3x2()
    expect_error(exc_type, message, img.putPixel, (1, 1), value)
    assert img.getPixel((1, 1)) == stored


class Hook:
    """A channel whose conversion runs `action` first and then yields 2."""

    def __init__(self, action):
        self.action = action

    def __int__(self):
        self.action()
        return 2


def test_putpixel_survives_changes_made_while_converting():
    img = SimpleImage(1, 1, b"abc")
    old, new = img._pixels, bytearray(b"xyz")
    img.putPixel((0, 0), (1, Hook(lambda: setattr(img, "_pixels", new)), 3))
    assert old == b"\x01bc" and new == b"x\x02\x03"  # each byte goes to the current buffer
    expect_error(IndexError, OUT_OF_RANGE, img.putPixel, (0, 0), (1, Hook(new.clear), 3))
    value = [1, Hook(lambda: value.clear()), int("1" * 40)]  # blue is owned by the list only
    img._pixels = bytearray(3)
    img.putPixel((0, 0), value)
    assert img._pixels == bytes([1, 2, int("1" * 40) & 0xFF])


def test_putpixel_checks_coords_before_value():
    img = image_3x2()
    expect_error(ValueError, OOB, img.putPixel, (9, 9), None)
    expect_error(ValueError, "too many values to unpack (expected 2)", img.putPixel, (0, 0, 0), None)
    img._pixels = bytearray(b"\0\0")  # two bytes: the blue write falls off the end
    img.width = img.height = 1
    expect_error(IndexError, OUT_OF_RANGE, img.putPixel, (0, 0), (7, 8, 9))
    assert img._pixels == b"\x07\x08"


@pytest.mark.parametrize("cls", [SimpleImage, Sub])
def test_copy(cls):
    img = cls(3, 2, bytes(range(18)))
    dup = img.copy()
    assert type(dup) is SimpleImage and dup.size == (3, 2)
    assert dup._pixels == img._pixels and dup._pixels is not img._pixels
    dup.putPixel((0, 0), (9, 9, 9))
    assert img.getPixel((0, 0)) == (0, 1, 2)


@pytest.mark.parametrize("operation", [
    lambda img: pickle.dumps(img, 0), lambda img: pickle.dumps(img, pickle.HIGHEST_PROTOCOL),
    copy.copy, copy.deepcopy, lambda img: img.__setstate__(None),
])
def test_pickling_is_refused(operation):
    for img in (SimpleImage(1, 1, b"abc"), Sub(1, 1, b"abc")):
        expect_error(TypeError, "no default __reduce__ due to non-trivial __cinit__",
                     operation, img)


def test_type_shape():
    img = SimpleImage(1, 1, b"abc")
    assert not hasattr(img, "__dict__") and not gc.is_tracked(img)
    expect_error(TypeError, "cannot create weak reference to "
                 "'Lumivex.rasterCore_ext.SimpleImage' object", weakref.ref, img)
    assert repr(img).startswith("<Lumivex.rasterCore_ext.SimpleImage object at 0x")
    for slot in ("__repr__", "__eq__", "__hash__", "__init__"):
        assert getattr(SimpleImage, slot) is getattr(object, slot)
    doc = SimpleImage.__doc__
    assert doc and doc.strip() and "\n" not in doc.strip() and "rgb" in doc.lower()
    sub = Sub(1, 1, b"abc")
    assert isinstance(sub, SimpleImage) and sub.getPixel((0, 0)) == (97, 98, 99)


def test_error_paths_do_not_leak_references():
    img = SimpleImage(2, 2, bytes(12))
    buf = img._pixels
    bad_int, text, big = "not-an-int" + str(id(img)), "x" + str(id(img)), 2 ** 40
    short, plain_list, tup_sub = bytes(5), [0, 0], TupleSub((0, 0))
    bad_value, oob, fraction, kwargs = (10, text, 20), (5, 5), (0.5, 0), {text: big}
    calls = [
        lambda: SimpleImage(bad_int, 1, short), lambda: SimpleImage(big, 1, short),
        lambda: SimpleImage(1, 1, short), lambda: Sub(1, 1, [1, 2, big]),
        lambda: SimpleImage(1, 1, short, **kwargs), lambda: img.getPixel(plain_list),
        lambda: img.getPixel(tup_sub), lambda: img.getPixel(oob),
        lambda: img.getPixel(fraction), lambda: img.putPixel((0, 0), bad_value),
        lambda: img.putPixel(oob, bad_value), lambda: setattr(img, "width", bad_int),
        lambda: setattr(img, "_pixels", short), lambda: delattr(img, "height"),
        lambda: rc._makeChunk(text, short), lambda: rc._writePng(text, bad_int, 1, buf),
        lambda: img.save(tup_sub), lambda: SimpleImage.open(plain_list),
        lambda: img.copy(big), lambda: pickle.dumps(img),
        lambda: (img._pixels, img.size, img.getPixel((1, 1))),
    ]
    watched = [img, buf, bad_int, text, big, short, plain_list, tup_sub, bad_value, oob,
               fraction, Sub, SimpleImage] + list(vars(rc).values())

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except Exception:
                    pass

    run(10)  # warm up caches
    before = [sys.getrefcount(o) for o in watched]
    run(3000)
    assert [sys.getrefcount(o) for o in watched] == before
    assert img.size == (2, 2) and img._pixels is buf
