"""Opening files from untrusted sources with a cap on their pixel count.

A PNG file of about a megabyte can honestly declare 20000 x 20000 pixels, and
decoding it then needs gigabytes. `open` decodes with the cap in force: the
decoder checks the header it decodes with against it before allocating the
image, so a file changed while it is read cannot slip past it, and IDAT data
beyond what an image under the cap can hold is refused unread.
"""
import builtins
import os
import struct
import zlib
from typing import Any, BinaryIO, Callable, NamedTuple, Optional, Tuple, Union, cast

from Lumivex.rasterCore_ext import SimpleImage
# After the extension, whose refusal of a second interpreter comes first.
from Lumivex._native import PEEK_BYTES, decodeBytes, decodeCapped, peekHeader

# Where Pillow refuses to open an image too: twice its MAX_IMAGE_PIXELS.
DEFAULT_MAX_PIXELS = 178_956_970

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]


class Header(NamedTuple):
    """What a file's headers declare: dimensions, stored channels and depth."""

    format: str
    width: int
    height: int
    channels: str
    #: As each format's header stores it: bits per sample for PNG, bits per pixel for BMP.
    bit_depth: int = 8
    #: Whether a PNG is Adam7-interlaced.
    interlaced: bool = False
    #: PNG: the IHDR's colour type. BMP: None.
    colour_type: Optional[int] = None
    #: BMP: the information header's size and compression value. PNG: None.
    header_size: Optional[int] = None
    compression: Optional[int] = None
    #: BMP: whether rows are stored top-down.
    top_down: bool = False
    #: Whether the file stores alpha (a PNG's colour type 4 or 6, a BMP's alpha mask).
    alpha: bool = False


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


class CompressedDataError(zlib.error, ValueError):
    """`zlib.error` for damaged compressed image data, catchable as `ValueError` too."""


class HeaderDataError(struct.error, ValueError):
    """`struct.error` for a truncated or damaged header, catchable as `ValueError` too."""


# The standard modules' errors, as the ValueErrors open raises instead.
_AS_VALUE_ERROR = {zlib.error: CompressedDataError, struct.error: HeaderDataError}


# (width, height, pixels, format, (PNG colour type, bit depth, interlace
# method) or (BMP bits per pixel,), (channels, bytes a sample)).
Decoded = Tuple[int, int, bytearray, str, Tuple[int, ...], Tuple[int, int]]

# The pixels decoded: a channel layout (0: as stored, else 1 to 4 channels)
# and a sample depth (0: as stored, 8 or 16). Lumivex.open's: 8-bit RGB.
PixelFormat = Tuple[int, int]
RGB8: PixelFormat = (3, 8)


def _decode(source: object, max_pixels: Optional[int], format: PixelFormat = RGB8) -> Decoded:
    # The decoder checks the cap on the header it uses before it allocates the
    # image, on the very bytes it decodes.
    if isinstance(source, (str, os.PathLike)):
        with builtins.open(source, "rb") as stream:
            return _decode_opened(stream, max_pixels, format)
    if isinstance(source, (bytes, bytearray)):
        return decodeBytes(source, max_pixels, PixelLimitError, *format)
    if hasattr(source, "read"):
        return decodeBytes(source.read(), max_pixels, PixelLimitError, *format)
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:  # not a buffer either
        raise TypeError("source must be a file path, a binary file object or bytes-like, not "
                        + type(source).__name__) from None
    # A strided buffer (a slice with a step, a transposed array) is read as
    # the bytes it holds in order, copied into one block.
    return decodeBytes(source if view.c_contiguous else view.tobytes(), max_pixels, PixelLimitError, *format)


def _decode_opened(stream: BinaryIO, max_pixels: Optional[int], format: PixelFormat = RGB8) -> Decoded:
    """A file this package opened: read in place where it can seek, else
    (a pipe, /dev/stdin, a FIFO) read to its end first, as a file object is."""
    if stream.seekable():
        return decodeCapped(stream, max_pixels, PixelLimitError, *format)
    return decodeBytes(stream.read(), max_pixels, PixelLimitError, *format)


def decode_as(source: object, max_pixels: Optional[int], format: PixelFormat) -> Decoded:
    """The decode of `source` (as `open` takes it) into `format`, the cap checked
    and zlib's and struct's errors raised as the ValueErrors `open` raises."""
    _check_max_pixels(max_pixels)
    try:
        return _decode(source, max_pixels, format)
    except (zlib.error, struct.error) as error:
        raise _AS_VALUE_ERROR[type(error)](*error.args) from error


def _adopted(width: int, height: int, pixels: bytearray) -> SimpleImage:
    """An image holding the decoder's new buffer itself, not a copy."""
    image = SimpleImage(0, 0, b"")
    image.width, image.height, image._pixels = width, height, pixels
    return image


def open_with_header(source: Source, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS,
                     ) -> Tuple[SimpleImage, Header]:
    """`open`, also returning the header the image was decoded from."""
    return _opened(_decode, source, max_pixels)


def open_file_with_header(stream: BinaryIO, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS,
                          ) -> Tuple[SimpleImage, Header]:
    """`open_with_header` of a file the caller opened, read as a path's file is."""
    return _opened(_decode_opened, stream, max_pixels)


def _opened(decode: Callable[[Any, Optional[int]], Decoded], source: object, max_pixels: Optional[int],
            ) -> Tuple[SimpleImage, Header]:
    _check_max_pixels(max_pixels)
    try:
        width, height, pixels, kind, stored, _ = decode(source, max_pixels)
    except (zlib.error, struct.error) as error:
        raise _AS_VALUE_ERROR[type(error)](*error.args) from error
    if kind == "BMP":
        header = Header(kind, width, height, "palette" if stored[0] <= 8 else "RGB", stored[0])
    else:
        header = _png_header(width, height, *stored)
    return _adopted(width, height, pixels), header


def _png_header(width: int, height: int, colour: int, depth: int, interlace: int) -> Header:
    return Header("PNG", width, height, _PNG_CHANNELS.get(colour, f"colour type {colour}"), depth, interlace == 1,
                  colour_type=colour, alpha=colour in (4, 6))


def read_header(path: Union[str, "os.PathLike[str]"], max_pixels: Optional[int] = DEFAULT_MAX_PIXELS) -> Header:
    """The header of the PNG or BMP file at `path`, from its first bytes,
    without decoding it: also for layouts `open` refuses. Raises ValueError
    for a file of another format or cut short in its header, OSError for
    the file. Only a PNG whose IHDR does not come first is decoded to find
    it, with `max_pixels` as `open` takes it."""
    with builtins.open(path, "rb") as stream:
        start = stream.read(PEEK_BYTES)
        peeked = peekHeader(start)
        if peeked is None:  # a PNG whose IHDR is not its first chunk: only a decode finds it
            if not stream.seekable():  # a pipe: what was read is not read again
                return open_with_header(start + stream.read(), max_pixels)[1]
            stream.seek(0)
            return open_with_header(stream, max_pixels)[1]
    if peeked[0] == "PNG":
        return _png_header(peeked[1], peeked[2], peeked[3], peeked[4], peeked[5])
    _, width, height, size, bits, compression, alpha = cast(Tuple[str, int, int, int, int, int, bool], peeked)
    channels = "palette" if bits <= 8 else "RGBA" if alpha else "RGB"
    return Header("BMP", width, abs(height), channels, bits, header_size=size, compression=compression,
                  top_down=height < 0, alpha=bool(alpha))


def open(source: Source, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS) -> SimpleImage:
    """Open a PNG or BMP image, refusing images of more than `max_pixels`
    pixels before allocating them.

    Every valid PNG is read (any colour type, bit depth and interlacing),
    brought to 8-bit RGB: grey as R = G = B, palette indices through the
    palette, 16-bit samples by their high byte, alpha dropped. BMPs are read
    with any information header at 1 to 32 bits per pixel (palettes, masks),
    RLE8 and RLE4 included.

    `source` is a path (`str` or `os.PathLike`), a binary file object (read
    from where it stands to its end), or the file's bytes (any bytes-like
    object). Raises `PixelLimitError` (a `ValueError`) above the cap;
    `max_pixels=None` disables it. For the files `SimpleImage.open` reads,
    result and errors are what it gives for the same data, except that damage
    reported by `zlib` or `struct` comes as `CompressedDataError` or
    `HeaderDataError`: subclasses of `zlib.error` and `struct.error` that are
    also `ValueError`, with the same message.
    """
    return open_with_header(source, max_pixels)[0]
