"""Lumivex: a small, fast PNG and BMP codec.

The codec lives in the extension module ``Lumivex.rasterCore_ext``; its one
class, ``SimpleImage``, opens, edits and saves images.
"""

from .compact import DEFLATE_BACKEND, encode_png, write_png  # noqa: E402,F401
