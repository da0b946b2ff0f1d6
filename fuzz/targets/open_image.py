"""SimpleImage.open on arbitrary PNG and BMP bytes (a bytes and a bytearray source).

Both sources must give the same image or the same exception, and a decoded
image must be whole: its buffer the size its dimensions say, copyable, every
corner readable.
"""
from common import decoded, describe, image_state, run

from Lumivex.rasterCore_ext import SimpleImage


def exercise(image):
    width, height = image.size
    assert len(image._pixels) == width * height * 3, "pixel buffer does not match the size"
    assert image_state(image.copy()) == image_state(image), "copy differs"
    if width > 0 and height > 0:
        for x, y in ((0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)):
            image.getPixel((x, y))


def test_one_input(data):
    from_bytes = decoded(SimpleImage.open, data)
    from_bytearray = decoded(SimpleImage.open, bytearray(data))
    assert from_bytes == from_bytearray, "bytes give %s, a bytearray %s" % (describe(from_bytes), describe(from_bytearray))
    if from_bytes[0] == "ok":
        exercise(SimpleImage.open(data))


if __name__ == "__main__":
    run(test_one_input)
