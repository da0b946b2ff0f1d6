"""Sequences of pixel-API calls and saves on small random images.

The input picks an image, then a run of calls: getPixel, putPixel with odd
channel values, the width, height and _pixels setters (which may leave the
fields inconsistent), copy, save and saveBmp. Every call must succeed or raise
one of the documented exceptions; a pixel read or written must be the bytes
the buffer holds; a file saved from a consistent image must open as that image.
"""
import atheris

from common import describe, image_state, outcome, run, scratch_path

from Lumivex.rasterCore_ext import SimpleImage

EXTREMES = [0, 1, 2, 3, -1, -2, 255, 256, 2 ** 16, 2 ** 31 - 1, -2 ** 31, 2 ** 31, 2 ** 63]
CHANNELS = [0, 255, 256, 300, -1, -256, 2 ** 31, -2 ** 63, 2 ** 70, 2.9, -0.5, True, "12", "x", None, b"1"]
# The PNG writer assembles (3 * width + 1) * height bytes whatever the buffer
# holds, so a setter can ask it for gigabytes legitimately; bound that cost.
PNG_ROW_BYTES_LIMIT = 1 << 24


def number(provider, small):
    """Mostly a small int, sometimes an extreme or a float."""
    choice = provider.ConsumeIntInRange(0, 7)
    if choice == 6:
        return provider.PickValueInList(EXTREMES)
    if choice == 7:
        return provider.ConsumeIntInRange(-4, small) + 0.5
    return provider.ConsumeIntInRange(-1, small)


def consistent(image):
    width, height = image.size
    pixels = image._pixels
    return width >= 0 and height >= 0 and isinstance(pixels, bytearray) and len(pixels) == width * height * 3


def check_get(image, coords):
    result = outcome(image.getPixel, coords)
    if result[0] == "ok":
        x, y = coords
        start = (y * image.width + x) * 3
        assert result[1] == tuple(image._pixels[start:start + 3]), "getPixel%r gave %r" % (coords, result[1])


def check_put(image, coords, value):
    result = outcome(image.putPixel, coords, value)
    if result[0] == "ok":
        x, y = coords
        start = (y * image.width + x) * 3
        expected = bytes(int(channel) & 0xFF for channel in value)
        assert image._pixels[start:start + 3] == expected, "putPixel%r wrote %r" % ((coords, value), image._pixels[start:start + 3])


def check_save(image, method, name):
    if method == "save":
        width, height = image.size
        if (3 * max(width, 0) + 1) * max(height, 0) > PNG_ROW_BYTES_LIMIT:
            return
    path = scratch_path(name)
    was_consistent, before = consistent(image), image_state(image) if image._pixels is not None else None
    result = outcome(getattr(image, method), path)
    if result[0] == "ok" and was_consistent:
        reopened = outcome(SimpleImage.open, path)
        assert reopened[0] == "ok", "%s then open: %s" % (method, describe(reopened))
        assert image_state(reopened[1]) == before, "%s then open gave another image" % method


def step(provider, image):
    operation = provider.ConsumeIntInRange(0, 8)
    coords = (number(provider, 17), number(provider, 17))
    if operation == 0:
        check_get(image, coords)
    elif operation == 1:
        value = tuple(provider.PickValueInList(CHANNELS) if provider.ConsumeBool() else provider.ConsumeIntInRange(-300, 600)
                      for _ in range(provider.ConsumeIntInRange(2, 4)))
        check_put(image, coords, value)
    elif operation == 2:
        outcome(setattr, image, "width", number(provider, 20))
    elif operation == 3:
        outcome(setattr, image, "height", number(provider, 20))
    elif operation == 4:
        length = provider.ConsumeIntInRange(-1, 64)
        outcome(setattr, image, "_pixels", None if length < 0 else bytearray(provider.ConsumeBytes(length)))
    elif operation == 5:
        copied = outcome(image.copy)
        if copied[0] == "ok":
            assert image_state(copied[1]) == image_state(image), "copy differs"
    elif operation == 6:
        check_save(image, "save", "image.png")
    elif operation == 7:
        check_save(image, "saveBmp", "image.bmp")
    else:
        width, height = number(provider, 6), number(provider, 6)
        pixels = provider.ConsumeBytes(provider.ConsumeIntInRange(0, 120))
        built = outcome(SimpleImage, width, height, pixels)
        if built[0] == "ok":
            assert bytes(built[1]._pixels) == pixels, "constructor changed the pixels"


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    width, height = provider.ConsumeIntInRange(0, 12), provider.ConsumeIntInRange(0, 12)
    pixels = provider.ConsumeBytes(width * height * 3).ljust(width * height * 3, b"\0")
    image = SimpleImage(width, height, pixels)
    for _ in range(provider.ConsumeIntInRange(1, 24)):
        step(provider, image)


if __name__ == "__main__":
    run(test_one_input)
