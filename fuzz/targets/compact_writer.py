"""The compact PNG writer (Lumivex.encode_png) on images of any shape and content.

The input picks a width and height (now and then over a megabyte of scanlines,
with an odd or even row count, so that the stream is deflated in two pieces on
two threads), the content (the input's own bytes tiled, noise, flat runs,
ramps), a level, a filter and a colour choice. Every encode must give a PNG
that the package's reader opens as exactly the image (and, in 8-bit RGB,
SimpleImage.open too), whose IDAT stream inflates through zlib to one filter
byte and the row of its layout for every row; an image the writer refuses
must be refused with ValueError before anything is written.
"""
import random
import struct
import zlib

import atheris

from common import run

with atheris.instrument_imports():
    import Lumivex
    from Lumivex.rasterCore_ext import SimpleImage

LEVELS = [1, 2, 3, 4, 5, 6, 7, 8, 9, "strongest"]
FILTERS = ["adaptive", "none", "sub", "up", "average", "paeth"]
COLOURS = ["auto", "rgb"]
TWO_PIECES = 1 << 20  # scanline bytes above which a second thread takes half the stream
SHIFTED = [bytes((b + shift) & 255 for b in range(256)) for shift in range(256)]  # ramps, row by row


def tiled(pattern, length):
    pattern = pattern or b"\0"
    return (pattern * (length // len(pattern) + 1))[:length]


def content(provider, kind, width, height):
    length = width * height * 3
    if kind == 0:
        return bytearray(tiled(provider.ConsumeBytes(provider.ConsumeIntInRange(1, 4096)), length))
    if kind == 1:
        rng = random.Random(provider.ConsumeInt(4))
        return bytearray(rng.getrandbits(8 * length).to_bytes(length, "little"))
    if kind == 2:
        colours = provider.ConsumeBytes(12) or b"\x10\x20\x30"
        run_length = provider.ConsumeIntInRange(1, 5000)
        runs = [tiled(colours[i % len(colours):][:3], 3) * run_length for i in range(0, len(colours), 3)]
        return bytearray(tiled(b"".join(runs), length))
    step = provider.ConsumeIntInRange(0, 7)
    row = bytes((x * step) & 255 for x in range(width * 3))
    return bytearray(b"".join(row.translate(SHIFTED[y & 255]) for y in range(height)))


def shape(provider):
    # An exhausted provider gives the range's low end: short inputs make small images.
    if provider.ConsumeIntInRange(0, 31) == 31:
        # Past the two-piece threshold, rows odd or even, wide strips and tall ones.
        width = provider.PickValueInList([1, 3, 255, 700, 1000, 1920, 100000, 349525])
        rows = TWO_PIECES // (width * 3 + 1) + 1 + provider.ConsumeIntInRange(0, 3)
        return width, rows
    # Mostly small: the writer's branches are all reached by a few rows, and a run covers more inputs.
    most = 300 if provider.ConsumeIntInRange(0, 7) == 7 else 48
    return provider.ConsumeIntInRange(1, most), provider.ConsumeIntInRange(1, most)


def inflated_scanlines(data):
    position, idat = 8, []
    while position < len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        if kind == b"IDAT":
            idat.append(data[position + 8:position + 8 + length])
        position += 12 + length
    return zlib.decompress(b"".join(idat))


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    width, height = shape(provider)
    level, filter_name = provider.PickValueInList(LEVELS), provider.PickValueInList(FILTERS)
    colour = provider.PickValueInList(COLOURS)
    image = SimpleImage(width, height, content(provider, provider.ConsumeIntInRange(0, 3), width, height))
    encoded = Lumivex.encode_png(image, level=level, filter=filter_name, colour=colour)
    assert encoded[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    depth, colour_type = struct.unpack_from(">BB", encoded, 24)
    assert colour_type == 2 or (colour == "auto" and colour_type in (0, 3)), "colour type %d" % colour_type
    row_bytes = (width * (3 if colour_type == 2 else 1) * depth + 7) // 8
    scanlines = inflated_scanlines(encoded)
    assert len(scanlines) == height * (row_bytes + 1), "IDAT inflates to %d bytes" % len(scanlines)
    assert max(scanlines[::row_bytes + 1]) <= 4, "a filter type above 4"
    opener = SimpleImage.open if colour_type == 2 else Lumivex.open
    reopened = opener(encoded)
    assert reopened.size == (width, height) and reopened._pixels == image._pixels, (
        "%d x %d at level %r, filter %r, colour %r does not open as itself" % (width, height, level, filter_name,
                                                                              colour))


if __name__ == "__main__":
    run(test_one_input)
