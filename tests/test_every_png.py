"""Lumivex.open reads every valid PNG: each PngSuite layout against independent
decoders, the format's rules for palettes and sub-byte rows on hand-built
files, and what it says of files the format does not allow."""
import pathlib
import warnings
import zlib

import png as pypng
import pytest
from PIL import Image

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage
from pngbytes import chunk, iend, ihdr, png

SUITE = pathlib.Path(__file__).parent / "data" / "pngsuite"
VALID = sorted(p.name for p in SUITE.glob("*.png") if not p.name.startswith("x"))


def reference_rgb(path):
    """8-bit RGB by the rules the package follows: Pillow's convert("RGB") up to
    8 bits; the high byte of each of pypng's samples at 16 bits (Pillow narrows
    16-bit files its own way)."""
    width, height, rows, info = pypng.Reader(filename=str(path)).read()
    if info["bitdepth"] != 16:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Pillow's note on palettes with transparency
            return Image.open(path).convert("RGB").tobytes()
    planes, out = info["planes"], bytearray()
    for row in rows:
        for x in range(width):
            pixel = row[x * planes:(x + 1) * planes]
            out += bytes([pixel[0] >> 8] * 3) if planes <= 2 else bytes(v >> 8 for v in pixel[:3])
    return bytes(out)


@pytest.mark.parametrize("name", VALID)
def test_every_valid_suite_file_decodes_as_other_decoders_show_it(name):
    path = SUITE / name
    expected = reference_rgb(path)
    for source in (path, path.read_bytes()):
        image = Lumivex.open(source)
        assert bytes(image._pixels) == expected, name


@pytest.mark.parametrize("name, error", [
    ("xc1n0g08.png", "Invalid PNG colour type 1"),
    ("xc9n2c08.png", "Invalid PNG colour type 9"),
    ("xd0n2c08.png", "Invalid PNG bit depth 0 for colour type 2"),
    ("xd3n2c08.png", "Invalid PNG bit depth 3 for colour type 2"),
    ("xd9n2c08.png", "Invalid PNG bit depth 99 for colour type 2"),
    ("xcsn0g01.png", "Corrupted PNG chunk detected"),
    ("xhdn0g08.png", "Corrupted PNG chunk detected"),
    ("xdtn0g01.png", "Error -5 while decompressing data: incomplete or truncated stream"),
    ("xcrn0g04.png", "Unsupported image format"),  # line endings mangled: no signature
    ("xlfn0g04.png", "Unsupported image format"),
    ("xs1n0g01.png", "Unsupported image format"),
])
def test_every_broken_suite_file_is_refused_saying_why(name, error):
    with pytest.raises(ValueError) as raised:
        Lumivex.open(SUITE / name)
    assert str(raised.value) == error


def packed_rows(bits, rows):
    """Sample rows packed from the most significant bit, each led by filter type 0."""
    out = bytearray()
    for row in rows:
        value, count = 0, 0
        packed = bytearray()
        for sample in row:
            value, count = value << bits | sample, count + bits
            if count == 8:
                packed.append(value)
                value, count = 0, 0
        if count:
            packed.append(value << (8 - count))
        out += b"\0" + packed
    return bytes(out)


def indexed(rows, bits, *palettes, width=None):
    """A palette image of `rows` of indices, with each palette given as a PLTE chunk."""
    width = len(rows[0]) if width is None else width
    plte = [chunk(b"PLTE", bytes(p)) for p in palettes]
    data = zlib.compress(packed_rows(bits, rows))
    return png([ihdr(width, len(rows), bits, 3)] + plte + [chunk(b"IDAT", data), iend()])


def grey(rows, bits, raw=None):
    data = zlib.compress(raw if raw is not None else packed_rows(bits, rows))
    return png([ihdr(len(rows[0]), len(rows), bits, 0), chunk(b"IDAT", data), iend()])


RED, GREEN = [255, 0, 0], [0, 255, 0]


@pytest.mark.parametrize("data, pixels", [
    pytest.param(indexed([[1, 0, 1]], 1, RED + GREEN), GREEN + RED + GREEN, id="1-bit palette"),
    pytest.param(indexed([[0, 5]], 8, RED), RED + [0, 0, 0], id="index past the palette is black"),
    pytest.param(indexed([[1]], 1, RED + GREEN + [9, 9, 9] * 254), GREEN, id="more entries than the depth addresses"),
    pytest.param(indexed([[0]], 2, RED, GREEN), GREEN, id="the last PLTE wins"),
    pytest.param(grey([[1, 0, 1]], 1, raw=b"\0" + bytes([0b10111111])), [255] * 3 + [0] * 3 + [255] * 3,
                 id="padding bits are not read"),
    pytest.param(grey([[1, 2, 3]], 2), [85] * 3 + [170] * 3 + [255] * 3, id="2-bit grey scaled"),
    pytest.param(grey([[1, 15]], 4), [17] * 3 + [255] * 3, id="4-bit grey scaled"),
])
def test_the_formats_rules_for_palettes_and_sub_byte_rows(data, pixels):
    assert bytes(Lumivex.open(data)._pixels) == bytes(pixels)


@pytest.mark.parametrize("data, error", [
    (png([ihdr(1, 1, 8, 5), iend()]), "Invalid PNG colour type 5"),
    (png([ihdr(1, 1, 16, 3), iend()]), "Invalid PNG bit depth 16 for colour type 3"),
    (png([ihdr(1, 1, 8, 2, interlace=2), iend()]),
     "Unsupported PNG configuration (compression/filter/interlace)"),
    (indexed([[0]], 8), "PNG palette image without a PLTE chunk"),
    (indexed([[0]], 8, [1] * 7), "Invalid PNG palette: a PLTE chunk of 7 bytes"),
    (indexed([[0]], 8, [1] * 771), "Invalid PNG palette: a PLTE chunk of 771 bytes"),
])
def test_what_the_format_does_not_allow_is_refused_saying_why(data, error):
    with pytest.raises(ValueError) as raised:
        Lumivex.open(data)
    assert str(raised.value) == error


def test_simpleimage_open_keeps_its_subset():
    with pytest.raises(ValueError, match="^Only RGB/RGBA PNG images are supported$"):
        SimpleImage.open(indexed([[0]], 8, RED))
