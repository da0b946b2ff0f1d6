"""Reading every sample a file holds into a numpy array: alpha, tRNS
transparency and 16-bit depth kept, or converted to the mode and depth asked
for. numpy is imported by the call, never by the package."""
from __future__ import annotations

import builtins
import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Literal, Optional, Union

from Lumivex._capped import DEFAULT_MAX_PIXELS, Source, decode_as

if TYPE_CHECKING:
    import numpy

if TYPE_CHECKING:
    #: The modes imread returns: grey, grey and alpha, RGB, RGBA (None: as stored).
    Mode = Optional[Literal["L", "LA", "RGB", "RGBA"]]
    #: The sample depths imread returns (None: as stored).
    Depth = Optional[Literal[8, 16]]

#: The modes imread converts to, by the channel layout the decoder takes.
MODES: Dict[Any, int] = {None: 0, "L": 1, "LA": 2, "RGB": 3, "RGBA": 4}
#: The sample depths, by the depth the decoder takes (0: as stored).
DEPTHS: Dict[Any, int] = {None: 0, 8: 8, 16: 16}

# What a file of another kind starts with: (offset, bytes, its name).
_SIGNATURES = (
    (0, b"\xff\xd8\xff", "JPEG"),
    (0, b"GIF87a", "GIF"),
    (0, b"GIF89a", "GIF"),
    (8, b"WEBP", "WebP"),
    (0, b"II*\x00", "TIFF"),
    (0, b"MM\x00*", "TIFF"),
    (4, b"ftypavif", "AVIF"),
    (4, b"ftypheic", "HEIC"),
    (0, b"\x00\x00\x01\x00", "ICO"),
    (0, b"qoif", "QOI"),
    (0, b"8BPS", "Photoshop"),
    (0, b"\x00\x00\x00\x0cjP  ", "JPEG 2000"),
    (0, b"%PDF", "PDF"),
)


class UnsupportedFormatError(ValueError):
    """A file that is neither PNG nor BMP; the message says what it looks like."""


def _kind(start: bytes) -> str:
    for offset, signature, name in _SIGNATURES:
        if start[offset:offset + len(signature)] == signature:
            return name
    return ""


def _unsupported(start: bytes) -> UnsupportedFormatError:
    kind = _kind(start)
    looks = f"it looks like a {kind} file" if kind else "it is neither PNG nor BMP"
    return UnsupportedFormatError(f"Unsupported image format: {looks}; Lumivex reads PNG and BMP "
                                  f"(Lumivex.from_pillow takes an image that Pillow opened)")


def _choice(choices: Dict[Any, int], value: object, name: str) -> int:
    try:
        return int(choices[value])
    except (KeyError, TypeError):
        named = ", ".join(repr(choice) for choice in choices)
        raise ValueError(f"{name} must be one of {named}, not {value!r}") from None


def imread(source: Source, mode: Mode = None, *, depth: Depth = None,
           max_pixels: Optional[int] = DEFAULT_MAX_PIXELS) -> "numpy.ndarray[Any, Any]":
    """Read a PNG or BMP image into a numpy array, keeping every sample.

    `source` is a path, a binary file object (read from where it stands) or
    the file's bytes, as `Lumivex.open` takes it.

    With `mode=None` the array is the image as stored: greyscale ``(h, w)``,
    grey and alpha ``(h, w, 2)``, RGB ``(h, w, 3)``, RGBA ``(h, w, 4)``. A
    palette becomes RGB, or RGBA when its tRNS chunk makes an entry
    translucent; grey or RGB with a tRNS colour gains an alpha channel (0
    where the stored value equals it). `mode` "L", "LA", "RGB" or "RGBA"
    converts: grey to colour by copying, colour to grey with Pillow's
    weights, a missing alpha opaque, an alpha asked away dropped.

    With `depth=None` 16-bit samples stay ``uint16`` (in the machine's byte
    order) and everything else is ``uint8``; `depth=8` keeps the high byte
    of 16-bit samples, `depth=16` widens 8-bit samples by 257.

    Raises `PixelLimitError` above `max_pixels` (None: no cap),
    `UnsupportedFormatError` for a file of another kind, and the ValueErrors
    of `Lumivex.open` for damaged files; for a path, the message starts with
    it and the exception's ``filename`` is it. numpy must be installed.
    """
    try:
        import numpy
    except ImportError:
        raise ImportError("Lumivex.imread returns a numpy array: install numpy (pip install numpy)") from None
    layout, bits = _choice(MODES, mode, "mode"), _choice(DEPTHS, depth, "depth")
    path = source if isinstance(source, (str, os.PathLike)) else None
    if path is None and hasattr(source, "read"):
        source = source.read()  # kept, so that a refusal can say what it looks like
    try:
        width, height, pixels, _, _, (channels, sample_bytes) = decode_as(source, max_pixels, (layout, bits))
    except ValueError as error:
        raise _explained(error, source, path) from None
    dtype = numpy.uint8 if sample_bytes == 1 else numpy.dtype("=u2")
    array = numpy.frombuffer(pixels, dtype)  # the decoder's own buffer, writable
    width = max(width, 0)  # a BMP of no rows may declare a negative width, as `open` keeps it
    return array.reshape((height, width) if channels == 1 else (height, width, channels))


if TYPE_CHECKING:
    PathSource = Union[str, "os.PathLike[str]"]


def _explained(error: ValueError, source: object, path: Optional[PathSource]) -> ValueError:
    """`error` as a loop over many files wants it: naming the path, and for a
    file of another kind, saying what it looks like."""
    if str(error) == "Unsupported image format":
        error = _unsupported(_start(source, path))
    if path is not None:
        shown = os.fsdecode(os.fspath(path))
        error.args = (f"{shown}: {error.args[0] if error.args else error}",) + tuple(error.args[1:])
        error.filename = shown  # type: ignore[attr-defined]
    return error


def _start(source: object, path: Optional[PathSource]) -> bytes:
    if path is None:
        try:
            return bytes(memoryview(source)[:16])  # type: ignore[arg-type]
        except TypeError:
            return b""
    try:
        with builtins.open(path, "rb") as stream:
            return bytes(stream.read(16))
    except OSError:
        return b""
