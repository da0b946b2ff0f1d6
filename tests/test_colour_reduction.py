"""The compact writer's colour reduction: every layout it may choose holds
the image exactly, as independent decoders and pngcheck see it."""
import io
import random
import shutil
import struct
import subprocess
import zlib

import pytest
from PIL import Image

import Lumivex

LEVELS = list(range(1, 10)) + ["strongest"]
PNGCHECK = shutil.which("pngcheck")


def image_of(colours, width=37, height=23, seed=0, runs=(1, 6)):
    """Random pixels drawn from `colours` (RGB triples), in runs as graphics have them."""
    rng = random.Random(seed)
    pixels = bytearray()
    while len(pixels) < width * height * 3:
        pixels += bytes(rng.choice(colours)) * rng.randrange(*runs)
    return Lumivex.SimpleImage(width, height, pixels[:width * height * 3])


def random_colours(count, seed=1):
    rng = random.Random(seed)
    return list({tuple(rng.randrange(256) for _ in range(3)) for _ in range(count * 3)})[:count]


def halves_of(top, bottom, width=400, height=300):
    """An image large enough to be counted and packed in halves on two threads,
    its top half drawn from `top`, its bottom half from `bottom`."""
    upper, lower = image_of(top, width, height // 2, 2), image_of(bottom, width, height - height // 2, 3)
    return Lumivex.SimpleImage(width, height, bytearray(bytes(upper._pixels) + bytes(lower._pixels)))


PICTURES = {f"{n} colours": (image_of(random_colours(n)), 8 if n > 16 else 4 if n > 4 else 2 if n > 2 else 1)
            for n in (1, 2, 3, 4, 16, 17, 256)}
PICTURES["257 colours"] = (image_of(random_colours(257), 64, 64), None)
PICTURES["grey, 0 and 255"] = (image_of([(0, 0, 0), (255, 255, 255)]), 1)
PICTURES["grey, multiples of 17"] = (image_of([(v, v, v) for v in range(0, 256, 17)]), 4)
many = random_colours(300, seed=4)
PICTURES["halves of 150 colours each"] = (halves_of(many[:150], many[150:]), None)
PICTURES["halves of 100 colours, 30 shared"] = (halves_of(many[:100], many[70:170]), 8)
PICTURES["grey, every value"] = (image_of([(v, v, v) for v in range(256)], 64, 64), 8)
# Long runs whose palette rows deflate smallest by runs alone, in two pieces on two threads.
PICTURES["200 colours in long runs"] = (image_of(random_colours(200), 500, 500, runs=(4, 21)), 8)


def layout_of(data):
    """(bit depth, colour type) from the IHDR."""
    return struct.unpack_from(">BB", data, 24)


@pytest.mark.parametrize("name", sorted(PICTURES))
def test_every_level_and_colour_choice_keeps_the_pixels(name):
    image, bits = PICTURES[name]
    sizes = {}
    for colour in ("auto", "rgb"):
        for level in LEVELS:
            data = Lumivex.encode_png(image, level=level, colour=colour)
            with Image.open(io.BytesIO(data)) as decoded:
                assert decoded.convert("RGB").tobytes() == bytes(image._pixels), (level, colour)
            assert bytes(Lumivex.open(data)._pixels) == bytes(image._pixels), (level, colour)
            depth, colour_type = layout_of(data)
            if colour == "rgb" or bits is None:
                assert (depth, colour_type) == (8, 2)
            elif colour_type != 2:  # a reduced layout always at its fewest bits
                assert depth == bits
            if PNGCHECK:
                result = subprocess.run([PNGCHECK, "-q", "-"], input=data, capture_output=True)
                assert result.returncode == 0, result.stdout
            sizes[colour, level] = len(data)
        assert sizes[colour, "strongest"] <= sizes[colour, 6]


def test_a_flat_graphic_is_written_as_a_palette_and_smaller():
    image = image_of(random_colours(10), 300, 200)
    reduced, rgb = Lumivex.encode_png(image), Lumivex.encode_png(image, colour="rgb")
    assert layout_of(reduced) == (4, 3) and layout_of(rgb) == (8, 2)
    assert len(reduced) < 0.8 * len(rgb)
    palette_length = struct.unpack_from(">I", reduced, 33)[0]
    assert reduced[37:41] == b"PLTE" and palette_length == 3 * 10
    zlib.decompress(reduced[reduced.index(b"IDAT") + 4:-16])  # one IDAT, a whole zlib stream


# Detail only between the strips of rows the default level samples 8-bit RGB by
# beside a palette (8 strips of 7 rows spread over 512): judged by its strips
# RGB looks all black, but the palette's stream, made whole while weighing it,
# is the smaller file (under half the size of RGB's), and that is the one written.
def test_a_palette_weighed_whole_beats_rgb_misjudged_by_its_strips():
    width = height = 512
    in_strips = {k * (height - 7) // 7 + row for k in range(8) for row in range(7)}
    rng, colours = random.Random(5), random_colours(200, seed=6)
    rows = [bytes(width * 3) if y in in_strips else b"".join(bytes(rng.choice(colours)) for _ in range(width))
            for y in range(height)]
    image = Lumivex.SimpleImage(width, height, bytearray(b"".join(rows)))
    data = Lumivex.encode_png(image)
    assert layout_of(data) == (8, 3)
    assert bytes(Lumivex.open(data)._pixels) == bytes(image._pixels)


# A diagonal gradient of 256 colours: 8-bit RGB's file (Sub and Up leave
# the same small steps everywhere) is smaller than the palette's, whose PLTE
# outweighs what its indices save. RGB's stream is only a few KB, which a
# coarse sample of its rows overrates enough to lose. Where the palette's rows
# were all weighed (512 x 512), RGB's file is made and set against them;
# where they were sampled too (300 x 2000), RGB is weighed again.
@pytest.mark.parametrize("width, height", [(512, 512), (300, 2000)])
def test_a_gradient_of_256_colours_stays_rgb_where_that_is_smaller(width, height):
    steps = b"".join(bytes((c, 3 * c % 256, 255 - c)) for c in range(256)) * 3
    rows = [steps[3 * (y % 256):3 * (y % 256) + 3 * width] for y in range(height)]
    image = Lumivex.SimpleImage(width, height, bytearray(b"".join(rows)))
    data = Lumivex.encode_png(image)
    assert layout_of(data) == (8, 2)
    assert bytes(Lumivex.open(data)._pixels) == bytes(image._pixels)


@pytest.mark.parametrize("colour, error", [("RGB", "colour must be one of 'auto', 'rgb', got 'RGB'"),
                                           (None, "colour must be one of 'auto', 'rgb', got None")])
def test_unknown_colour_choices_are_refused(colour, error):
    with pytest.raises(ValueError) as raised:
        Lumivex.encode_png(image_of([(1, 2, 3)]), colour=colour)
    assert str(raised.value) == error
