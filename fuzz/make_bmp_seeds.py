"""Writes the small BMP seeds in fuzz/seeds/bmp with Pillow (run with the fuzzing venv).

Every row padding (widths 1 to 4), a single row and column, and top-down
copies (negative height, rows reversed) of each.
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


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for width, height in SHAPES:
        data = bottom_up(width, height)
        (OUT / ("%dx%d.bmp" % (width, height))).write_bytes(data)
        (OUT / ("%dx%d-topdown.bmp" % (width, height))).write_bytes(top_down(data))


if __name__ == "__main__":
    main()
