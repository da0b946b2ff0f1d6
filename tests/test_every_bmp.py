"""Lumivex.open reads the BMP layouts beyond 24 bits: palettes of 1 to 8 bits,
16- and 32-bit pixels with masks, and every information header version; what
it does not take is refused saying why."""
import io
import struct

import pytest
from PIL import Image

import Lumivex
from bmpbytes import bmp_file, header


BGRX_RED, BGRX_GREEN, BGRX_BLUE = bytes((0, 0, 255, 0)), bytes((0, 255, 0, 0)), bytes((255, 0, 0, 0))
RED, GREEN, BLUE, BLACK = (255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 0, 0)


def pixels(*rows):
    return bytes(v for row in rows for pixel in row for v in pixel)


LAYOUTS = {
    # rows are stored bottom-up: the last row given is the top of the image
    "1-bit palette": (bmp_file(header(40, 3, 1, 1), [bytes([0b10100000])], BGRX_RED + BGRX_GREEN),
                      pixels([GREEN, RED, GREEN])),
    "2-bit palette, two entries of four": (
        bmp_file(header(40, 4, 1, 2, colours=2), [bytes([0b00011011])], BGRX_RED + BGRX_GREEN),
        pixels([RED, GREEN, BLACK, BLACK])),
    "4-bit palette, two rows bottom-up": (
        bmp_file(header(40, 2, 2, 4, colours=3), [bytes([0x01]), bytes([0x20])], BGRX_RED + BGRX_GREEN + BGRX_BLUE),
        pixels([BLUE, RED], [RED, GREEN])),
    "8-bit palette, top-down": (bmp_file(header(40, 2, -2, 8, colours=2), [bytes([1, 0]), bytes([0, 1])],
                                         BGRX_RED + BGRX_GREEN), pixels([GREEN, RED], [RED, GREEN])),
    "OS/2 core header, 3-byte entries": (bmp_file(header(12, 2, 1, 8), [bytes([1, 0])],
                                                  bytes((0, 0, 255)) + bytes((255, 0, 0)) + bytes(3 * 254)),
                                         pixels([BLUE, RED])),
    "16-bit 5-5-5": (bmp_file(header(40, 2, 1, 16), [struct.pack("<HH", 0x7C00, 0x001F)]), pixels([RED, BLUE])),
    "16-bit 5-6-5 masks after a 40-byte header": (
        bmp_file(header(40, 2, 1, 16, compression=3), [struct.pack("<HH", 0x07E0, 0x0400)],
                 struct.pack("<III", 0xF800, 0x07E0, 0x001F)), pixels([GREEN, (0, 32 * 255 // 63, 0)])),
    "32-bit BGRX": (bmp_file(header(40, 1, 1, 32), [bytes((3, 2, 1, 9))]), pixels([(1, 2, 3)])),
    "32-bit masks in a V5 header, 10 bits a channel": (
        bmp_file(header(124, 1, 1, 32, compression=3, masks=(0x3FF00000, 0x000FFC00, 0x000003FF)),
                 [struct.pack("<I", 0x3FF << 20 | 0x200)]), pixels([(255, 0, 0x200 * 255 // 1023)])),
    "V4 header, 24 bits": (bmp_file(header(108, 1, 1, 24), [bytes((3, 2, 1))]), pixels([(1, 2, 3)])),
    "OS/2 2.x header of 16 bytes": (bmp_file(header(16, 1, 1, 24), [bytes((3, 2, 1))]), pixels([(1, 2, 3)])),
}


@pytest.mark.parametrize("name", sorted(LAYOUTS))
def test_every_layout_decodes_to_its_pixels(name):
    data, expected = LAYOUTS[name]
    assert bytes(Lumivex.open(data)._pixels) == expected


@pytest.mark.parametrize("mode", ["1", "L", "P", "RGBA"])
def test_files_pillow_writes_decode_as_pillow_reads_them(mode):
    picture = Image.radial_gradient("L").resize((37, 23)).convert("RGB").quantize(7).convert(mode)
    buffer = io.BytesIO()
    picture.save(buffer, "BMP")
    with Image.open(io.BytesIO(buffer.getvalue())) as back:
        expected = back.convert("RGB").tobytes()
    assert bytes(Lumivex.open(buffer.getvalue())._pixels) == expected


@pytest.mark.parametrize("data, error", [
    (bmp_file(header(100, 1, 1, 24), [b"abc"]), "Unsupported BMP information header of 100 bytes"),
    (bmp_file(header(40, 1, 1, 64), [bytes(8)]), "Unsupported BMP bit count 64"),
    (bmp_file(header(40, 1, 1, 24, compression=4), [b"abc"]), "BMP files with embedded JPEG or PNG data are not supported"),
    (bmp_file(header(40, 1, 1, 24, compression=3), [b"abc"]), "Unsupported BMP compression 3 for this bit count"),
    (bmp_file(header(40, 1, 1, 16, compression=3), [bytes(2)], struct.pack("<III", 0xF0, 0x1F, 0x0F)),
     "Invalid BMP colour masks: they overlap or are not contiguous"),
    (bmp_file(header(40, 1, 1, 16, compression=3), [bytes(2)], struct.pack("<III", 0x505, 0, 0)),
     "Invalid BMP colour masks: they overlap or are not contiguous"),
    (bmp_file(header(40, 1, 1, 8), [b"\0"], BGRX_RED), "Invalid BMP: the palette runs past the pixel data"),
    (bmp_file(header(40, 1, 1, 24)[:12] + b"\0\0" + header(40, 1, 1, 24)[14:], [b"abc"]), "Invalid BMP: zero planes"),
])
def test_what_is_not_taken_is_refused_saying_why(data, error):
    with pytest.raises(ValueError) as raised:
        Lumivex.open(data)
    assert str(raised.value) == error
