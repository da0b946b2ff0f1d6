"""Opening files from untrusted sources with a cap on their pixel count.

A PNG file of about a megabyte can honestly declare 20000 x 20000 pixels, and
decoding it then needs gigabytes. `open` reads the dimensions the decoder will
use from the headers alone, refuses an image above the cap, and otherwise
decodes the very stream it scanned, so the file cannot change in between.
"""
import builtins
import io
import pathlib
import struct
from typing import NamedTuple, Optional, Protocol, Tuple, Union

from Lumivex import rasterCore_ext
from Lumivex.rasterCore_ext import SimpleImage

# Where Pillow refuses to open an image too: twice its MAX_IMAGE_PIXELS.
DEFAULT_MAX_PIXELS = 178_956_970

Source = Union[str, pathlib.Path, bytes, bytearray]


class _Stream(Protocol):
    def read(self, size: int) -> bytes: ...

    def seek(self, offset: int) -> int: ...


class Header(NamedTuple):
    """The dimensions and stored channels a file's headers declare."""

    format: str
    width: int
    height: int
    channels: str

    @property
    def pixels(self) -> int:
        # A zero dimension still costs a row (or column) of work per unit of
        # the other one, so it counts as 1: 0 x 4e9 is refused too.
        return max(abs(self.width), 1) * max(abs(self.height), 1)


class PixelLimitError(ValueError):
    """An image declares more pixels than the cap given to `open` allows."""

    def __init__(self, width: int, height: int, limit: int) -> None:
        super().__init__(f"image of {width} x {height} pixels exceeds the limit of "
                         f"{limit:,} pixels (max_pixels)")
        self.width = width
        self.height = height
        self.limit = limit

    def __reduce__(self) -> Tuple[type, Tuple[int, int, int]]:
        return type(self), (self.width, self.height, self.limit)


_PNG_CHANNELS = {0: "grey", 2: "RGB", 3: "palette", 4: "grey+alpha", 6: "RGBA"}


def _png_header(stream: _Stream, start: int) -> Optional[Header]:
    """The last IHDR before IEND (or the end of the data), read from chunk
    headers alone: the data of every other chunk is skipped with a seek."""
    found = None
    position = start
    stream.seek(position)
    while True:
        head = stream.read(8)
        if len(head) < 8:
            return found
        length, kind = struct.unpack(">I4s", head)
        if kind == b"IEND":
            return found
        if kind == b"IHDR":
            data = stream.read(13)
            if length != 13 or len(data) < 13:
                # The decoder refuses this header as soon as it reaches it.
                return found
            width, height, _depth, colour = struct.unpack(">IIBB", data[:10])
            found = Header("PNG", width, height, _PNG_CHANNELS.get(colour, f"colour type {colour}"))
        position += 12 + length
        stream.seek(position)


def _bmp_header(stream: _Stream) -> Optional[Header]:
    """The dimensions of the 40-byte information header; None for a file the
    decoder refuses before it sizes anything."""
    stream.seek(0)
    head = stream.read(54)
    if len(head) < 54 or head[:2] != b"BM" or struct.unpack_from("<I", head, 14)[0] != 40:
        return None
    width, height = struct.unpack_from("<ii", head, 18)
    return Header("BMP", width, abs(height), "RGB")


def _scan(stream: _Stream) -> Optional[Header]:
    """Recognises the format as `SimpleImage._streamToImage` does and reads
    the header its decoder will use; None when the decoder will refuse the
    data before it allocates anything for it."""
    signature = stream.read(8)
    png_signature = rasterCore_ext.PNG_SIGNATURE
    if signature.startswith(png_signature):
        return _png_header(stream, len(png_signature))
    if signature[:2] == b"BM":
        return _bmp_header(stream)
    return None


def _check_max_pixels(max_pixels: Optional[int]) -> None:
    if max_pixels is None:
        return
    if not isinstance(max_pixels, int) or isinstance(max_pixels, bool):
        raise TypeError(f"max_pixels must be an int or None, not {type(max_pixels).__name__}")
    if max_pixels < 0:
        raise ValueError("max_pixels must not be negative")


def _decode(stream: _Stream, max_pixels: Optional[int]) -> Tuple[Tuple[int, int, bytearray], Optional[Header]]:
    header = _scan(stream)
    if header is not None and max_pixels is not None and header.pixels > max_pixels:
        raise PixelLimitError(header.width, header.height, max_pixels)
    stream.seek(0)
    return SimpleImage._streamToImage(stream), header


def open_with_header(source: Source, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS,
                     ) -> Tuple[SimpleImage, Optional[Header]]:
    """`open`, also returning the header that was checked against the cap."""
    _check_max_pixels(max_pixels)
    if isinstance(source, (str, pathlib.Path)):
        with builtins.open(source, "rb") as stream:
            (width, height, pixels), header = _decode(stream, max_pixels)
    elif isinstance(source, (bytes, bytearray)):
        (width, height, pixels), header = _decode(io.BytesIO(source), max_pixels)
    else:
        raise TypeError("source must be a file path or raw bytes")
    return SimpleImage(width, height, pixels), header


def open(source: Source, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS) -> SimpleImage:
    """Open a PNG or BMP image as `SimpleImage.open` does, refusing images of
    more than `max_pixels` pixels before decoding them.

    `source` is a path (`str` or `pathlib.Path`) or the file's raw bytes.
    Raises `PixelLimitError` (a `ValueError`) above the cap; `max_pixels=None`
    disables it. Everything else, result and errors, is exactly what
    `SimpleImage.open` gives for the same data.
    """
    return open_with_header(source, max_pixels)[0]
