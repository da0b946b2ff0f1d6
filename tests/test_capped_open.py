"""Lumivex.open: the pixel cap read from headers, and otherwise exactly SimpleImage.open."""
import builtins
import io
import pathlib
import pickle
import struct
import zlib

import pytest

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage
from bmpbytes import bmp, file_header, info_header
from pngbytes import chunk, iend, ihdr, png, rgb_png

PNGSUITE = pathlib.Path(__file__).parent / "data" / "pngsuite"
PIXELS_4x3 = bytes(range(36))
PNG_4x3 = rgb_png(4, 3, PIXELS_4x3)
BMP_4x3 = bmp(4, 3, PIXELS_4x3)
HUGE = ihdr(20000, 20000)


def outcome(call, source, *args):
    """What opening gives: the image's size and pixels, or the error's type and text.
    Lumivex.open's errors for damage found by zlib or struct are ValueErrors as well,
    and count as their base type."""
    try:
        image = call(source, *args)
    except Exception as error:  # noqa: BLE001 - the error itself is the result compared
        kind = type(error)
        for base in (zlib.error, struct.error):
            if call is Lumivex.open and isinstance(error, base):
                assert isinstance(error, ValueError) and kind is not base
                kind = base
        return kind, str(error)
    return type(image), image.size, bytes(image._pixels)


def with_chunks_before_iend(data, *extra):
    """`data` (ending in IEND) with `extra` chunks inserted just before IEND."""
    return data[:-12] + b"".join(extra) + data[-12:]


@pytest.mark.parametrize("data", [PNG_4x3, BMP_4x3], ids=["png", "bmp"])
@pytest.mark.parametrize("max_pixels, refused", [(11, True), (12, False), (13, False), (None, False)])
def test_cap_at_below_and_above_the_limit(data, max_pixels, refused):
    if refused:
        with pytest.raises(Lumivex.PixelLimitError, match="4 x 3 pixels exceeds the limit of 11 pixels"):
            Lumivex.open(data, max_pixels=max_pixels)
    else:
        assert outcome(Lumivex.open, data, max_pixels) == outcome(SimpleImage.open, data)


@pytest.mark.parametrize("data, refused", [
    # The decoder uses the last IHDR before IEND, in any chunk order.
    (png([HUGE, ihdr(1, 1)] + [iend()]), False),
    (PNG_4x3[:8] + PNG_4x3[8 + 25:-12] + ihdr(4, 3) + iend(), False),   # IHDR after IDAT
    (with_chunks_before_iend(PNG_4x3, HUGE), True),                     # a later IHDR wins
    (with_chunks_before_iend(PNG_4x3, chunk(b"tEXt", b"k\0" + bytes(5000)), HUGE), True),
    (PNG_4x3 + HUGE, False),                                           # never read past IEND
    (PNG_4x3[:-12] + HUGE, True),                                      # no IEND: to the end
    # A zero width counts as one column, so billions of empty rows are refused too.
    (png([ihdr(0, 2**31 - 1), iend()]), True),
    (bmp(0, 0, b"")[:22] + (2**31 - 1).to_bytes(4, "little") + bmp(0, 0, b"")[26:], True),
    (bmp(20000, 0, b"")[:22] + (-20000 % 2**32).to_bytes(4, "little") + bmp(0, 0, b"")[26:], True),
])
def test_the_decoders_header_is_the_one_capped(data, refused):
    result = outcome(Lumivex.open, data)
    if refused:
        assert result[0] is Lumivex.PixelLimitError
    else:
        assert result == outcome(SimpleImage.open, data)


# What SimpleImage.open refuses that Lumivex.open reads.
SUBSET_ONLY = {"Only 8-bit PNG images are supported", "Only RGB/RGBA PNG images are supported",
               "Unsupported PNG configuration (compression/filter/interlace)",
               "Only BITMAPINFOHEADER BMP files are supported", "Only uncompressed 24-bit BMP files are supported"}


def test_every_sample_file_simpleimage_opens_opens_alike():
    files = sorted(PNGSUITE.glob("*.png"))
    assert len(files) > 100
    for path in files:
        expected = outcome(SimpleImage.open, path)
        if expected[0] is ValueError and expected[1] in SUBSET_ONLY:
            continue  # every layout's pixels are checked against other decoders elsewhere
        assert outcome(Lumivex.open, path) == expected, path.name
        assert outcome(Lumivex.open, str(path), None) == expected, path.name


def test_a_path_is_opened_once_and_read_from_that_one_stream(tmp_path, monkeypatch):
    path = tmp_path / "image.bmp"
    path.write_bytes(BMP_4x3)
    opened = []
    real_open = builtins.open
    monkeypatch.setattr(builtins, "open", lambda *args: opened.append(args) or real_open(*args))
    image = Lumivex.open(path)
    assert opened == [(path, "rb")]
    assert (image.size, bytes(image._pixels)) == ((4, 3), PIXELS_4x3)


@pytest.mark.parametrize("source, max_pixels, error, message", [
    (42, 100, TypeError, "source must be a file path, a binary file object or bytes-like, not int"),
    (io.StringIO("text"), 100, TypeError, "a bytes-like object is required, not 'str'"),
    (PNG_4x3, "100", TypeError, "max_pixels must be an int or None, not str"),
    (PNG_4x3, True, TypeError, "max_pixels must be an int or None, not bool"),
    (PNG_4x3, -1, ValueError, "max_pixels must not be negative"),
])
def test_bad_arguments(source, max_pixels, error, message):
    with pytest.raises(error) as raised:
        Lumivex.open(source, max_pixels=max_pixels)
    assert str(raised.value) == message


def test_limit_error_is_a_value_error_that_pickles():
    with pytest.raises(ValueError) as raised:
        Lumivex.open(png([HUGE, iend()]))
    error = raised.value
    assert Lumivex.DEFAULT_MAX_PIXELS == 178_956_970
    assert (error.width, error.height, error.limit) == (20000, 20000, Lumivex.DEFAULT_MAX_PIXELS)
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is Lumivex.PixelLimitError and str(copy) == str(error)


# --- what a hostile file can make an open cost ---------------------------------------

SLACK = 16 << 20  # IDAT data read beyond the longest stream an image can have
ONE_PIXEL_STREAM = zlib.compress(b"\0\1\2\3")


def idat_run(total, piece=1 << 20):
    """IDAT chunks carrying `total` zero bytes (the kind of padding a sparse file holds)."""
    return [chunk(b"IDAT", bytes(min(piece, total - start))) for start in range(0, total, piece)]


MALFORMED = (ValueError, "Malformed PNG image data")
ONE_PIXEL = (SimpleImage, (1, 1), b"\1\2\3")


@pytest.mark.parametrize("data, max_pixels, capped, uncapped", [
    # Data after the zlib stream is ignored while it could be an encoder's padding...
    (png([ihdr(1, 1), chunk(b"IDAT", ONE_PIXEL_STREAM)] + idat_run(SLACK // 2) + [iend()]), None,
     ONE_PIXEL, ONE_PIXEL),
    # ...but past the longest stream a 1 x 1 image can have, by more than that, it cannot belong to it.
    (png([ihdr(1, 1), chunk(b"IDAT", ONE_PIXEL_STREAM)] + idat_run(SLACK + 64) + [iend()]), None,
     MALFORMED, MALFORMED),
    # One chunk declaring 4 GiB is refused at its head, unread, whatever follows.
    (png([ihdr(1, 1), struct.pack(">I", 0xFFFFFFF0) + b"IDAT" + bytes(10)]), None, MALFORMED, MALFORMED),
    # Before any IHDR the bound is the largest image the open accepts: the cap's for Lumivex.open.
    (png([chunk(b"IDAT", ONE_PIXEL_STREAM)] + idat_run(SLACK + 4096) + [ihdr(1, 1), iend()]), 100,
     MALFORMED, ONE_PIXEL),
], ids=["padding-kept", "past-the-slack", "declared-4GiB", "before-ihdr-capped"])
@pytest.mark.parametrize("as_path", [False, True], ids=["bytes", "path"])
def test_idat_data_is_bounded_by_the_image(tmp_path, data, max_pixels, capped, uncapped, as_path):
    source = data
    if as_path:
        source = tmp_path / "image.png"
        source.write_bytes(data)
    assert outcome(Lumivex.open, source, max_pixels)[:2] == capped[:2]
    assert outcome(SimpleImage.open, source)[:2] == uncapped[:2]


class ChangingFile(io.BytesIO):
    """A file rewritten in place once it has been rewound: what a race with a writer gives."""

    def __init__(self, first, then):
        super().__init__(first)
        self.then, self.calls = then, 0

    def seek(self, *args):
        self.calls += 1
        if args[0] == 0 and self.then is not None:
            self.getbuffer()[:] = self.then
            self.then = None
        return super().seek(*args)

    def read(self, *args):
        self.calls += 1
        assert self.calls < 1000, "the header scan walks the file a few bytes at a time"
        return super().read(*args)


@pytest.mark.parametrize("first, then, expected", [
    # The file holds a 4 x 3 image while headers are checked, then 20000 x 20000 when decoded.
    (PNG_4x3, png([HUGE, iend()]).ljust(len(PNG_4x3), b"\0"), Lumivex.PixelLimitError),
    # 64 MiB of zeros after the IHDR: one chunk of no data with a wrong CRC, as the decoder sees it.
    (png([ihdr(4, 3)]) + bytes(64 << 20), None, ValueError),
], ids=["changed-after-check", "zeros-after-ihdr"])
def test_the_cap_holds_for_the_bytes_decoded(tmp_path, monkeypatch, first, then, expected):
    path = tmp_path / "image.png"
    path.write_bytes(b"")
    monkeypatch.setattr(builtins, "open", lambda *args: ChangingFile(first, then))
    with pytest.raises(expected):
        Lumivex.open(path, max_pixels=10000)


# --- Lumivex.open's own reading: sources, a BMP in one piece, a namespace of its own ---

RGB_5x3 = bytes(range(45))
BMP_5x3 = bmp(5, 3, RGB_5x3)  # rows of 15 bytes padded to 16
HUGE_BMP = file_header() + info_header(100000, 100000)


@pytest.mark.parametrize("data", [
    BMP_5x3, bmp(5, 3, RGB_5x3, top_down=True), bmp(5, 3, RGB_5x3, gap=b"\7" * 9, trailer=b"x"),
    BMP_5x3[:-1], BMP_5x3[:-16], bmp(5, 3, RGB_5x3, pixel_offset=2**32 - 1), bmp(-5, 3, b"\0" * 45),
    file_header() + info_header(0, 3), file_header() + info_header(5, 0),
    BMP_5x3[:54], BMP_5x3[:30], BMP_5x3[:2] + bytes(4) + BMP_5x3[6:],
    HUGE_BMP,
    BMP_4x3[:60], b"", b"BM", b"GIF89a",
    PNG_4x3, PNG_4x3[:-20], PNG_4x3[:40], PNG_4x3[:-5] + b"\0" * 5, png([ihdr(1, 1), chunk(b"IDAT", b"x\x9c\x03")]),
    png([ihdr(4, 3, compression=1), iend()]), png([chunk(b"IHDR", bytes(12)), iend()]),
], ids=repr)
@pytest.mark.parametrize("as_source", [bytes, bytearray, memoryview, io.BytesIO, "path"])
def test_every_source_opens_as_simpleimage_opens_its_bytes(tmp_path, data, as_source):
    if as_source == "path":
        source = tmp_path / "image"
        source.write_bytes(data)
    else:
        source = as_source(data)
    expected = (Lumivex.PixelLimitError,) if data == HUGE_BMP else outcome(SimpleImage.open, data)
    got = outcome(Lumivex.open, source, 10000)
    assert got[:len(expected)] == expected


def test_the_extensions_names_do_not_change_lumivex_open(tmp_path, monkeypatch):
    from Lumivex import rasterCore_ext
    path = tmp_path / "image.png"
    path.write_bytes(PNG_4x3)
    expected = [outcome(Lumivex.open, source) for source in (PNG_4x3, path, BMP_4x3)]
    for name in ("zlib", "struct", "_readChunk", "PNG_SIGNATURE", "BytesIO", "Path"):
        monkeypatch.setattr(rasterCore_ext, name, None)
    assert [outcome(Lumivex.open, source) for source in (PNG_4x3, path, BMP_4x3)] == expected
    assert outcome(SimpleImage.open, PNG_4x3)[0] is TypeError  # the extension itself does see them
