"""numpy and Pillow conversions: round trips, the shared view, and refusals."""
import pathlib
import warnings
import random

import numpy as np
import pytest
from PIL import Image

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage

PNGSUITE = pathlib.Path(__file__).parent / "data" / "pngsuite"


def random_image(width, height, seed=1):
    rng = random.Random(seed)
    return SimpleImage(width, height, bytes(rng.randrange(256) for _ in range(width * height * 3)))


@pytest.mark.parametrize("width, height", [(1, 1), (5, 3), (3, 5), (0, 7), (7, 0), (0, 0)])
def test_numpy_view_is_zero_copy_and_writes_through(width, height):
    image = random_image(width, height)
    view = Lumivex.to_numpy(image)
    assert view.shape == (height, width, 3) and view.dtype == np.uint8
    assert view.tobytes() == bytes(image._pixels)
    if width and height:
        x, y = width - 1, height - 1
        view[y, x] = (7, 8, 9)
        assert image.getPixel((x, y)) == (7, 8, 9)
        image.putPixel((0, 0), (1, 2, 3))
        assert tuple(view[0, 0]) == (1, 2, 3)
        with pytest.raises(BufferError):  # the view pins the buffer's size
            image._pixels.extend(b"xyz")


def mismatch_pixels(image):
    image._pixels = bytearray(3)


def mismatch_width(image):
    image.width = 3


def negative_size(image):
    image.width, image.height, image._pixels = -1, -2, bytearray(6)


def no_pixels(image):
    del image._pixels


@pytest.mark.parametrize("spoil", [mismatch_pixels, mismatch_width, negative_size, no_pixels])
def test_numpy_view_refuses_a_buffer_that_no_longer_matches(spoil):
    image = random_image(2, 2)
    spoil(image)
    with pytest.raises(ValueError, match="does not match its size of"):
        Lumivex.to_numpy(image)
    with pytest.raises(ValueError, match="does not match its size of"):
        Lumivex.to_pillow(image)


@pytest.mark.parametrize("array", [
    np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3),
    np.random.default_rng(5).integers(0, 256, (40, 31, 3), dtype=np.uint8)[::3, ::-2],  # strided
    np.zeros((0, 4, 3), np.uint8),
    np.asfortranarray(np.arange(4 * 2 * 3, dtype=np.uint8).reshape(4, 2, 3)),
], ids=["small", "strided", "empty", "fortran-order"])
def test_from_numpy_round_trips(array):
    expected = np.asarray(array)
    image = Lumivex.from_numpy(array)
    assert image.size == (expected.shape[1], expected.shape[0])
    assert np.array_equal(Lumivex.to_numpy(image), expected)
    assert np.array_equal(np.asarray(Lumivex.to_pillow(image)).reshape(expected.shape), expected)


@pytest.mark.parametrize("array, error, match", [
    (np.zeros((2, 2, 3), np.float32), TypeError, "dtype uint8, got float32"),
    (np.zeros((2, 2, 4), np.uint8), ValueError, r"shape \(height, width, 3\), got \(2, 2, 4\)"),
    (np.zeros((2, 6), np.uint8), ValueError, r"got \(2, 6\)"),
])
def test_from_numpy_refuses_other_arrays(array, error, match):
    with pytest.raises(error, match=match):
        Lumivex.from_numpy(array)


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L", "LA", "P", "1", "I", "F", "CMYK", "YCbCr", "I;16"])
def test_from_pillow_converts_any_mode_as_pillow_does(mode):
    rgb = Image.fromarray(np.random.default_rng(2).integers(0, 256, (6, 5, 3), dtype=np.uint8))
    picture = rgb.convert(mode)
    image = Lumivex.from_pillow(picture)
    assert image.size == picture.size
    assert bytes(image._pixels) == picture.convert("RGB").tobytes()


def test_sample_files_decode_as_pillow_decodes_them():
    """Every sample of 8 bits or fewer gives Pillow's RGB pixels through the numpy view."""
    compared = 0
    for path in sorted(PNGSUITE.glob("*.png")):
        if path.name.startswith("x") or path.stem.endswith("16"):
            continue  # refused, or narrowed by Pillow its own way
        image = Lumivex.open(path)
        with Image.open(path) as picture, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Pillow's note on palettes with transparency
            assert np.array_equal(Lumivex.to_numpy(image), np.asarray(picture.convert("RGB"))), path.name
        compared += 1
    assert compared >= 10


@pytest.mark.parametrize("call", [Lumivex.to_numpy, Lumivex.to_pillow, Lumivex.from_pillow])
def test_wrong_object_types_are_refused(call):
    with pytest.raises(TypeError, match="expected a"):
        call(np.zeros((1, 1, 3), np.uint8) if call is Lumivex.from_pillow else "image.png")
