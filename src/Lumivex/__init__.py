"""Lumivex: a small, fast PNG and BMP codec.

The codec lives in the extension module ``Lumivex.rasterCore_ext``; its one
class, ``SimpleImage``, opens, edits and saves images. Around it this package
adds an open with a pixel cap for files from untrusted sources
(``Lumivex.open``), conversions to and from numpy arrays and Pillow images,
and a command line (``python -m Lumivex``).
"""
from typing import TYPE_CHECKING

from Lumivex._capped import DEFAULT_MAX_PIXELS, CompressedDataError, HeaderDataError, PixelLimitError
from Lumivex._capped import open as open  # not in __all__: a star import must not hide the built-in
from Lumivex._imread import UnsupportedFormatError, imread
from Lumivex._metadata import read_metadata
from Lumivex._interop import from_numpy, from_pillow, to_numpy, to_pillow
from Lumivex.compact import DEFLATE_BACKEND, encode_png, write_png
from Lumivex.rasterCore_ext import SimpleImage

if TYPE_CHECKING:
    __version__: str


def __getattr__(name: str) -> str:
    # The version is looked up when asked for: importlib.metadata alone would
    # take most of the package's import time.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    global __version__
    try:
        __version__ = version("Lumivex")
    except PackageNotFoundError:  # imported from a tree that was never installed
        __version__ = "0+unknown"
    return __version__


__all__ = [
    "CompressedDataError",
    "DEFLATE_BACKEND",
    "DEFAULT_MAX_PIXELS",
    "HeaderDataError",
    "PixelLimitError",
    "SimpleImage",
    "UnsupportedFormatError",
    "__version__",
    "encode_png",
    "from_numpy",
    "from_pillow",
    "imread",
    "read_metadata",
    "to_numpy",
    "to_pillow",
    "write_png",
]
