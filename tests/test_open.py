"""SimpleImage.open and SimpleImage._streamToImage: sources, format detection,
file lifetime and the class used to build the result."""
import io
import os
import pathlib

import pytest

from Lumivex.rasterCore_ext import SimpleImage
from bmpbytes import bmp
from helpers import ByteArraySub, BytesSub, ImageSub as Sub, RecordingStream, StrSub, expect_error
from pngbytes import PNG_SIGNATURE, chunk, rgb_png

RGB = bytes(range(10, 22))  # 2 x 2, top row first
PNG_DATA = rgb_png(2, 2, RGB, filter_types=(1, 4))
BMP_DATA = bmp(2, 2, RGB)
NOT_A_SOURCE = "source must be a file path or raw bytes"
LENGTH_MISMATCH = "Pixel data length does not match image dimensions"


def open_descriptors(path):
    """How many of this process's file descriptors refer to `path`."""
    target = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(os.path.join("/proc/self/fd", fd)) == target:
                count += 1
        except OSError:
            pass
    return count


@pytest.fixture
def swapped_names(tmp_path):
    """PNG data in a file named .bmp and BMP data in a file named .png."""
    png_path, bmp_path = tmp_path / "picture.bmp", tmp_path / "picture.png"
    png_path.write_bytes(PNG_DATA)
    bmp_path.write_bytes(BMP_DATA)
    return {"png": png_path, "bmp": bmp_path}


@pytest.mark.parametrize("make_source", [
    str, pathlib.Path, pathlib.PosixPath, StrSub,
    lambda p: p.read_bytes(), lambda p: bytearray(p.read_bytes()),
    lambda p: BytesSub(p.read_bytes()), lambda p: ByteArraySub(p.read_bytes()),
])
@pytest.mark.parametrize("kind", ["png", "bmp"])
def test_accepted_sources_and_format_from_content(swapped_names, make_source, kind):
    path = swapped_names[kind]
    image = SimpleImage.open(make_source(path))
    assert type(image) is SimpleImage
    assert image.size == (2, 2) and bytes(image._pixels) == RGB
    assert open_descriptors(path) == 0


@pytest.mark.parametrize("make_source", [
    lambda p: memoryview(p.read_bytes()),
    lambda p: None,
    lambda p: 42,
    lambda p: pathlib.PurePosixPath(p),
    lambda p: [p.read_bytes()],
    lambda p: os.fsencode(str(p)),  # a path given as bytes is taken as raw data
])
def test_refused_sources(swapped_names, make_source):
    source = make_source(swapped_names["png"])
    if isinstance(source, bytes):
        expect_error(ValueError, "Unsupported image format", SimpleImage.open, source)
    else:
        expect_error(TypeError, NOT_A_SOURCE, SimpleImage.open, source)


def test_open_file_object_is_refused_untouched(swapped_names):
    with open(swapped_names["png"], "rb") as handle:
        expect_error(TypeError, NOT_A_SOURCE, SimpleImage.open, handle)
        assert handle.tell() == 0 and not handle.closed


@pytest.mark.parametrize("data, message", [
    (b"", "Unsupported image format"),
    (b"B", "Unsupported image format"),
    (b"bm" + BMP_DATA[2:], "Unsupported image format"),
    (PNG_DATA[:7], "Unsupported image format"),
    (b"GIF89a" + bytes(20), "Unsupported image format"),
    (b"BM", "Unsupported BMP header"),
    (b"BM\x00\x00\x00\x00\x00", "Unsupported BMP header"),
    (PNG_SIGNATURE, "Incomplete PNG header information"),
])
def test_format_from_first_bytes(data, message):
    expect_error(ValueError, message, SimpleImage.open, data)


@pytest.mark.parametrize("name, error, reason", [
    ("missing.png", FileNotFoundError, "[Errno 2] No such file or directory"),
    ("", IsADirectoryError, "[Errno 21] Is a directory"),
])
def test_unopenable_paths(tmp_path, name, error, reason):
    path = str(tmp_path / name) if name else str(tmp_path)
    expect_error(error, "%s: %r" % (reason, path), SimpleImage.open, path)


def _returning(*values):
    class Returning(SimpleImage):
        _streamToImage = staticmethod(lambda stream: values)
    return Returning


@pytest.mark.parametrize("cls, content, error, message", [
    (SimpleImage, PNG_DATA[:-20], ValueError, "Unexpected EOF while reading chunk data"),
    (SimpleImage, b"GIF89a", ValueError, "Unsupported image format"),
    (SimpleImage, BMP_DATA[:-1], ValueError, "Incomplete BMP pixel data"),
    (_returning(2, 2), PNG_DATA, ValueError, "need more than 2 values to unpack"),
    (_returning(2), PNG_DATA, ValueError, "need more than 1 value to unpack"),
    (_returning(), PNG_DATA, ValueError, "need more than 0 values to unpack"),
    (_returning(1, 1, b"abc", 4), PNG_DATA, ValueError, "too many values to unpack (expected 3)"),
    (_returning(2, 2, b"abc"), PNG_DATA, ValueError, LENGTH_MISMATCH),
])
@pytest.mark.parametrize("as_path", [True, False])
def test_failures_close_the_file_before_reaching_the_caller(tmp_path, cls, content, error,
                                                            message, as_path):
    path = tmp_path / "input.img"
    path.write_bytes(content)
    try:
        cls.open(str(path) if as_path else content)
    except error as exc:
        # Checked while the exception and its traceback are still alive.
        assert open_descriptors(path) == 0
        assert str(exc) == message
    else:
        pytest.fail("no exception raised")


def test_file_is_open_while_decoding_and_closed_before_construction(tmp_path):
    path = tmp_path / "input.png"
    path.write_bytes(PNG_DATA)
    seen = {}

    class Watching(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            seen["stream"] = (stream.mode, stream.name, stream.closed, open_descriptors(path))
            return SimpleImage._streamToImage(stream)

        def __new__(cls, width, height, pixels):
            seen["at_construction"] = open_descriptors(path)
            return super().__new__(cls, width, height, pixels)

    image = Watching.open(pathlib.Path(path))
    assert type(image) is Watching and bytes(image._pixels) == RGB
    assert seen == {"stream": ("rb", str(path), False, 1), "at_construction": 0}


@pytest.mark.parametrize("source", [PNG_DATA, bytearray(BMP_DATA)])
def test_subclass_gets_its_own_type_and_stream_reader(source):
    image = Sub.open(source)
    assert type(image) is Sub and image.size == (2, 2) and bytes(image._pixels) == RGB
    custom = _returning(1, 1, bytearray(b"xyz")).open(source)
    assert custom.size == (1, 1) and bytes(custom._pixels) == b"xyz"


def test_stream_reader_is_looked_up_at_call_time():
    class Late(SimpleImage):
        pass

    Late._streamToImage = staticmethod(lambda stream: (1, 1, stream.read(3)))
    assert bytes(Late.open(b"\x01\x02\x03\x04")._pixels) == b"\x01\x02\x03"


@pytest.mark.parametrize("result, message", [
    (5, "Cannot convert int to Lumivex.rasterCore_ext.SimpleImage"),
    (None, None),
])
def test_constructor_result_is_checked(result, message):
    class Odd(SimpleImage):
        def __new__(cls, width, height, pixels):
            return result

    if message is None:
        assert Odd.open(PNG_DATA) is None
    else:
        expect_error(TypeError, message, Odd.open, PNG_DATA)


def test_signature_is_read_where_the_stream_stands_then_rewound_to_zero():
    # Positioned at 5, the first 8 bytes read are not a signature.
    stream = io.BytesIO(PNG_DATA)
    stream.seek(5)
    expect_error(ValueError, "Unsupported image format", SimpleImage._streamToImage, stream)
    # Positioned on a signature inside a text chunk, the whole file decodes from 0.
    text = chunk(b"tEXt", b"c\x00" + PNG_SIGNATURE)
    data = PNG_DATA[:33] + text + PNG_DATA[33:]
    stream = RecordingStream(data)
    stream.seek(data.index(PNG_SIGNATURE, 8))
    stream.calls.clear()
    width, height, pixels = SimpleImage._streamToImage(stream)
    assert (width, height, bytes(pixels)) == (2, 2, RGB)
    assert stream.calls[:3] == [("read", 8), ("seek", 0), ("read", 8)]


def test_stream_failures_propagate_unchanged():
    failure = OSError("seek failed")

    class NoSeek(io.BytesIO):
        def seek(self, *args):
            raise failure

    with pytest.raises(OSError) as info:
        SimpleImage._streamToImage(NoSeek(PNG_DATA))
    assert info.value is failure
    # Text where bytes are expected: the signature test itself fails.
    expect_error(TypeError, "startswith first arg must be str or a tuple of str, not bytes",
                 SimpleImage._streamToImage, io.StringIO("BM" + "x" * 60))
