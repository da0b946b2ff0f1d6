"""Writes the small BMP seeds in fuzz/seeds/bmp with Pillow (run with the fuzzing venv).

Every row padding (widths 1 to 4), a single row and column, and top-down
copies (negative height, rows reversed) of each; then the other layouts:
Pillow's 1-bit, 8-bit palette and 32-bit files, and hand-built 16-bit
(5-5-5 and 5-6-5 masks), 32-bit masks in a V5 header, an OS/2 core header,
and RLE8 and RLE4 data with every kind of item (runs, literals, ends of rows,
moves, the end of the bitmap).
"""
import io
import pathlib
import struct

from PIL import Image

OUT = pathlib.Path(__file__).resolve().parent / "seeds" / "bmp"
SHAPES = [(1, 1), (2, 1), (3, 2), (4, 3), (1, 5), (7, 2)]


def bottom_up(width, height):
    image = Image.new("RGB", (width, height))
    image.putdata([((x * 53) % 256, (y * 97) % 256, (x * y * 31) % 256) for y in range(height) for x in range(width)])
    stream = io.BytesIO()
    image.save(stream, "BMP")
    return stream.getvalue()


def top_down(data):
    """The same image stored top-down: height negated, rows in the opposite order."""
    width, height = struct.unpack_from("<ii", data, 18)
    offset = struct.unpack_from("<I", data, 10)[0]
    stride = (width * 3 + 3) // 4 * 4
    rows = [data[offset + i * stride:offset + (i + 1) * stride] for i in range(height)]
    header = bytearray(data[:offset])
    struct.pack_into("<i", header, 22, -height)
    return bytes(header) + b"".join(reversed(rows))


def other_layouts():
    picture = Image.radial_gradient("L").resize((7, 5)).convert("RGB").quantize(5)
    for mode in ("1", "P", "RGBA"):
        stream = io.BytesIO()
        picture.convert(mode).save(stream, "BMP")
        yield "mode-%s.bmp" % mode, stream.getvalue()

    def file(info, rows, extra=b""):
        data = b"".join(row + bytes(-len(row) % 4) for row in rows)
        offset = 14 + len(info) + len(extra)
        return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + extra + data

    def info(size, width, height, bits, compression=0, masks=()):
        full = struct.pack("<IiiHHIIiiII", size, width, height, 1, bits, compression, 0, 0, 0, 0, 0)
        full += b"".join(struct.pack("<I", m) for m in masks)
        return (full + bytes(size))[:size]

    yield "555.bmp", file(info(40, 3, 2, 16), [struct.pack("<HHH", 0x7C00, 0x03E0, 0x001F)] * 2)
    yield "565.bmp", file(info(40, 3, 2, 16, 3), [struct.pack("<HHH", 0xF800, 0x07E0, 0x001F)] * 2,
                          struct.pack("<III", 0xF800, 0x07E0, 0x001F))
    yield "v5-masks.bmp", file(info(124, 2, 2, 32, 3, (0x3FF00000, 0xFFC00, 0x3FF)), [bytes(range(8))] * 2)
    yield "core.bmp", file(struct.pack("<IHHHH", 12, 2, 2, 1, 8), [bytes((1, 0))] * 2, bytes(range(256)) * 3)
    items = bytes([3, 1, 0, 3, 2, 5, 7, 0, 0, 0, 0, 2, 1, 1, 2, 9, 0, 0, 4, 3, 0, 1])
    yield "rle8.bmp", file(info(40, 5, 4, 8, 1), [items], bytes(range(256)) * 4)
    items4 = bytes([3, 0x12, 0, 3, 0x25, 0x70, 0, 0, 0, 2, 1, 1, 2, 0x9A, 0, 0, 4, 0x34, 0, 1])
    yield "rle4.bmp", file(info(40, 5, 4, 4, 2), [items4], bytes(range(64)))


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for width, height in SHAPES:
        data = bottom_up(width, height)
        (OUT / ("%dx%d.bmp" % (width, height))).write_bytes(data)
        (OUT / ("%dx%d-topdown.bmp" % (width, height))).write_bytes(top_down(data))
    for name, data in other_layouts():
        (OUT / name).write_bytes(data)


if __name__ == "__main__":
    main()
