"""Hand-built BMP bytes for tests, using only struct.

Little-endian throughout: a 14-byte file header, a 40-byte information
header, then rows of blue-green-red pixels padded to a multiple of 4 bytes.
"""
import struct


def row_stride(width):
    return (3 * width + 3) // 4 * 4


def file_header(pixel_offset=54, file_size=0):
    return b"BM" + struct.pack("<IHHI", file_size, 0, 0, pixel_offset)


def info_header(width, height, planes=1, bit_count=24, compression=0,
                image_size=0, x_ppm=2835, y_ppm=2835, colors_used=0,
                colors_important=0, header_size=40):
    return struct.pack("<I", header_size) + struct.pack(
        "<iiHHIIiiII", width, height, planes, bit_count, compression,
        image_size, x_ppm, y_ppm, colors_used, colors_important)


def stored_rows(width, height, rgb, top_down=False, pad=0):
    """Rows of `rgb` (RGB, top row first) as a BMP stores them, in file order."""
    stride = row_stride(width)
    rows = []
    for y in range(height):
        src = rgb[y * width * 3:(y + 1) * width * 3]
        row = bytearray()
        for x in range(width):
            r, g, b = src[3 * x:3 * x + 3]
            row += bytes((b, g, r))
        row += bytes([pad]) * (stride - len(row))
        rows.append(bytes(row))
    return rows if top_down else rows[::-1]


def bmp(width, height, rgb, top_down=False, pad=0, gap=b"", trailer=b"",
        pixel_offset=None, **info):
    """A complete 24-bit BMP of `rgb` (RGB bytes, top row first).

    `gap` goes between the headers and the pixel data (the offset accounts for
    it unless `pixel_offset` is given); `trailer` follows the last row; `info`
    overrides information header fields.
    """
    offset = 54 + len(gap) if pixel_offset is None else pixel_offset
    pixel_data = b"".join(stored_rows(width, height, rgb, top_down, pad))
    body = info_header(width, -height if top_down else height, **info)
    total = 54 + len(gap) + len(pixel_data)
    return (file_header(offset, file_size=total) + body + gap + pixel_data
            + trailer)


def header(size, width, height, bits, compression=0, colours=0, masks=()):
    """An information header of `size` bytes (12: the OS/2 core header), fields past the size dropped."""
    if size == 12:
        return struct.pack("<IHHHH", 12, width, height, 1, bits)
    full = struct.pack("<IiiHHIIiiII", size, width, height, 1, bits, compression, 0, 2835, 2835, colours, 0)
    full += b"".join(struct.pack("<I", m) for m in masks) if size >= 52 else b""
    return (full + bytes(max(0, size - len(full))))[:size]


def bmp_file(info, rows, extra=b""):
    """File header, `info`, `extra` (masks, palette), then the stored rows, each padded to 4 bytes."""
    data = b"".join(row + bytes(-len(row) % 4) for row in rows)
    offset = 14 + len(info) + len(extra)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + extra + data


def rle_file(bits, width, height, data, palette):
    """A bitmap of run-length `data` (RLE8 for 8 bits, RLE4 for 4), `palette` of BGRX entries, data unpadded."""
    info = header(40, width, height, bits, compression=1 if bits == 8 else 2, colours=len(palette) // 4)
    offset = 14 + len(info) + len(palette)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + palette + data
