"""PNG writing: _writePng and SimpleImage.save.

Oracles: byte vectors built here with zlib and struct, a hand-written chunk
parser (pngbytes), this module's decoder, Pillow and pngcheck.
"""
import random
import shutil
import struct
import subprocess
import zlib

import pytest

import pngbytes
from helpers import (NONE_TO_BYTEARRAY, ROUND_TRIP_SHAPES, STR_TO_BYTEARRAY, UNSIGNED_RANGE,
                     ByteArraySub, assert_deleted_name_raises, assert_write_fails_leaving_path,
                     run_ok)
from pngbytes import chunk, iend, ihdr_data, parse_chunks
from Lumivex import rasterCore_ext as rc
from Lumivex.rasterCore_ext import SimpleImage

RED_1X1 = bytes.fromhex(
    "89504E470D0A1A0A"
    "0000000D4948445200000001000000010802000000907753DE"
    "0000000C49444154789C63F8CFC0000003010100C9FE92EF"
    "0000000049454E44AE426082")
EMPTY_ZLIB = bytes.fromhex("789C030000000001")


def expected_png(width, height, raw):
    """The whole file this encoder must produce for the scanline data `raw`."""
    return pngbytes.png([chunk(b"IHDR", ihdr_data(width, height)),
                         chunk(b"IDAT", zlib.compress(raw)), iend()])


def scanlines(width, height, pixels):
    stride = width * 3
    return b"".join(b"\0" + bytes(pixels[y * stride:(y + 1) * stride])
                    for y in range(height))


def without_pixels():
    img = SimpleImage(1, 1, b"abc")
    del img._pixels
    return img


# --- exact bytes -------------------------------------------------------------

@pytest.mark.parametrize("write", [
    lambda p, px: rc._writePng(p, 1, 1, px),
    lambda p, px: rc._writePng(pixels=px, height=1, width=1, path=p),
    lambda p, px: rc._writePng(p, 1.9, 1.2, px),  # 32-bit rule truncates
    lambda p, px: SimpleImage(1, 1, px).save(p),
], ids=["positional", "keywords", "floats", "save"])
@pytest.mark.parametrize("pixels", [
    bytearray(b"\xff\0\0"), b"\xff\0\0", [255, 0, 0], ByteArraySub(b"\xff\0\0"),
], ids=["bytearray", "bytes", "list", "bytearray-subclass"])
def test_red_pixel_is_the_69_byte_file(tmp_path, write, pixels):
    path = str(tmp_path / "red.png")
    before = list(pixels)
    assert write(path, pixels) is None
    data = (tmp_path / "red.png").read_bytes()
    assert len(data) == 69
    assert data == RED_1X1
    assert list(pixels) == before  # the caller's object is not modified


@pytest.mark.parametrize("width", [0, 1, 5, 2**31 - 1])
def test_zero_height_is_the_65_byte_file(tmp_path, width):
    path = tmp_path / "empty.png"
    rc._writePng(str(path), width, 0, b"")
    want = (pngbytes.PNG_SIGNATURE
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, 0, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", EMPTY_ZLIB) + bytes.fromhex("0000000049454E44AE426082"))
    assert len(want) == 65
    assert path.read_bytes() == want


# --- row assembly: clipping of short and long buffers -------------------------

@pytest.mark.parametrize("width,height,pixels,raw", [
    (2, 2, bytes(range(1, 10)), b"\0" + bytes(range(1, 7)) + b"\0" + bytes(range(7, 10))),
    (0, 3, b"", b"\0\0\0"),
    (2, 2, b"", b"\0\0"),
    (1, 3, bytes([9, 8, 7, 6]), b"\0\x09\x08\x07\0\x06\0"),
    (2, 1, bytes(range(1, 13)), b"\0" + bytes(range(1, 7))),  # extra bytes dropped
    (1, 2, bytes(range(1, 7)) + b"\xee" * 30, b"\0\1\2\3\0\4\5\6"),
])
def test_rows_are_clipped_to_the_buffer(tmp_path, width, height, pixels, raw):
    path = tmp_path / "clip.png"
    rc._writePng(str(path), width, height, pixels)
    chunks = parse_chunks(path.read_bytes())
    assert [t for t, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    assert chunks[0][1] == ihdr_data(width, height)
    assert zlib.decompress(chunks[1][1]) == raw
    assert chunks[1][1] == zlib.compress(raw)  # one stream, zlib's default level


def test_save_hands_over_the_stored_buffer_as_it_stands(tmp_path):
    img = SimpleImage(2, 2, bytes(12))
    img._pixels = bytearray(range(1, 10))  # shorter than the dimensions say
    img.save(str(tmp_path / "short.png"))
    idat = parse_chunks((tmp_path / "short.png").read_bytes())[1][1]
    assert zlib.decompress(idat) == b"\0" + bytes(range(1, 7)) + b"\0" + bytes(range(7, 10))


def test_save_reads_the_stored_dimensions_not_subclass_attributes(tmp_path):
    class Wide(SimpleImage):
        width = 99
        height = 42

    Wide(1, 1, b"\xff\0\0").save(str(tmp_path / "sub.png"))
    assert (tmp_path / "sub.png").read_bytes() == RED_1X1


# --- failures happen before the file is opened --------------------------------

@pytest.mark.parametrize("call,exc,message", [
    (lambda p: rc._writePng(p, -1, 1, b"abc"), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writePng(p, 1, -1, b"abc"), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writePng(p, -1, 1, None), struct.error, UNSIGNED_RANGE),  # IHDR packed first
    (lambda p: SimpleImage(-1, -3, bytes(9)).save(p), struct.error, UNSIGNED_RANGE),
    (lambda p: rc._writePng(p, 1, 1, None), TypeError, NONE_TO_BYTEARRAY),
    (lambda p: without_pixels().save(p), TypeError, NONE_TO_BYTEARRAY),
    (lambda p: rc._writePng(p, 1, 1, "abc"), TypeError, STR_TO_BYTEARRAY),
    (lambda p: rc._writePng(p, 1, 1, [1, 2, 300]), ValueError, "byte must be in range(0, 256)"),
    (lambda p: rc._writePng(p, "1", 1, b"abc"), TypeError, "an integer is required"),
    (lambda p: rc._writePng(p, 2**31, 1, b"abc"), OverflowError, "value too large to convert to int"),
])
@pytest.mark.parametrize("existing", [None, b"keep me"], ids=["no-file", "existing-file"])
def test_failures_leave_the_path_untouched(tmp_path, call, exc, message, existing):
    assert_write_fails_leaving_path(tmp_path / "out.png", call, exc, message, existing)


# --- round trips ------------------------------------------------------------

def random_image(width, height, seed):
    rng = random.Random(seed)
    return SimpleImage(width, height, bytes(rng.randrange(256) for _ in range(width * height * 3)))


@pytest.mark.parametrize("width,height", ROUND_TRIP_SHAPES)
def test_round_trip(tmp_path, width, height):
    img = random_image(width, height, width * 1000 + height)
    path = tmp_path / "rt.png"
    img.save(str(path))
    data = path.read_bytes()
    assert data == expected_png(width, height, scanlines(width, height, img._pixels))
    back = SimpleImage.open(str(path))
    assert back.size == (width, height)
    assert back._pixels == img._pixels
    if width and height:  # Pillow refuses images without pixels
        from PIL import Image
        with Image.open(str(path)) as pil:
            assert (pil.mode, pil.size) == ("RGB", (width, height))
            assert pil.tobytes() == bytes(img._pixels)


@pytest.mark.skipif(shutil.which("pngcheck") is None,
                    reason="pngcheck is not installed (Debian package 'pngcheck'); "
                           "only this external validation is skipped")
@pytest.mark.parametrize("width,height", [(1, 1), (9, 3), (1, 17), (17, 1), (64, 48)])
def test_pngcheck_accepts_the_file(tmp_path, width, height):
    path = tmp_path / "check.png"
    random_image(width, height, 7).save(str(path))
    proc = subprocess.run(["pngcheck", "-v", str(path)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "No errors detected" in proc.stdout


# --- module names looked up at each call ------------------------------------

CHILD_PRELUDE = """
    import struct, zlib
    from Lumivex import rasterCore_ext as rc
    def content(p):
        with open(p, "rb") as f:
            return f.read()
    rc._writePng("a.png", 1, 1, b"\\xff\\0\\0")  # first call with the real names
    good = content("a.png")
"""


def test_rebound_zlib_is_used(tmp_path):
    run_ok(CHILD_PRELUDE + """
    calls = []
    class FakeZlib:
        crc32 = staticmethod(zlib.crc32)  # chunk framing still needs it
        @staticmethod
        def compress(data, *rest):
            calls.append((data, rest))
            return b"FAKE"
    rc.zlib = FakeZlib
    rc._writePng("b.png", 1, 1, b"\\xff\\0\\0")
    assert len(calls) == 1, calls
    data, rest = calls[0]
    assert type(data) is bytes and data == b"\\0\\xff\\0\\0", calls
    assert rest in ((), (-1,), (6,)), rest
    assert b"IDAT" + b"FAKE" in content("b.png")
    rc.zlib = zlib
    rc._writePng("c.png", 1, 1, b"\\xff\\0\\0")
    assert content("c.png") == good
    """, cwd=tmp_path)


def test_rebound_struct_and_signature_are_used(tmp_path):
    run_ok(CHILD_PRELUDE + """
    formats = []
    class Recorder:
        error = struct.error
        unpack = staticmethod(struct.unpack)
        @staticmethod
        def pack(fmt, *args):
            formats.append(fmt)
            return struct.pack(fmt, *args)
    rc.struct = Recorder
    rc._writePng("b.png", 1, 1, b"\\xff\\0\\0")
    assert ">IIBBBBB" in formats, formats
    assert content("b.png") == good
    rc.PNG_SIGNATURE = b"NOTAPNG!"
    rc._writePng("c.png", 1, 1, b"\\xff\\0\\0")
    assert content("c.png") == b"NOTAPNG!" + good[8:]
    """, cwd=tmp_path)


@pytest.mark.parametrize("name", ["zlib", "struct", "PNG_SIGNATURE"])
def test_deleted_name_raises_name_error(tmp_path, name):
    # PNG_SIGNATURE is needed only once the file is open; the others before.
    absent = None if name == "PNG_SIGNATURE" else "b.png"
    assert_deleted_name_raises(name, 'rc._writePng("b.png", 1, 1, b"\\xff\\0\\0")', tmp_path,
                               prelude=CHILD_PRELUDE, absent=absent)
