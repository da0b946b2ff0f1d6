"""Lumivex: a small, fast PNG and BMP codec.

The codec lives in the extension module ``Lumivex.rasterCore_ext``; its one
class, ``SimpleImage``, opens, edits and saves images. Around it this package
adds an open with a pixel cap for files from untrusted sources
(``Lumivex.open``), numpy arrays of every sample (``Lumivex.imread``),
conversions to and from numpy arrays and Pillow images, and a command line
(``python -m Lumivex``).

Importing the package loads none of that: each name is imported on first use,
so that a program pays only for the calls it makes.
"""
TYPE_CHECKING = False
if TYPE_CHECKING:  # what type checkers and the API reference see
    from typing import List

    from Lumivex._capped import DEFAULT_MAX_PIXELS, CompressedDataError, HeaderDataError, PixelLimitError
    from Lumivex._capped import open as open
    from Lumivex._imread import UnsupportedFormatError, imread
    from Lumivex._interop import from_numpy, from_pillow, to_numpy, to_pillow
    from Lumivex._metadata import read_metadata
    from Lumivex.compact import DEFLATE_BACKEND, encode_png, write_png
    from Lumivex.rasterCore_ext import SimpleImage

    __version__: str

# Each public name, by the module that defines it.
_HOMES = {
    "DEFAULT_MAX_PIXELS": "Lumivex._capped",
    "CompressedDataError": "Lumivex._capped",
    "HeaderDataError": "Lumivex._capped",
    "PixelLimitError": "Lumivex._capped",
    "open": "Lumivex._capped",  # not in __all__: a star import must not hide the built-in
    "UnsupportedFormatError": "Lumivex._imread",
    "imread": "Lumivex._imread",
    "read_metadata": "Lumivex._metadata",
    "from_numpy": "Lumivex._interop",
    "from_pillow": "Lumivex._interop",
    "to_numpy": "Lumivex._interop",
    "to_pillow": "Lumivex._interop",
    "DEFLATE_BACKEND": "Lumivex.compact",
    "encode_png": "Lumivex.compact",
    "write_png": "Lumivex.compact",
    "SimpleImage": "Lumivex.rasterCore_ext",
}


def __getattr__(name: str) -> object:
    # Called only for names not yet in the module: each is imported once, then
    # kept as a global, so later look-ups cost nothing.
    if name == "__version__":
        value: object = _installed_version()
    elif name in _HOMES:
        from importlib import import_module
        value = getattr(import_module(_HOMES[name]), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> "List[str]":
    return sorted(set(globals()) | set(_HOMES) | {"__version__"})


def _installed_version() -> str:
    """The version in the installed metadata, read from the dist-info folder
    beside the package: importlib.metadata would take several times the
    package's own import time to find it."""
    import builtins
    import os

    site = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        folders = [name for name in os.listdir(site) if name.lower().startswith("lumivex-")
                   and name.endswith(".dist-info")]
    except OSError:
        folders = []
    for folder in folders:
        try:
            with builtins.open(os.path.join(site, folder, "METADATA"), encoding="utf-8") as metadata:
                for line in metadata:
                    if line.startswith("Version:"):
                        return line.split(":", 1)[1].strip()
                    if not line.strip():
                        break  # the headers end at the first blank line
        except OSError:
            continue
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("Lumivex")
    except PackageNotFoundError:  # imported from a tree that was never installed
        return "0+unknown"


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
