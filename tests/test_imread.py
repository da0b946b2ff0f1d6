"""Lumivex.imread: every sample of every PngSuite file against pypng's raw
rows, the conversions against numpy arithmetic on them (and Pillow's grey),
BMP alpha against hand-built files, and the errors a loop over files meets."""
import io
import os
import pathlib
import struct
import sys

import numpy
import png
import pytest
from PIL import Image

import Lumivex
from bmpbytes import bmp_file, header

SUITE = pathlib.Path(__file__).parent / "data" / "pngsuite"
GOOD = sorted(path for path in SUITE.glob("*.png") if not path.name.startswith("x"))


def as_stored(path):
    """The samples pypng reads, with no sBIT applied, in imread's layout."""
    reader = png.Reader(filename=str(path))
    width, height, rows, info = reader.read()
    data = numpy.array([list(row) for row in rows], numpy.uint32).reshape(height, -1)
    depth = info["bitdepth"]
    if reader.color_type == 3:
        palette = numpy.full((256, 4), 255, numpy.uint32)
        palette[:, :3] = 0
        for index, entry in enumerate(info["palette"]):
            palette[index, :len(entry)] = entry
        out = palette[data]
        return (out if (out[..., 3] < 255).any() else out[..., :3]).astype(numpy.uint8)
    data = data.reshape(height, width, info["planes"])
    transparent = info.get("transparent")
    if transparent is not None:
        colour = numpy.array(transparent if isinstance(transparent, tuple) else (transparent,))
        alpha = numpy.where((data == colour).all(axis=2), 0, 65535 if depth == 16 else 255)
    if depth < 8:
        data = data * (255 // (2 ** depth - 1))
    if transparent is not None:
        data = numpy.dstack([data, alpha])
    out = data.astype(numpy.uint16 if depth == 16 else numpy.uint8)
    return out[..., 0] if out.shape[2] == 1 else out


def converted(stored, mode, depth):
    """Narrow first (high byte), convert (Pillow's grey weights), widen last (x257)."""
    bits = 16 if stored.dtype == numpy.uint16 else 8
    out_bits = depth or bits
    precision = min(bits, out_bits)
    samples = stored.astype(numpy.uint32) >> (bits - precision)
    samples = samples[..., None] if samples.ndim == 2 else samples
    channels = samples.shape[2]
    colour = samples[..., :3] if channels >= 3 else numpy.repeat(samples[..., :1], 3, axis=2)
    grey = samples[..., 0] if channels <= 2 else (
        19595 * samples[..., 0] + 38470 * samples[..., 1] + 7471 * samples[..., 2] + 32768) >> 16
    alpha = samples[..., -1] if channels in (2, 4) else numpy.full(grey.shape, 2 ** precision - 1)
    out = {"L": grey, "LA": numpy.dstack([grey, alpha]), "RGB": colour, "RGBA": numpy.dstack([colour, alpha])}[mode]
    out = out * (257 if out_bits > precision else 1)
    return out.astype(numpy.uint16 if out_bits == 16 else numpy.uint8)


def same(got, want):
    return got.shape == want.shape and got.dtype == want.dtype and numpy.array_equal(got, want)


@pytest.mark.parametrize("path", GOOD, ids=[path.stem for path in GOOD])
def test_every_pngsuite_file_as_stored_and_in_every_mode_and_depth(path):
    stored = Lumivex.imread(str(path))
    assert same(stored, as_stored(path))
    assert stored.flags.writeable and stored.flags.c_contiguous
    for mode in ("L", "LA", "RGB", "RGBA"):
        for depth in (None, 8, 16):
            assert same(Lumivex.imread(path.read_bytes(), mode, depth=depth), converted(stored, mode, depth)), \
                (mode, depth)


@pytest.mark.skipif(bool(os.environ.get("LUMIVEX_SANITIZED")), reason="OpenCV's own code under the sanitizer runtime")
@pytest.mark.parametrize("path", GOOD, ids=[path.stem for path in GOOD])
def test_opencvs_unchanged_read(path):
    cv2 = pytest.importorskip("cv2")
    data = path.read_bytes()
    expected = cv2.imdecode(numpy.frombuffer(data, numpy.uint8), cv2.IMREAD_UNCHANGED)
    channels = expected.shape[2] if expected.ndim == 3 else 1
    expected = expected[..., [2, 1, 0, 3][:channels]] if channels >= 3 else expected  # BGR(A) to RGB(A)
    mode, depth = (None, "L", "LA", "RGB", "RGBA")[channels], 16 if expected.dtype == numpy.uint16 else 8
    assert same(Lumivex.imread(data, mode, depth=depth), expected)
    stored = Lumivex.imread(data)
    # OpenCV widens grey and alpha to four channels and leaves a grey image's tRNS out.
    if stored.ndim == 2 or stored.shape[2] != 2:
        assert stored.shape == expected.shape or path.name in ("tbbn0g04.png", "tbwn0g16.png")


@pytest.mark.parametrize("name", ["basn2c08", "basn6a08", "basn3p08", "tbrn2c08"])
def test_grey_from_colour_is_pillows(name):
    with Image.open(SUITE / f"{name}.png") as picture:
        expected = numpy.asarray(picture.convert("RGB").convert("L"))
    assert same(Lumivex.imread(str(SUITE / f"{name}.png"), "L"), expected)


PIXELS = [(10, 20, 30, 40), (50, 60, 70, 255), (1, 2, 3, 0)]
MASKS = (0xFF0000, 0xFF00, 0xFF, 0xFF000000)


def bgra(pixels):
    return b"".join(bytes((b, g, r, a)) for r, g, b, a in pixels)


# (information header and what follows it, pixels, expected as stored, whether Pillow reads it the same)
@pytest.mark.parametrize("info, extra, pixels, expected, pillow", [
    (header(124, 3, 1, 32, compression=3, masks=MASKS), b"", PIXELS, PIXELS, True),
    (header(108, 3, 1, 32, compression=3, masks=MASKS), b"", PIXELS, PIXELS, True),
    (header(56, 3, 1, 32, compression=3, masks=MASKS), b"", PIXELS, PIXELS, True),
    (header(40, 3, 1, 32, compression=6), struct.pack("<4I", *MASKS), PIXELS, PIXELS, False),
    (header(40, 3, 1, 32), b"", PIXELS, [p[:3] for p in PIXELS], True),  # no mask: the fourth byte is padding
    (header(108, 3, 1, 32, compression=3, masks=MASKS), b"", [p[:3] + (0,) for p in PIXELS],
     [p[:3] + (255,) for p in PIXELS], False),  # an alpha plane of zeros is opaque
], ids=["V5", "V4", "56-byte", "40-byte with alpha bit fields", "no alpha mask", "alpha all zero"])
def test_bmp_alpha_masks(info, extra, pixels, expected, pillow):
    data = bmp_file(info, [bgra(pixels)], extra)
    assert Lumivex.imread(data).tolist() == [[list(p) for p in expected]]
    assert bytes(Lumivex.open(data)._pixels) == bytes(v for p in pixels for v in p[:3])  # open keeps RGB
    if pillow:
        with Image.open(io.BytesIO(data)) as picture:
            assert Lumivex.imread(data, "RGBA").tolist() == numpy.asarray(picture.convert("RGBA")).tolist()


def test_errors_name_the_path_and_say_what_a_file_looks_like(tmp_path):
    (tmp_path / "photo.png").write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF")  # a JPEG by another name
    with pytest.raises(Lumivex.UnsupportedFormatError, match=r"photo\.png: Unsupported image format: it looks "
                       r"like a JPEG file; .*Lumivex\.from_pillow") as caught:
        Lumivex.imread(tmp_path / "photo.png")
    assert caught.value.filename == str(tmp_path / "photo.png")
    with pytest.raises(Lumivex.PixelLimitError, match=r"^.*basn0g01\.png: image of 32 x 32 pixels exceeds"):
        Lumivex.imread(str(SUITE / "basn0g01.png"), max_pixels=1000)
    with pytest.raises(Lumivex.UnsupportedFormatError, match="^Unsupported image format: it looks like a GIF"):
        Lumivex.imread(b"GIF89a" + bytes(20))
    for bad in ({"mode": "P"}, {"depth": 12}):
        with pytest.raises(ValueError, match="must be one of"):
            Lumivex.imread(str(SUITE / "basn0g01.png"), **bad)
    with pytest.raises(ValueError, match="^Unsupported image format$"):
        Lumivex.open(b"GIF89a" + bytes(20))  # open's message is as it was


def test_without_numpy_the_error_says_to_install_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError, match="install numpy"):
        Lumivex.imread(str(SUITE / "basn0g01.png"))
