"""SimpleImage.open of a file against SimpleImage.open of its bytes, and
Lumivex.open of both.

The buffered reader `open` returns for a path and the BytesIO made for bytes
must lead to the same image or the same exception: reading a file may not
behave differently, for instance by reserving memory for a length the file
cannot hold (the allocator refuses more than 2 GiB here, so such a reservation
shows as a MemoryError). Lumivex.open, which decodes through the codec's
readers with the pixel cap, must give the same again for an image under the
cap, and refuse one above it with PixelLimitError; it also reads the PNG
and BMP layouts SimpleImage.open refuses, so for those any image or ValueError will
do (their pixels are checked against other decoders by the tests). Its bound on IDAT data
follows the cap, so it may refuse a chunk declaring more data as malformed at
its head where SimpleImage.open fails later reading it; and it reports damage
found by zlib or struct as subclasses of their errors that are ValueErrors too.

The header `lumivex info` reads without decoding must agree with every image
that opens (with one IHDR: the header is the first's, the reader takes the
last): the same size.
"""
import struct
import zlib

from common import decoded, describe, outcome, run, scratch_path

import Lumivex
from Lumivex._capped import read_header
from Lumivex.rasterCore_ext import SimpleImage

CAP = 4096
MALFORMED = ("raised", ValueError, "Malformed PNG image data")
# What SimpleImage.open refuses that Lumivex.open reads.
SUBSET_ONLY = {"Only 8-bit PNG images are supported", "Only RGB/RGBA PNG images are supported",
               "Unsupported PNG configuration (compression/filter/interlace)",
               "Only BITMAPINFOHEADER BMP files are supported", "Only uncompressed 24-bit BMP files are supported"}


def as_simpleimage_reports(result):
    """Lumivex.open's outcome with its ValueError subclasses of zlib.error and struct.error as their bases."""
    if result[0] == "raised":
        for base in (zlib.error, struct.error):
            if issubclass(result[1], base) and result[1] is not base:
                assert issubclass(result[1], ValueError), "%s is not a ValueError" % result[1].__name__
                return ("raised", base, result[2])
    return result


def test_one_input(data):
    path = scratch_path("input")
    with open(path, "wb") as file:
        file.write(data)
    from_path = decoded(SimpleImage.open, path)
    from_bytes = decoded(SimpleImage.open, data)
    assert from_bytes == from_path, "bytes give %s, the path %s" % (describe(from_bytes), describe(from_path))
    header = outcome(read_header, path, CAP)
    assert header[0] == "ok" or issubclass(header[1], ValueError), "read_header gives %s" % describe(header)
    for source in (path, data):
        capped = as_simpleimage_reports(decoded(Lumivex.open, source, CAP))
        if capped[0] == "ok" and source is path and data.count(b"IHDR") <= 1:  # the reader takes the last IHDR
            assert header[0] == "ok", "read_header gives %s for an image that opens" % describe(header)
            assert (header[1].width, header[1].height) == capped[1][0], "the header's size is not the image's"
        if capped[0] == "raised" and capped[1] is Lumivex.PixelLimitError:
            continue
        if capped == MALFORMED and from_path[0] == "raised" and issubclass(from_path[1], ValueError):
            continue
        if from_path[0] == "raised" and from_path[2] in SUBSET_ONLY:
            refusal = capped[0] == "raised" and issubclass(capped[1], (ValueError, zlib.error, struct.error))
            assert capped[0] == "ok" or refusal, "Lumivex.open gives %s" % describe(capped)
            continue
        if from_path[0] == "ok":
            width, height = from_path[1][0]
            assert max(width, 1) * max(height, 1) <= CAP or capped[0] == "raised", "an image above the cap opened"
        assert capped == from_path, "Lumivex.open gives %s, SimpleImage.open %s" % (describe(capped), describe(from_path))


if __name__ == "__main__":
    run(test_one_input)
