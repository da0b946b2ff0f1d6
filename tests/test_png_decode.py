"""Decoding PNG data through SimpleImage.open, against hand-built files,
Pillow and the PngSuite conformance images."""
import json
import os
import random
import struct
import zlib

import pytest
from PIL import Image

from Lumivex.rasterCore_ext import SimpleImage
from helpers import RecordingStream, ShiftingStream, expect_error, peak_rss_growth_kb, run_ok
from pngbytes import PNG_SIGNATURE, chunk, iend, ihdr, png, rgb_png

SUITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pngsuite")
MALFORMED = "Malformed PNG image data"
BIT_DEPTH = "Only 8-bit PNG images are supported"
COLOUR = "Only RGB/RGBA PNG images are supported"
CONFIG = "Unsupported PNG configuration (compression/filter/interlace)"
CORRUPT = "Corrupted PNG chunk detected"


def drop_alpha(samples, channels):
    if channels == 3:
        return bytes(samples)
    return b"".join(samples[i:i + 3] for i in range(0, len(samples), 4))


def sample_bytes(kind, count, seed):
    rng = random.Random(seed)
    if kind == "random":
        return bytes(rng.randrange(256) for _ in range(count))
    # Few distinct values: many equal neighbours, so Paeth ties and
    # Average/Sub wrap-around both happen often.
    return bytes(rng.choice((0, 10, 13, 20, 50, 100, 254, 255)) for _ in range(count))


def decode(data):
    image = SimpleImage.open(data)
    return image.size, bytes(image._pixels)


def raises_value_error(data, message):
    expect_error(ValueError, message, SimpleImage.open, data)


@pytest.mark.parametrize("color_type, channels", [(2, 3), (6, 4)])
@pytest.mark.parametrize("filters", [(0,), (1,), (2,), (3,), (4,), (4, 3, 2, 1, 0, 1, 3)])
@pytest.mark.parametrize("kind", ["random", "ties"])
@pytest.mark.parametrize("width, height", [(5, 7), (67, 3)])  # short rows and long rows
def test_every_filter_is_undone(color_type, channels, filters, kind, width, height):
    samples = sample_bytes(kind, width * height * channels, hash(filters) & 0xFFFF)
    data = rgb_png(width, height, samples, color_type, filters)
    assert decode(data) == ((width, height), drop_alpha(samples, channels))


def _image_parts(width=3, height=4, color_type=2, filters=(1, 2, 3, 4)):
    channels = 3 if color_type == 2 else 4
    samples = sample_bytes("random", width * height * channels, 99)
    whole = rgb_png(width, height, samples, color_type, filters, end=False)
    (length,) = struct.unpack(">I", whole[33:37])
    packed = whole[41:41 + length]
    return ihdr(width, height, 8, color_type), packed, ((width, height), drop_alpha(samples, channels))


def test_split_idat_with_chunks_between_and_any_order():
    header, packed, expected = _image_parts()
    pieces = [packed[:1], b"", packed[1:9], packed[9:]]
    between = [chunk(b"tEXt", b"k\x00v"), chunk(b"PLTE", b"\x00" * 6), chunk(b"zzZZ", b"?")]
    idats = []
    for piece, extra in zip(pieces, between + [b""]):
        idats += [chunk(b"IDAT", piece), extra]
    layouts = [
        [header] + idats + [iend()],
        idats + [header, iend()],                    # IHDR after the data
        [ihdr(9, 9, 16, 0, 1, 1, 1)] + idats + [header, iend()],  # the last IHDR wins
        [header] + idats,                            # no IEND: clean end of stream
    ]
    for chunks in layouts:
        assert decode(png(chunks)) == expected


def test_nothing_after_iend_is_read():
    header, packed, expected = _image_parts()
    valid = png([header, chunk(b"IDAT", packed), iend()])
    stream = RecordingStream(valid + b"\xff\xff\xff\xffgarbage that is no chunk")
    width, height, pixels = SimpleImage._streamToImage(stream)
    assert ((width, height), bytes(pixels)) == expected and type(pixels) is bytearray
    assert stream.tell() == len(valid)
    assert all(call[0] == "read" for call in stream.calls[2:])


@pytest.mark.parametrize("fields, message", [
    ((16, 3, 0, 0, 0), BIT_DEPTH),
    ((16, 2, 1, 1, 1), BIT_DEPTH),
    ((1, 0, 0, 0, 0), BIT_DEPTH),
    ((0, 2, 0, 0, 0), BIT_DEPTH),
    ((8, 0, 0, 0, 0), COLOUR),
    ((8, 3, 1, 0, 1), COLOUR),
    ((8, 4, 0, 0, 0), COLOUR),
    ((8, 7, 0, 0, 0), COLOUR),
    ((8, 2, 1, 0, 0), CONFIG),
    ((8, 2, 0, 1, 0), CONFIG),
    ((8, 6, 0, 0, 1), CONFIG),
])
def test_header_checks_in_order_and_before_inflating(fields, message):
    # The IDAT is not a zlib stream: the header must be refused before it is inflated.
    data = png([ihdr(2, 2, *fields), chunk(b"IDAT", b"not zlib"), iend()])
    raises_value_error(data, message)


@pytest.mark.parametrize("chunks, error, message", [
    ([], ValueError, "Incomplete PNG header information"),
    ([chunk(b"IDAT", zlib.compress(b"\0" * 4)), iend()], ValueError,
     "Incomplete PNG header information"),
    ([chunk(b"IHDR", b"\0" * 12), iend()], struct.error, "unpack requires a buffer of 13 bytes"),
    ([chunk(b"IHDR", b"\0" * 14), iend()], struct.error, "unpack requires a buffer of 13 bytes"),
    ([ihdr(2 ** 31, 1), iend()], OverflowError, "value too large to convert to int"),
    ([ihdr(1, 2 ** 32 - 1), iend()], OverflowError, "value too large to convert to int"),
])
def test_missing_or_unusable_header(chunks, error, message):
    expect_error(error, message, SimpleImage.open, png(chunks))


@pytest.mark.parametrize("color_type, channels", [(2, 3), (6, 4)])
@pytest.mark.parametrize("delta", [-1, 1])
def test_inflated_length_must_match_exactly(color_type, channels, delta):
    width, height = 3, 2
    raw = bytes(height * (width * channels + 1) + delta)
    raises_value_error(png([ihdr(width, height, 8, color_type),
                            chunk(b"IDAT", zlib.compress(raw))]), MALFORMED)


@pytest.mark.parametrize("width, height, raw, expected", [
    (0, 3, b"\x07\x05\xff", (0, 3)),  # filter bytes of empty rows are not examined
    (4, 0, b"", (4, 0)),
])
def test_empty_images(width, height, raw, expected):
    assert decode(png([ihdr(width, height), chunk(b"IDAT", zlib.compress(raw))])) == (expected, b"")


@pytest.mark.parametrize("idat, raw_for_message", [
    ([], b""),                                                      # no IDAT at all
    ([chunk(b"IDAT", b"\x78\x9c garbage")], b"\x78\x9c garbage"),
    ([chunk(b"IDAT", zlib.compress(b"\0" * 8)[:-3])], zlib.compress(b"\0" * 8)[:-3]),
])
def test_zlib_errors_keep_their_own_message(idat, raw_for_message):
    with pytest.raises(zlib.error) as expected:
        zlib.decompress(raw_for_message)
    with pytest.raises(zlib.error) as info:
        SimpleImage.open(png([ihdr(1, 2)] + idat + [iend()]))
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("bad_row", [0, 2])
@pytest.mark.parametrize("filter_byte", [5, 255])
def test_unknown_filter_byte(bad_row, filter_byte):
    raw = bytearray(b"\x00\x01\x02\x03" * 3)
    raw[bad_row * 4] = filter_byte
    raises_value_error(png([ihdr(1, 3), chunk(b"IDAT", zlib.compress(bytes(raw))), iend()]),
                       "Unsupported PNG filter: %d" % filter_byte)


@pytest.mark.parametrize("where", ["IHDR", "IDAT", "tEXt", "IEND"])
def test_wrong_crc_anywhere_before_the_end(where):
    header, packed, _ = _image_parts()
    chunks = [(b"IHDR", header[8:-4]), (b"tEXt", b"a\x00b"), (b"IDAT", packed), (b"IEND", b"")]
    data = png([chunk(t, d, bad_crc=(t.decode() == where)) for t, d in chunks])
    raises_value_error(data, CORRUPT)


@pytest.mark.parametrize("cut, message", [
    (3, "Unexpected EOF while reading chunk length"),
    (6, "Unexpected EOF while reading chunk type"),
    (20, "Unexpected EOF while reading chunk data"),
    (-2, "Unexpected EOF while reading chunk CRC"),
])
def test_truncated_file(cut, message):
    header, packed, _ = _image_parts()
    body = header + chunk(b"IDAT", packed)
    raises_value_error(PNG_SIGNATURE + body[:cut if cut > 0 else len(body) + cut], message)


def test_decoder_checks_the_signature_itself():
    header, packed, _ = _image_parts()
    stream = ShiftingStream(png([header, chunk(b"IDAT", packed), iend()]), b"\x89PNG\r\n\x1a\x0b")
    with pytest.raises(ValueError, match="^Unsupported PNG signature$"):
        SimpleImage._streamToImage(stream)


def _suite_files():
    return sorted(n for n in os.listdir(SUITE) if n.endswith(".png"))


# Damaged files, with the failure their damage leads to.
SUITE_DAMAGED = {
    "xc1n0g08.png": COLOUR,           # colour type 1
    "xc9n2c08.png": COLOUR,           # colour type 9
    "xd0n2c08.png": BIT_DEPTH,        # bit depth 0
    "xd3n2c08.png": BIT_DEPTH,        # bit depth 3
    "xd9n2c08.png": BIT_DEPTH,        # bit depth 99
    "xdtn0g01.png": BIT_DEPTH,        # no IDAT, but the header is refused first
    "xcsn0g01.png": CORRUPT,          # IDAT checksum
    "xhdn0g08.png": CORRUPT,          # IHDR checksum
    "xcrn0g04.png": "Unsupported image format",  # signature bytes mangled
    "xlfn0g04.png": "Unsupported image format",
    "xs1n0g01.png": "Unsupported image format",
    "xs2n0g01.png": "Unsupported image format",
    "xs4n0g01.png": "Unsupported image format",
    "xs7n0g01.png": "Unsupported image format",
}


def _expected_failure(name):
    """From the PngSuite naming scheme: ...[n|i]<colour type><kind><bit depth>.png"""
    if name in SUITE_DAMAGED:
        return SUITE_DAMAGED[name]
    stem = name[:-4]
    color_type, bit_depth, interlaced = int(stem[-4]), int(stem[-2:]), stem[3] == "i"
    if bit_depth != 8:
        return BIT_DEPTH
    if color_type not in (2, 6):
        return COLOUR
    return CONFIG if interlaced else None


@pytest.mark.parametrize("name", _suite_files())
def test_pngsuite(name):
    path = os.path.join(SUITE, name)
    expected_failure = _expected_failure(name)
    if expected_failure is not None:
        raises_value_error(path, expected_failure)
        return
    with Image.open(path) as reference:
        assert reference.mode in ("RGB", "RGBA")
        # tobytes() gives the stored samples: Pillow applies neither gAMA nor tRNS.
        stored = reference.tobytes()
        size = reference.size
    assert decode(path) == (size, drop_alpha(stored, len(reference.mode)))


def test_pngsuite_has_enough_in_scope_files():
    assert sum(_expected_failure(n) is None for n in _suite_files()) >= 30


def test_no_suite_file_or_oversized_header_crashes_the_process():
    # Separate interpreter: a crash shows up as a bad exit status, not a lost test run.
    oversized = [
        ihdr(2 ** 31 - 1, 2 ** 31 - 1, 8, 6),
        ihdr(1431655766, 1),        # RGB: (rowStride + 1) * height is 3 modulo 2**32
        ihdr(2 ** 30, 1, 8, 6),     # RGBA: rowStride is 0 modulo 2**32
        ihdr(1, 2 ** 30),           # (rowStride + 1) * height is 0 modulo 2**32
        ihdr(2 ** 31 - 1, 1),
        ihdr(1, 2 ** 31 - 1, 8, 6),
    ]
    cases = [png([h, chunk(b"IDAT", zlib.compress(raw)), iend()]).hex()
             for h in oversized for raw in (b"", b"\0", b"\0\0\0")]
    script = """
import json, os, sys
from Lumivex.rasterCore_ext import SimpleImage
sources = [os.path.join(sys.argv[1], n) for n in sorted(os.listdir(sys.argv[1]))
           if n.endswith(".png")] + [bytes.fromhex(h) for h in json.loads(sys.argv[2])]
outcomes = []
for source in sources:
    try:
        SimpleImage.open(source)
        outcomes.append(None)
    except Exception as exc:
        outcomes.append(type(exc).__name__)
print(json.dumps(outcomes))
"""
    outcomes = json.loads(run_ok(script, SUITE, json.dumps(cases)))
    assert len(outcomes) == len(_suite_files()) + len(cases)
    # Every oversized header is refused with an exception.
    assert None not in outcomes[len(_suite_files()):]


def test_decompression_bomb_stays_small(tmp_path):
    # A 1 x 1 RGB image expects 4 inflated bytes; this IDAT inflates to 300 MB.
    compressor = zlib.compressobj(9)
    block = bytes(1 << 20)
    packed = b"".join(compressor.compress(block) for _ in range(300)) + compressor.flush()
    path = tmp_path / "bomb.png"
    path.write_bytes(png([ihdr(1, 1), chunk(b"IDAT", packed), iend()]))
    assert len(packed) < 1 << 20
    grew_kb, error = peak_rss_growth_kb(
        "from Lumivex.rasterCore_ext import SimpleImage\n"
        "data = open(%r, 'rb').read()" % str(path),
        "SimpleImage.open(data)")
    assert error == ["ValueError", MALFORMED]
    assert grew_kb < 100 * 1024
