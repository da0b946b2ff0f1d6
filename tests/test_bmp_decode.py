"""Decoding 24-bit BMP data through SimpleImage.open and _streamToImage."""
import io
import random
import struct

import pytest
from PIL import Image

from Lumivex.rasterCore_ext import SimpleImage
from bmpbytes import bmp, file_header, info_header, row_stride
from helpers import BytesSub, RecordingStream, ShiftingStream, expect_error, peak_rss_growth_kb

INCOMPLETE = "Incomplete BMP pixel data"
NOT_24BIT = "Only uncompressed 24-bit BMP files are supported"


def rgb_bytes(width, height, seed=0):
    rng = random.Random(seed * 1000 + width * 10 + height)
    return bytes(rng.randrange(256) for _ in range(width * height * 3))


def stream_to_triple(stream):
    width, height, pixels = SimpleImage._streamToImage(stream)
    assert type(pixels) is bytearray
    return width, height, bytes(pixels)


class BoundedStream(RecordingStream):
    """Fails the decode, instead of letting it run on, after 100 calls."""

    def read(self, n):
        assert len(self.calls) < 100, "runaway reads"
        return super().read(n)


PROBE = [("read", 8), ("seek", 0)]
HEADERS = [("read", 14), ("read", 4), ("read", 36)]


@pytest.mark.parametrize("data, calls, outcome", [
    (bmp(3, 2, rgb_bytes(3, 2), gap=b"\x00" * 6, trailer=b"never read"),
     HEADERS + [("seek", 60), ("read", 12), ("read", 12)], (3, 2, rgb_bytes(3, 2))),
    (bmp(5, 0, b""), HEADERS + [("seek", 54)], (5, 0, b"")),
    (bmp(-3, 0, b""), HEADERS + [("seek", 54)], (-3, 0, b"")),
    # Rows of zero bytes are not read: the seek alone, however many rows are claimed.
    (file_header() + info_header(0, -3), HEADERS + [("seek", 54)], (0, 3, b"")),
    (file_header() + info_header(0, 2 ** 31 - 1), HEADERS + [("seek", 54)], (0, 2 ** 31 - 1, b"")),
    (file_header() + info_header(0, -2 ** 31), HEADERS + [("seek", 54)], (0, 2 ** 31, b"")),
    (bmp(3, 2, rgb_bytes(3, 2), pixel_offset=1000),
     HEADERS + [("seek", 1000), ("read", 12)], INCOMPLETE),
    (bmp(2, 2, rgb_bytes(2, 2))[:-1], HEADERS + [("seek", 54), ("read", 8), ("read", 8)], INCOMPLETE),
    (bmp(1, 1, b"abc", bit_count=32), HEADERS, NOT_24BIT),
    (file_header() + info_header(1, 1, header_size=108), HEADERS[:2], "Only BITMAPINFOHEADER BMP files are supported"),
    (file_header(), HEADERS[:2], "Corrupted BMP DIB header"),
    (b"BM\x00\x00", HEADERS[:1], "Unsupported BMP header"),
    (file_header() + info_header(-2, 2) + bytes(64), HEADERS, "negative count"),  # allocation
])
def test_stream_calls_in_order_and_none_after_a_failure(data, calls, outcome):
    stream = BoundedStream(data)
    if isinstance(outcome, tuple):
        assert stream_to_triple(stream) == outcome
    else:
        expect_error(ValueError, outcome, SimpleImage._streamToImage, stream)
    assert stream.calls == PROBE + calls


def _with_info(**fields):
    return file_header() + info_header(1, 1, **fields) + b"\x01\x02\x03\x00"


@pytest.mark.parametrize("data, error", [
    (b"BM", "Unsupported BMP header"),
    (file_header()[:13], "Unsupported BMP header"),
    (file_header() + b"\x28\x00\x00", "Corrupted BMP DIB header"),
    (_with_info(header_size=12), "Only BITMAPINFOHEADER BMP files are supported"),
    (_with_info(header_size=124), "Only BITMAPINFOHEADER BMP files are supported"),
    (_with_info(header_size=12, planes=0), "Only BITMAPINFOHEADER BMP files are supported"),
    ((file_header() + info_header(1, 1))[:53], "unpack requires a buffer of 36 bytes"),
    (_with_info(planes=0), NOT_24BIT),
    (_with_info(planes=2), NOT_24BIT),
    (_with_info(bit_count=8), NOT_24BIT),
    (_with_info(bit_count=32), NOT_24BIT),
    (_with_info(compression=1), NOT_24BIT),
    (_with_info(compression=3), NOT_24BIT),
    (_with_info(compression=3, bit_count=16, planes=3), NOT_24BIT),
    (_with_info()[:-1], INCOMPLETE),          # the last row lacks only its padding
    (file_header() + info_header(30, 4), INCOMPLETE),
])
def test_header_and_data_errors(data, error):
    exc_type = struct.error if error.startswith("unpack") else ValueError
    expect_error(exc_type, error, SimpleImage.open, data)


def test_decoder_checks_the_signature_itself():
    with pytest.raises(ValueError, match="^Unsupported BMP header$"):
        SimpleImage._streamToImage(ShiftingStream(bmp(1, 1, b"abc"), b"MB"))


class RowStream(RecordingStream):
    """Converts the result of header reads and of row reads (after the pixel seek)."""

    def __init__(self, data, header=lambda r: r, row=lambda r: r):
        super().__init__(data)
        self._header, self._row = header, row

    def read(self, n):
        result = super().read(n)
        seeks = sum(call[0] == "seek" for call in self.calls)
        if seeks >= 2:
            return self._row(result)
        return self._header(result) if seeks == 1 else result


@pytest.mark.parametrize("convert, message", [
    (lambda r: None, "object of type 'NoneType' has no len()"),
    (bytearray, "Expected bytes, got bytearray"),
    (BytesSub, "Expected bytes, got BytesSub"),
    (memoryview, "Expected bytes, got memoryview"),
])
def test_row_reads_must_return_exactly_bytes(convert, message):
    expect_error(TypeError, message, SimpleImage._streamToImage,
                 RowStream(bmp(2, 2, rgb_bytes(2, 2)), row=convert))


def test_header_reads_may_return_bytearray():
    data = bmp(2, 3, rgb_bytes(2, 3))
    assert stream_to_triple(RowStream(data, header=bytearray)) == (2, 3, rgb_bytes(2, 3))


@pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("height", [1, 2, 3])
def test_orientation_and_padding(width, height):
    rgb = rgb_bytes(width, height)
    bottom_up = bmp(width, height, rgb, pad=0xEE)
    top_down = bmp(width, height, rgb, top_down=True, pad=0x5A)
    assert len(bottom_up) == 54 + row_stride(width) * height
    for data in (bottom_up, top_down):
        image = SimpleImage.open(data)
        assert image.size == (width, height) and bytes(image._pixels) == rgb


def test_unused_fields_gaps_and_trailing_bytes_are_ignored():
    rgb = rgb_bytes(3, 3)
    odd = bmp(3, 3, rgb, gap=b"\xff" * 1024, trailer=b"\x00" * 7, image_size=0xFFFFFFFF,
              x_ppm=-1, y_ppm=-2 ** 31, colors_used=256, colors_important=0xDEADBEEF)
    odd = odd[:2] + struct.pack("<IHH", 1, 0xFFFF, 0x1234) + odd[10:]
    image = SimpleImage.open(odd)
    assert image.size == (3, 3) and bytes(image._pixels) == rgb


def test_offset_below_54_is_obeyed():
    data = file_header(pixel_offset=50) + info_header(1, 1, colors_important=0x44332211) + b"rest"
    image = SimpleImage.open(data)
    assert bytes(image._pixels) == bytes([data[52], data[51], data[50]])


@pytest.mark.parametrize("size", [(1, 1), (2, 3), (5, 2), (7, 7), (31, 4), (64, 1)])
def test_pillow_written_files(size):
    rgb = rgb_bytes(*size, seed=5)
    buffer = io.BytesIO()
    Image.frombytes("RGB", size, rgb).save(buffer, format="BMP")
    image = SimpleImage.open(buffer.getvalue())
    assert image.size == size and bytes(image._pixels) == rgb


def test_impossible_buffer_size_raises():
    with pytest.raises((MemoryError, OverflowError)):
        SimpleImage.open(file_header() + info_header(2 ** 31 - 1, 2 ** 31 - 1))


def test_unbacked_huge_header_stays_small():
    data = file_header() + info_header(30000, 30000)
    assert len(data) == 54
    grew_kb, error = peak_rss_growth_kb(
        "from Lumivex.rasterCore_ext import SimpleImage\ndata = %r" % data,
        "SimpleImage.open(data)")
    assert error == ["ValueError", INCOMPLETE]
    assert grew_kb < 100 * 1024
