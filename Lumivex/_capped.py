"""Opening files from untrusted sources with a cap on their pixel count.

A PNG file of about a megabyte can honestly declare 20000 x 20000 pixels, and
decoding it then needs gigabytes. `open` decodes with the cap in force: every
header the decoder reads is checked against it before anything is allocated
for that image, so a file changed while it is read cannot slip past it, and
IDAT data beyond what an image under the cap can hold is refused unread.
"""
import builtins
import io
import pathlib
from typing import NamedTuple, Optional, Protocol, Tuple, Union

from Lumivex.rasterCore_ext import SimpleImage
from Lumivex import _native  # after the extension, whose refusal of a second interpreter comes first

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


def _check_max_pixels(max_pixels: Optional[int]) -> None:
    if max_pixels is None:
        return
    if not isinstance(max_pixels, int) or isinstance(max_pixels, bool):
        raise TypeError(f"max_pixels must be an int or None, not {type(max_pixels).__name__}")
    if max_pixels < 0:
        raise ValueError("max_pixels must not be negative")


def _decode(stream: _Stream, max_pixels: Optional[int]) -> Tuple[Tuple[int, int, bytearray], Header]:
    # The decoder checks the cap on every header as it reads it, before it
    # allocates anything for that image, so what it decodes is what it checked.
    width, height, pixels, kind, colour = _native.decodeCapped(stream, max_pixels, PixelLimitError)
    channels = "RGB" if colour is None else _PNG_CHANNELS.get(colour, f"colour type {colour}")
    return (width, height, pixels), Header(kind, width, height, channels)


def open_with_header(source: Source, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS,
                     ) -> Tuple[SimpleImage, Header]:
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
