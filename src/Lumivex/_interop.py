"""Conversions between `SimpleImage` and numpy arrays or Pillow images.

numpy and Pillow are imported only when a conversion that needs them runs;
neither is a dependency of the package.
"""
from __future__ import annotations

TYPE_CHECKING = False

from Lumivex.rasterCore_ext import SimpleImage

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    from PIL import Image


def _require_image(image: object) -> SimpleImage:
    if not isinstance(image, SimpleImage):
        raise TypeError(f"expected a SimpleImage, got {type(image).__name__}")
    return image


def _checked_pixels(image: object) -> bytearray:
    """The image's pixel buffer, after checking it still matches width and height."""
    image = _require_image(image)
    width, height, pixels = image.width, image.height, image._pixels
    if pixels is None or width < 0 or height < 0 or len(pixels) != width * height * 3:
        size = "no pixel data" if pixels is None else f"{len(pixels)} bytes"
        raise ValueError(f"the image's pixel buffer ({size}) does not match its "
                         f"size of {width} x {height} pixels")
    return pixels


def to_numpy(image: SimpleImage) -> "numpy.typing.NDArray[numpy.uint8]":
    """A view of the image's pixels as a numpy array of shape (height, width, 3)
    and dtype uint8, sharing the image's memory: writing to the array changes
    the image and the other way round. No copy is made.

    While the view exists the pixel buffer cannot be resized. Raises
    ValueError when the buffer no longer matches the image's width and
    height (after `_pixels`, `width` or `height` was set to something else).
    """
    import numpy

    pixels = _checked_pixels(image)
    return numpy.frombuffer(pixels, dtype=numpy.uint8).reshape(image.height, image.width, 3)


def from_numpy(array: "numpy.typing.ArrayLike") -> SimpleImage:
    """A new image holding a copy of an array of shape (height, width, 3) and
    dtype uint8 (rows top first, channels red, green, blue)."""
    import numpy

    array = numpy.asarray(array)
    if array.dtype != numpy.uint8:
        raise TypeError(f"expected an array of dtype uint8, got {array.dtype}; "
                        "convert it first, e.g. array.clip(0, 255).astype(numpy.uint8)")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError(f"expected an array of shape (height, width, 3), got {array.shape}")
    height, width = array.shape[:2]
    return SimpleImage(width, height, numpy.ascontiguousarray(array).reshape(-1).data)


def from_pillow(picture: "Image.Image") -> SimpleImage:
    """A new image from a Pillow image of any mode, converted to RGB the way
    Pillow's `convert("RGB")` does (alpha is dropped, palettes expanded)."""
    from PIL import Image

    if not isinstance(picture, Image.Image):
        raise TypeError(f"expected a PIL.Image.Image, got {type(picture).__name__}")
    rgb = picture if picture.mode == "RGB" else picture.convert("RGB")
    width, height = rgb.size
    return SimpleImage(width, height, rgb.tobytes())


def to_pillow(image: SimpleImage) -> "Image.Image":
    """A new Pillow image of mode RGB holding a copy of the image's pixels."""
    from PIL import Image

    pixels = _checked_pixels(image)
    return Image.frombytes("RGB", (image.width, image.height), bytes(pixels))
