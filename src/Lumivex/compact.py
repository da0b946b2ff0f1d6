"""The compact PNG writer: lossless colour reduction, per-row filter choice
and strong deflate for small files, and safe replacement when writing to a
path.

``SimpleImage.save`` writes the module's fixed bytes (8-bit RGB, no
filtering, zlib's default level); these functions trade that fixed output for
size.
"""
from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO, Dict, Literal, Union

from ._atomic import replace_atomically
from .rasterCore_ext import SimpleImage
# After the extension, whose refusal of a second interpreter comes first.
from ._native import ADAPTIVE_FILTER, COLOUR_AUTO, COLOUR_RGB, STRONGEST_LEVEL, encodePng
# The deflate library this build links: "libdeflate", or "zlib" without it.
from ._native import DEFLATE_BACKEND

__all__ = ["COLOURS", "DEFLATE_BACKEND", "FILTERS", "encode_png", "write_png"]

if TYPE_CHECKING:
    #: The levels: 1 (fastest) to 9 as zlib means them, or "strongest".
    Level = Union[Literal[1, 2, 3, 4, 5, 6, 7, 8, 9], Literal["strongest"]]
    #: The filter strategies by name.
    Filter = Literal["none", "sub", "up", "average", "paeth", "adaptive"]
    #: "auto": the smallest layout that holds the image exactly; "rgb": 8-bit RGB always.
    Colour = Literal["auto", "rgb"]

#: Colour choices by name.
COLOURS: Dict[str, int] = {"auto": COLOUR_AUTO, "rgb": COLOUR_RGB}

#: Filter strategies by name: one PNG filter type on every row, or "adaptive",
#: which picks per row the filter whose output has the least sum of absolute
#: values (each byte read as signed).
FILTERS: Dict[str, int] = {"none": 0, "sub": 1, "up": 2, "average": 3, "paeth": 4, "adaptive": ADAPTIVE_FILTER}

DEFAULT_LEVEL: Literal[6] = 6


def _level_code(level: Level) -> int:
    if level == "strongest":
        return STRONGEST_LEVEL
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError("level must be an int from 1 to 9 or \"strongest\", not %s" % type(level).__name__)
    if not 1 <= level <= 9:
        raise ValueError("level must be from 1 to 9 or \"strongest\", got %d" % level)
    return level


def _filter_code(filter: Filter) -> int:
    try:
        return FILTERS[filter]
    except (KeyError, TypeError):
        raise ValueError("filter must be one of %s, got %r" % (", ".join(map(repr, FILTERS)), filter)) from None


def _colour_code(colour: Colour) -> int:
    try:
        return COLOURS[colour]
    except (KeyError, TypeError):
        raise ValueError("colour must be one of %s, got %r" % (", ".join(map(repr, COLOURS)), colour)) from None


def encode_png(image: SimpleImage, level: Level = DEFAULT_LEVEL, filter: Filter = "adaptive",
               colour: Colour = "auto") -> bytes:
    """Encode `image` (a SimpleImage) as a PNG file; return its bytes.

    colour: "auto" (the default) stores the image in the smallest layout that
    holds it exactly: 8-bit RGB, a palette of 1, 2, 4 or 8 bits when it has
    256 colours or fewer, or greyscale of 1, 2, 4 or 8 bits when every pixel
    is grey (and the values fit the depth); each is tried, and the one that
    compresses smallest kept. "rgb" always writes 8-bit RGB, for readers that
    take nothing else (such as `SimpleImage.open`).

    level: 1 (fastest) to 9 (smallest) as zlib means them, or "strongest"
    (libdeflate's level 11, and its 12 for the most repetitive rows; zlib's 9
    in a build without libdeflate).
    filter: "adaptive" (the default), "none", "sub", "up", "average" or "paeth".
    "adaptive" picks a filter per row and weighs that against no filtering at
    all, keeping what deflates smaller (flat graphics and palette rows often
    do better unfiltered). Below the "strongest" level the layout and the
    filtering are chosen on a sample; at it, the close choices are weighed
    again on the whole image.
    The work runs without the GIL; with two or more cores, an image of over
    256 KiB of scanlines is filtered and deflated on two threads.

    Raises ValueError for an image PNG cannot hold (a width or height below 1)
    or whose pixel buffer is not exactly width x height x 3 bytes.
    """
    if not isinstance(image, SimpleImage):
        raise TypeError("image must be a SimpleImage, not %s" % type(image).__name__)
    level_code, filter_code, colour_code = _level_code(level), _filter_code(filter), _colour_code(colour)
    return encodePng(image.width, image.height, image._pixels, level_code, filter_code, colour_code)


def write_png(image: SimpleImage, dest: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", BinaryIO],
              level: Level = DEFAULT_LEVEL, filter: Filter = "adaptive", colour: Colour = "auto") -> None:
    """Encode `image` as encode_png does and write it to `dest`: a path (str,
    bytes or os.PathLike) or a binary file object with a ``write`` method.

    A path is replaced atomically: the file is written in full to a temporary
    file in the same folder, flushed and fsync'ed, then renamed over the path in
    one step, and the folder is fsync'ed. Readers see the old file or the new
    one, never part of either; on any failure the temporary file is removed and
    what was at the path is left as it was. What ``open(path, "wb")`` would
    refuse (a file, or a link's target, this process may not write; a folder)
    is refused with the same error, and every error names the path. Replacing makes a new file (a new
    inode: hard links to the old file keep the old contents); a symbolic link
    at the path is itself replaced, not followed. An existing regular file's
    permission bits are kept; a new file gets 0o666 less the umask, as
    ``open(path, "wb")`` would.

    A file object gets the bytes by ``write`` calls, with no atomicity: as
    many as it takes for every byte (an unbuffered stream may take part of
    them); a ``write`` that takes none (returns 0, or None as a non-blocking
    stream that would block does) raises OSError.
    """
    data = encode_png(image, level, filter, colour)
    if hasattr(dest, "write") and not isinstance(dest, (str, bytes, os.PathLike)):
        write_all(dest, data)
        return
    replace_atomically(os.fspath(dest), lambda temp: write_all(temp, data))


def write_all(stream: BinaryIO, data: bytes) -> None:
    """Writes every byte of `data` to `stream`, however few each write takes."""
    view = memoryview(data)
    while view:
        taken = stream.write(view)
        if not taken:
            raise OSError(f"write() took none of the last {len(view)} bytes (it returned {taken!r})")
        view = view[taken:]
