"""Lumivex.imread in every mode and depth, and Lumivex.read_metadata, on one file.

The first input byte picks the mode and depth, the rest is the file. Under a
cap of 4096 pixels: imread in 8-bit RGB gives exactly Lumivex.open's pixels
(or its exception); any other mode and depth gives the same size with the
channels and dtype asked for, or refuses as Lumivex.open does. read_metadata
never inflates the image data, so it may read files whose pixels are
damaged; where both succeed on a file with one IHDR, the size, mode and dtype
it reports are those imread returns as stored.
"""
from common import describe, outcome, run

import Lumivex

CAP = 4096
MODES = (None, "L", "LA", "RGB", "RGBA")
DEPTHS = (None, 8, 16)


def test_one_input(data):
    if not data:
        return
    mode, depth, data = MODES[data[0] % 5], DEPTHS[(data[0] // 5) % 3], data[1:]
    opened = outcome(Lumivex.open, data, CAP)
    read = outcome(lambda: Lumivex.imread(data, mode, depth=depth, max_pixels=CAP))
    assert (read[0] == "ok") == (opened[0] == "ok"), "imread gives %s, open %s" % (describe(read), describe(opened))
    if read[0] == "raised":
        assert issubclass(read[1], opened[1]), "imread raises %s, open %s" % (read[1], opened[1])
    else:
        array, image = read[1], opened[1]
        # A BMP of no rows may declare a negative width, which open keeps and an array cannot have.
        assert array.shape[:2] == (image.height, max(image.width, 0)), "imread's size is not open's"
        if mode is not None:
            assert (array.shape[2:] or (1,))[0] == len(mode), "imread's channels are not the mode's"
        if depth is not None:
            assert array.dtype.itemsize * 8 == depth, "imread's dtype is not the depth's"
        if (mode, depth) == ("RGB", 8):
            assert array.tobytes() == bytes(image._pixels), "imread in 8-bit RGB is not open's pixels"
    metadata = outcome(Lumivex.read_metadata, data)
    if metadata[0] == "ok" and read[0] == "ok" and (mode, depth) == (None, None) and data.count(b"IHDR") <= 1:
        array, found = read[1], metadata[1]
        channels = array.shape[2] if array.ndim == 3 else 1
        assert (max(found["width"], 0), found["height"]) == (array.shape[1], array.shape[0]), "metadata's size differs"
        assert (len(found["mode"]), found["dtype"]) == (channels, str(array.dtype)), "metadata's layout differs"


if __name__ == "__main__":
    run(test_one_input)
