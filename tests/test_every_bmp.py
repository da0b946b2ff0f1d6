"""Lumivex.open reads the BMP layouts beyond 24 bits: palettes of 1 to 8 bits,
16- and 32-bit pixels with masks, and every information header version; what
it does not take is refused saying why."""
import io
import shutil
import struct
import subprocess

import pytest
from PIL import Image

import Lumivex
from bmpbytes import bmp_file, header, rle_file


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
    "OS/2 core header, a palette cut short by the pixel data": (
        bmp_file(header(12, 3, 1, 8), [bytes([1, 0, 2])], bytes((0, 0, 255)) + bytes((255, 0, 0))),
        pixels([BLUE, RED, BLACK])),
    "16-bit 5-5-5": (bmp_file(header(40, 2, 1, 16), [struct.pack("<HH", 0x7C00, 0x001F)]), pixels([RED, BLUE])),
    "16-bit 5-6-5 masks after a 40-byte header": (
        bmp_file(header(40, 2, 1, 16, compression=3), [struct.pack("<HH", 0x07E0, 0x0400)],
                 struct.pack("<III", 0xF800, 0x07E0, 0x001F)), pixels([GREEN, (0, 32 * 255 // 63, 0)])),
    "32-bit BGRX": (bmp_file(header(40, 1, 1, 32), [bytes((3, 2, 1, 9))]), pixels([(1, 2, 3)])),
    "32-bit masks in a V5 header, 10 bits a channel": (
        bmp_file(header(124, 1, 1, 32, compression=3, masks=(0x3FF00000, 0x000FFC00, 0x000003FF)),
                 [struct.pack("<I", 0x3FF << 20 | 0x200)]), pixels([(255, 0, 0x200 * 255 // 1023)])),
    "32-bit masks, whole bytes in another order, 17 pixels": (
        bmp_file(header(56, 17, 1, 32, compression=3, masks=(0xFF, 0xFF00, 0xFF000000)),
                 [b"".join(bytes((i, i + 1, 9, i + 2)) for i in range(17))]),
        pixels([(i, i + 1, i + 2) for i in range(17)])),
    "32-bit masks, a 16-bit field scaled one by one": (
        bmp_file(header(52, 1, 1, 32, compression=3, masks=(0xFFFF0000, 0xFF00, 0)), [struct.pack("<I", 0x80007F00)]),
        pixels([(0x8000 * 255 // 0xFFFF, 0x7F, 0)])),
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


# Palette entry 0 is blue, so the pixels run-length data never sets stand out.
RLE_PALETTE, RLE_COLOURS = BGRX_BLUE + BGRX_RED + BGRX_GREEN, (BLUE, RED, GREEN)
RUN_LENGTH = {
    # name: (bits, width, height, data, palette indices of the rows, top row first)
    "runs and ends of rows": (8, 3, 2, [2, 1, 1, 2, 0, 0, 3, 2, 0, 1], [[2, 2, 2], [1, 1, 2]]),
    "literals padded to a whole word": (8, 3, 1, [0, 3, 1, 2, 1, 0, 0, 1], [[1, 2, 1]]),
    "early end of row and of bitmap": (8, 3, 3, [1, 1, 0, 0, 0, 1], [[0, 0, 0], [0, 0, 0], [1, 0, 0]]),
    "a move right and down": (8, 4, 3, [1, 1, 0, 2, 2, 1, 1, 2, 0, 1], [[0, 0, 0, 0], [0, 0, 0, 2], [1, 0, 0, 0]]),
    "a run past the row is clipped": (8, 2, 2, [5, 1, 0, 0, 1, 2, 0, 1], [[2, 0], [1, 1]]),
    "literals past the bitmap are dropped": (8, 2, 1, [0, 3, 1, 2, 1, 0, 0, 0, 4, 2, 0, 1], [[1, 2]]),
    "4-bit runs alternate their nibbles": (4, 6, 1, [3, 0x12, 0, 3, 0x21, 0x20, 0, 1], [[1, 2, 1, 2, 1, 2]]),
    "4-bit literals padded to a whole word": (4, 5, 1, [0, 5, 0x12, 0x12, 0x10, 0, 0, 1], [[1, 2, 1, 2, 1]]),
    "every pixel set, no end of bitmap": (8, 2, 1, [2, 1], [[1, 1]]),
}
MAGICK = "/usr/bin/convert" if shutil.which("/usr/bin/convert") else None


def magick_pixels(data):
    """ImageMagick's reading of a BMP, as RGB bytes."""
    ppm = subprocess.run([MAGICK, "bmp:-", "-depth", "8", "ppm:-"], input=data, capture_output=True, check=True)
    with Image.open(io.BytesIO(ppm.stdout)) as picture:
        return picture.convert("RGB").tobytes()


@pytest.mark.parametrize("name", sorted(RUN_LENGTH))
def test_run_length_data_decodes_to_its_pixels(name):
    bits, width, height, data, rows = RUN_LENGTH[name]
    expected = pixels(*([RLE_COLOURS[i] for i in row] for row in rows))
    assert bytes(Lumivex.open(rle_file(bits, width, height, bytes(data), RLE_PALETTE))._pixels) == expected
    # ImageMagick wraps a run past the row instead, and wants the file as long as the pixels uncompressed.
    if MAGICK and "clipped" not in name:
        assert magick_pixels(rle_file(bits, width, height, bytes(data) + bytes(width * height), RLE_PALETTE)) == expected


@pytest.mark.skipif(MAGICK is None, reason="ImageMagick is not installed")
@pytest.mark.parametrize("form", ["BMP3", "BMP"])
def test_run_length_files_imagemagick_writes_decode_as_it_reads_them(form, tmp_path):
    picture = Image.radial_gradient("L").resize((61, 29)).quantize(13).convert("RGB")
    picture.save(tmp_path / "source.png")
    data = subprocess.run([MAGICK, tmp_path / "source.png", "-type", "Palette", "-compress", "RLE", f"{form}:-"],
                          capture_output=True, check=True).stdout
    assert struct.unpack_from("<I", data, 30) == (1,)  # RLE8
    assert bytes(Lumivex.open(data)._pixels) == picture.tobytes() == magick_pixels(data)


@pytest.mark.parametrize("data, error", [
    (bmp_file(header(100, 1, 1, 24), [b"abc"]), "Unsupported BMP information header of 100 bytes"),
    (bmp_file(header(40, 1, 1, 64), [bytes(8)]), "Unsupported BMP bit count 64"),
    (bmp_file(header(40, 1, 1, 24, compression=4), [b"abc"]), "BMP files with embedded JPEG or PNG data are not supported"),
    (bmp_file(header(40, 1, 1, 24, compression=3), [b"abc"]), "Unsupported BMP compression 3 for this bit count"),
    (bmp_file(header(40, 1, 1, 16, compression=3), [bytes(2)], struct.pack("<III", 0xF0, 0x1F, 0x0F)),
     "Invalid BMP colour masks: they overlap or are not contiguous"),
    (bmp_file(header(40, 1, 1, 16, compression=3), [bytes(2)], struct.pack("<III", 0x505, 0, 0)),
     "Invalid BMP colour masks: they overlap or are not contiguous"),
    (bmp_file(header(40, 1, 1, 8, colours=2), [b"\0"], BGRX_RED), "Invalid BMP: the palette runs past the pixel data"),
    (bmp_file(header(40, 1, 1, 8), [b"\0"]), "Invalid BMP: the palette runs past the pixel data"),
    (bmp_file(header(40, 1, 1, 24, compression=5)[:14] + b"\0\0" + header(40, 1, 1, 24, compression=5)[16:], [b"abc"]),
     "BMP files with embedded JPEG or PNG data are not supported"),
    (bmp_file(header(40, 1, 1, 24)[:12] + b"\0\0" + header(40, 1, 1, 24)[14:], [b"abc"]), "Invalid BMP: zero planes"),
    (rle_file(8, 2, 2, bytes([2, 1, 0, 0]), RLE_PALETTE), "Incomplete BMP pixel data"),
    (rle_file(8, 2, -2, bytes([0, 1]), RLE_PALETTE), "Invalid BMP: run-length data in a top-down bitmap"),
    (rle_file(4, 2, 1, bytes([0, 1]), RLE_PALETTE)[:30] + b"\1" + rle_file(4, 2, 1, b"", RLE_PALETTE)[31:],
     "Unsupported BMP compression 1 for this bit count"),
    (bmp_file(header(108, 2**31 - 1, 2**31 - 1, 24), []),  # too large to allocate: above the cap first
     "image of 2147483647 x 2147483647 pixels exceeds the limit of 178,956,970 pixels (max_pixels)"),
    (bmp_file(header(108, 1, 1, 24), [])[:10] + struct.pack("<I", 999) + bmp_file(header(108, 1, 1, 24), [])[14:],
     "Invalid BMP: the pixel data offset 999 is past the end of the file"),
])
def test_what_is_not_taken_is_refused_saying_why(data, error):
    with pytest.raises(ValueError) as raised:
        Lumivex.open(data)
    assert str(raised.value) == error


def test_run_length_data_longer_than_a_read_block_decodes_from_a_file(tmp_path):
    # 300 rows of literals, about 300 KB: items fall across the blocks a file is read in.
    width, height = 997, 300
    indices = bytes((x * 7 + y * 13) % 251 for y in range(height) for x in range(width))
    data = bytearray()
    for y in range(height):
        row = indices[y * width:(y + 1) * width]
        for start in range(0, width, 255):
            piece = row[start:start + 255]
            data += bytes([0, len(piece)]) + piece + bytes(len(piece) % 2)
        data += bytes([0, 0])
    palette = b"".join(bytes((i, 255 - i, i // 2, 0)) for i in range(256))
    path = tmp_path / "long.bmp"
    path.write_bytes(rle_file(8, width, height, bytes(data) + bytes([0, 1]), palette))
    top_first = b"".join(indices[y * width:(y + 1) * width] for y in reversed(range(height)))
    expected = b"".join(bytes((i // 2, 255 - i, i)) for i in top_first)
    assert bytes(Lumivex.open(path)._pixels) == expected
