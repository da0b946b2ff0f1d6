"""BMP writing (_writeBmp, SimpleImage.saveBmp); save and saveBmp ignore the file name.

Oracles: headers packed here with struct, rows built by bmpbytes, this
module's decoder and Pillow.
"""
import random
import struct

import pytest

import bmpbytes
from helpers import (NONE_TO_BYTEARRAY, ROUND_TRIP_SHAPES, STR_TO_BYTEARRAY, UNSIGNED_RANGE,
                     ByteArraySub, assert_deleted_name_raises, assert_write_fails_leaving_path)
from Lumivex import rasterCore_ext as rc
from Lumivex.rasterCore_ext import SimpleImage


def expected_bmp(width, height, rgb):
    stride = bmpbytes.row_stride(width)
    return bmpbytes.bmp(width, height, rgb, image_size=stride * height)


def shortened_image():
    img = SimpleImage(2, 2, bytes(12))
    img._pixels = bytearray(9)  # the setter does not check the length
    return img


# --- exact layout -------------------------------------------------------------

def test_one_pixel_is_the_58_byte_file(tmp_path):
    path = tmp_path / "one.bmp"
    assert rc._writeBmp(str(path), 1, 1, bytearray([10, 20, 30])) is None
    want = (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
            + struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0)
            + bytes([30, 20, 10, 0]))
    assert path.read_bytes() == want
    assert len(want) == 58


def test_two_by_two_stores_the_bottom_row_first_with_zero_padding(tmp_path):
    path = tmp_path / "two.bmp"
    rc._writeBmp(str(path), 2, 2, bytes(range(1, 13)))
    data = path.read_bytes()
    assert len(data) == 70
    assert struct.unpack_from("<I", data, 2) == (70,)
    assert struct.unpack_from("<ii", data, 18) == (2, 2)  # height positive: bottom-up
    assert struct.unpack_from("<I", data, 34) == (16,)
    assert data[54:] == bytes([9, 8, 7, 12, 11, 10, 0, 0, 3, 2, 1, 6, 5, 4, 0, 0])


@pytest.mark.parametrize("width,height", [(1, 3), (2, 1), (3, 2), (4, 2), (5, 3), (7, 1)])
def test_layout_matches_hand_built_file(tmp_path, width, height):
    rgb = bytes(random.Random(width * 7 + height).randrange(256)
                for _ in range(width * height * 3))
    path = tmp_path / "shape.bmp"
    rc._writeBmp(str(path), width, height, rgb)
    data = path.read_bytes()
    assert data == expected_bmp(width, height, rgb)
    if width == 4:
        assert len(data) == 54 + 12 * height  # no padding at all


@pytest.mark.parametrize("width,height", [(0, 0), (0, 5), (3, 0), (2**31 - 1, 0)])
def test_empty_images_are_header_only(tmp_path, width, height):
    path = tmp_path / "empty.bmp"
    rc._writeBmp(str(path), width, height, b"")
    want = (b"BM" + struct.pack("<IHHI", 54, 0, 0, 54)
            + struct.pack("<IIIHHIIIIII", 40, width, height, 1, 24, 0, 0, 2835, 2835, 0, 0))
    assert path.read_bytes() == want


@pytest.mark.parametrize("pixels", [
    bytearray(range(1, 19)), bytes(range(1, 19)), list(range(1, 19)),
    ByteArraySub(range(1, 19)), bytearray(range(1, 19)) + b"extra bytes are never written",
], ids=["bytearray", "bytes", "list", "bytearray-subclass", "longer-buffer"])
def test_pixel_forms_give_the_same_file(tmp_path, pixels):
    before = list(pixels)
    rc._writeBmp(str(tmp_path / "b.bmp"), 3, 2, pixels)
    assert (tmp_path / "b.bmp").read_bytes() == expected_bmp(3, 2, bytes(range(1, 19)))
    assert list(pixels) == before  # the caller's object is never modified


# --- failures checked before the file is opened -------------------------------

FAILING = [
    (lambda p: rc._writeBmp(p, -1, 1, b""), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writeBmp(p, 1, -1, b""), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writeBmp(p, -2, -3, b""), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writeBmp(p, -1, 0, b""), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writeBmp(p, 0, -1, b""), struct.error, UNSIGNED_RANGE),
    (lambda p: SimpleImage(-1, -2, bytes(6)).saveBmp(p), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writeBmp(p, 1, 1, b"ab"), IndexError, "bytearray index out of range"),
    (lambda p: rc._writeBmp(p, 2, 2, bytes(11)), IndexError, "bytearray index out of range"),
    (lambda p: rc._writeBmp(p, 3, 2, b""), IndexError, "bytearray index out of range"),
    (lambda p: shortened_image().saveBmp(p), IndexError, "bytearray index out of range"),
    (lambda p: rc._writeBmp(p, 1, 1, None), TypeError, NONE_TO_BYTEARRAY),
    (lambda p: rc._writeBmp(p, 1, 1, "abc"), TypeError, STR_TO_BYTEARRAY),
]


@pytest.mark.parametrize("call,exc,message", FAILING)
@pytest.mark.parametrize("existing", [None, bytes(range(256)) * 3],
                         ids=["no-file", "existing-file"])
def test_failures_leave_the_path_untouched(tmp_path, call, exc, message, existing):
    assert_write_fails_leaving_path(tmp_path / "out.bmp", call, exc, message, existing)


# --- round trips --------------------------------------------------------------

@pytest.mark.parametrize("width,height", ROUND_TRIP_SHAPES)
def test_round_trip(tmp_path, width, height):
    rng = random.Random(width * 1000 + height)
    img = SimpleImage(width, height, bytes(rng.randrange(256) for _ in range(width * height * 3)))
    path = tmp_path / "rt.bmp"
    assert img.saveBmp(str(path)) is None
    back = SimpleImage.open(str(path))
    assert back.size == (width, height)
    assert back._pixels == img._pixels
    if width and height:  # Pillow refuses images without pixels
        from PIL import Image
        with Image.open(str(path)) as pil:
            assert (pil.format, pil.mode, pil.size) == ("BMP", "RGB", (width, height))
            assert pil.tobytes() == bytes(img._pixels)


# --- the file name chooses nothing ------------------------------------------

@pytest.mark.parametrize("method,name,magic", [
    ("save", "picture.bmp", b"\x89PNG\r\n\x1a\n"),
    ("save", "picture", b"\x89PNG\r\n\x1a\n"),
    ("saveBmp", "picture.png", b"BM"),
    ("saveBmp", "picture.PNG", b"BM"),
])
def test_format_is_never_chosen_by_the_name(tmp_path, method, name, magic):
    img = SimpleImage(2, 1, b"\x01\x02\x03\x04\x05\x06")
    assert getattr(img, method)(str(tmp_path / name)) is None
    data = (tmp_path / name).read_bytes()
    assert data.startswith(magic)
    assert SimpleImage.open(data)._pixels == img._pixels


def test_deleted_struct_stops_bmp_writing_before_the_file(tmp_path):
    assert_deleted_name_raises("struct", 'rc._writeBmp("x.bmp", 1, 1, b"abc")', tmp_path, absent="x.bmp")
