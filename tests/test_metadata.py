"""Lumivex.read_metadata: against the chunks Pillow reports for the PngSuite
files, and against hand-built files with every chunk it interprets."""
import pathlib
import struct
import zlib

import pytest
from PIL import Image

import Lumivex
from pngbytes import PNG_SIGNATURE, chunk, iend, ihdr, rgb_png
from test_imread import GOOD

SUITE = pathlib.Path(__file__).parent / "data" / "pngsuite"


@pytest.mark.parametrize("path", GOOD, ids=[path.stem for path in GOOD])
def test_what_pillow_reports_and_what_imread_returns(path):
    metadata = Lumivex.read_metadata(str(path))
    with Image.open(path) as picture:
        info = dict(picture.info)
    for key in ("gamma", "dpi", "aspect", "srgb", "icc_profile"):
        assert metadata.get(key) == info.get(key), key
    assert metadata.get("text", {}) == {key: value for key, value in info.items() if isinstance(value, str)}
    if "exif" in info:  # Pillow puts the APP1 header in front of the chunk's data
        assert b"Exif\0\0" + metadata["exif"] == info["exif"]
    transparency = metadata.get("transparency")
    if isinstance(transparency, bytes) and isinstance(info.get("transparency"), int):
        transparency = transparency.index(0)  # Pillow's form for a palette with one clear entry
    assert transparency == info.get("transparency")
    image = Lumivex.imread(str(path))
    assert (metadata["width"], metadata["height"], metadata["dtype"]) == (image.shape[1], image.shape[0],
                                                                          str(image.dtype))
    assert metadata["mode"] == {2: "L"}.get(image.ndim) or metadata["mode"] == ("", "", "LA", "RGB",
                                                                               "RGBA")[image.shape[2]]


def hand_built(*chunks):
    image_data = zlib.compress(b"\0\0\0\0")
    return b"".join([PNG_SIGNATURE, ihdr(1, 1), *chunks[:-1], chunk(b"IDAT", image_data), chunks[-1], iend()])


def test_every_chunk_it_interprets_and_the_rest_kept_in_place():
    profile = bytes(range(256)) * 4
    data = hand_built(
        chunk(b"iCCP", b"Display P3\0\0" + zlib.compress(profile)),
        chunk(b"cHRM", struct.pack(">8I", 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000)),
        chunk(b"cICP", bytes((9, 16, 0, 1))),
        chunk(b"sRGB", b"\1"),
        chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1)),
        chunk(b"tEXt", b"Title\0first"),
        chunk(b"iTXt", b"Title\0\1\0en\0Titel\0" + zlib.compress("z\u00e4hlt".encode())),
        chunk(b"zTXt", b"Comment\0\0" + zlib.compress(b"caf\xe9")),
        chunk(b"tRNS", struct.pack(">3H", 1, 2, 3)),
        chunk(b"bKGD", struct.pack(">3H", 4, 5, 6)),
        chunk(b"gAMA", b"\0\0"),  # too short: kept as it stands, not read
        chunk(b"eXIf", b"MM\0*\0\0\0\x08\0\0"),
        chunk(b"tIME", bytes(7)),
    )
    metadata = Lumivex.read_metadata(data)
    assert metadata.pop("chunks") == [("bKGD", struct.pack(">3H", 4, 5, 6), "before PLTE"),
                                      ("gAMA", b"\0\0", "before PLTE"), ("tIME", bytes(7), "after IDAT")]
    assert metadata == {
        "format": "PNG", "width": 1, "height": 1, "bit_depth": 8, "interlaced": False, "mode": "RGBA",
        "dtype": "uint8", "icc_profile": profile, "icc_profile_name": "Display P3",
        "chromaticities": (0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06), "cicp": (9, 16, 0, 1), "srgb": 1,
        "dpi": (3780 * 0.0254, 3780 * 0.0254), "text": {"Title": "z\u00e4hlt", "Comment": "caf\u00e9"},
        "transparency": (1, 2, 3), "exif": b"MM\0*\0\0\0\x08\0\0"}


@pytest.mark.parametrize("data, error", [
    (hand_built(chunk(b"zTXt", b"Bomb\0\0" + zlib.compress(bytes(64 << 20), 9)), b""),
     r"^Invalid PNG zTXt chunk: its data inflates past 16 MiB$"),
    (hand_built(chunk(b"tEXt", b"Title\0x", bad_crc=True), b""), "^Corrupted PNG chunk detected$"),
    (b"\xff\xd8\xff\xe0" + bytes(12), "^Unsupported image format: it looks like a JPEG file"),
], ids=["a small chunk inflating to 64 MiB", "a CRC", "a JPEG"])
def test_refusals(data, error):
    assert len(data) < 100_000
    with pytest.raises(ValueError, match=error):
        Lumivex.read_metadata(data)


def test_image_data_is_read_through_not_inflated(tmp_path):
    (tmp_path / "a.png").write_bytes(rgb_png(1, 1, b"\1\2\3")[:-12] + b"\0\0\0\0IDAT\0\0\0\0" + iend())
    with pytest.raises(ValueError, match="^.*a.png: Corrupted PNG chunk detected"):
        Lumivex.read_metadata(tmp_path / "a.png")  # a bad CRC on image data is still found
    (tmp_path / "b.png").write_bytes(b"".join([PNG_SIGNATURE, ihdr(1, 1), chunk(b"IDAT", b"not zlib"), iend()]))
    assert Lumivex.read_metadata(tmp_path / "b.png")["width"] == 1
