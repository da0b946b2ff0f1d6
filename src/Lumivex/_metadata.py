"""What a file says of itself, without decoding its pixels: the image's
size and the layout `imread` returns, colour information (ICC profile, sRGB,
gamma, chromaticities, cICP), resolution, text, Exif, transparency, and every
other ancillary PNG chunk as it stands, for a writer to carry over."""
from __future__ import annotations

import builtins
import os
import struct
import zlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

from Lumivex._capped import Source
from Lumivex._imread import _explained, _unsupported
from Lumivex._native import pngChunks

#: The most a compressed profile or text may inflate to: far above any real
#: one, far below what a small hostile chunk could ask for.
INFLATED_LIMIT = 16 << 20

PLACES = ("before PLTE", "before IDAT", "after IDAT")
_MODES = {0: "L", 2: "RGB", 3: "RGB", 4: "LA", 6: "RGBA"}
_WITH_ALPHA = {"L": "LA", "RGB": "RGBA"}
_METRES_PER_INCH = 0.0254


def read_metadata(source: Source) -> Dict[str, Any]:
    """The metadata of a PNG or BMP file, as a dict whose keys are present
    only when the file has them: ``format``, ``width``, ``height``, ``mode``
    and ``dtype`` (what `imread` returns with no arguments), ``bit_depth``,
    ``interlaced``, ``icc_profile`` (bytes, decompressed) and
    ``icc_profile_name``, ``srgb`` (the rendering intent), ``gamma``,
    ``chromaticities`` (wx, wy, rx, ry, gx, gy, bx, by), ``cicp``, ``dpi``
    (from a resolution in metres) or ``aspect``, ``text`` (tEXt, zTXt and
    iTXt, the last of a keyword winning), ``exif`` (bytes), ``transparency``
    (bytes for a palette, an int for grey, (r, g, b) for RGB) and ``chunks``:
    every other ancillary PNG chunk as (type, data, place), place "before
    PLTE", "before IDAT" or "after IDAT".

    Every chunk's CRC is checked, as `Lumivex.open` checks it; the image data
    is not inflated. Errors are those of `imread`.
    """
    path = source if isinstance(source, (str, os.PathLike)) else None
    if path is None and hasattr(source, "read"):
        source = source.read()
    try:
        if path is not None:
            with builtins.open(path, "rb") as stream:
                if not stream.seekable():  # a pipe: read as a file object is
                    data = stream.read()
                    return _read(data[:8], data)
                start = stream.read(8)
                stream.seek(0)
                return _read(start, stream)
        return _read(bytes(memoryview(source)[:8]), source)  # type: ignore[arg-type]
    except ValueError as error:
        raise _explained(error, source, path) from None


def _read(start: bytes, source: object) -> Dict[str, Any]:
    if start == b"\x89PNG\r\n\x1a\n":
        return _png(pngChunks(source))
    if start[:2] == b"BM":
        data = source.read(14 + 124) if hasattr(source, "read") else bytes(memoryview(source)[:14 + 124])  # type: ignore
        metadata = _bmp(data)
        if "icc_offset" in metadata:
            metadata["icc_profile"] = _bmp_profile(source, *metadata.pop("icc_offset"))
        return metadata
    raise _unsupported(start)


def _png(chunks: List[Tuple[bytes, bytes, int]]) -> Dict[str, Any]:
    metadata: Dict[str, Any] = {"format": "PNG"}
    text: Dict[str, str] = {}
    others = []
    header = None
    for kind, data, place in chunks:
        if kind == b"IHDR" and len(data) == 13:
            header = struct.unpack(">IIBBBBB", data)
        elif kind in (b"IHDR", b"PLTE", b"IEND") or not kind[:1].islower():
            continue
        elif not _interpreted(kind, data, metadata, text):
            others.append((kind.decode("latin-1"), data, PLACES[place]))
    if header is not None:
        width, height, depth, colour, _, _, interlace = header
        metadata.update(width=width, height=height, bit_depth=depth, interlaced=interlace == 1)
        _transparency_for(colour, metadata)
        mode = _MODES.get(colour)
        if mode is not None:
            transparency = metadata.get("transparency")
            translucent = transparency is not None and (colour != 3 or any(value < 255 for value in transparency))
            metadata["mode"] = _WITH_ALPHA[mode] if translucent else mode
            metadata["dtype"] = "uint16" if depth == 16 else "uint8"
    if text:
        metadata["text"] = text
    if others:
        metadata["chunks"] = others
    return metadata


def _interpreted(kind: bytes, data: bytes, metadata: Dict[str, Any], text: Dict[str, str]) -> bool:
    """Takes a chunk this reader understands into `metadata`; False for any other (or a malformed one)."""
    try:
        if kind == b"iCCP":
            name, rest = data.split(b"\0", 1)
            metadata["icc_profile"] = _inflated(rest[1:], "iCCP")
            metadata["icc_profile_name"] = name.decode("latin-1")
        elif kind == b"sRGB" and len(data) == 1:
            metadata["srgb"] = data[0]
        elif kind == b"gAMA" and len(data) == 4:
            metadata["gamma"] = struct.unpack(">I", data)[0] / 100000
        elif kind == b"cHRM" and len(data) == 32:
            metadata["chromaticities"] = tuple(value / 100000 for value in struct.unpack(">8I", data))
        elif kind == b"cICP" and len(data) == 4:
            metadata["cicp"] = tuple(data)
        elif kind == b"pHYs" and len(data) == 9:
            x, y, unit = struct.unpack(">IIB", data)
            if unit == 1:
                metadata["dpi"] = (x * _METRES_PER_INCH, y * _METRES_PER_INCH)
            else:
                metadata["aspect"] = (x, y)
        elif kind == b"eXIf":
            metadata["exif"] = data
        elif kind == b"tRNS":
            metadata["transparency"] = data  # read for the colour type once the header is known
        elif kind in (b"tEXt", b"zTXt", b"iTXt"):
            keyword, value = _text(kind, data)
            text[keyword] = value
        else:
            return False
    except (ValueError, UnicodeDecodeError, zlib.error, struct.error, IndexError) as error:
        if isinstance(error, _TooLarge):
            raise
        return False
    return True


def _transparency_for(colour: int, metadata: Dict[str, Any]) -> None:
    data = metadata.pop("transparency", None)
    if data is None:
        return
    if colour == 3:
        metadata["transparency"] = data[:256]
    elif colour == 0 and len(data) == 2:
        metadata["transparency"] = struct.unpack(">H", data)[0]
    elif colour == 2 and len(data) == 6:
        metadata["transparency"] = struct.unpack(">3H", data)
    else:
        metadata.setdefault("chunks", []).append(("tRNS", data, "before IDAT"))


class _TooLarge(ValueError):
    pass


def _inflated(data: bytes, kind: str) -> bytes:
    inflater = zlib.decompressobj()
    out = inflater.decompress(data, INFLATED_LIMIT)
    if inflater.unconsumed_tail:
        raise _TooLarge(f"Invalid PNG {kind} chunk: its data inflates past {INFLATED_LIMIT >> 20} MiB")
    return out


def _text(kind: bytes, data: bytes) -> Tuple[str, str]:
    keyword, rest = data.split(b"\0", 1)
    name = kind.decode("ascii")
    if kind == b"tEXt":
        return keyword.decode("latin-1"), rest.decode("latin-1")
    if kind == b"zTXt":
        return keyword.decode("latin-1"), _inflated(rest[1:], name).decode("latin-1")
    compressed = rest[0] == 1
    _, _, value = rest[2:].split(b"\0", 2)
    return keyword.decode("latin-1"), (_inflated(value, name) if compressed else value).decode("utf-8")


def _bmp(data: bytes) -> Dict[str, Any]:
    """A BMP's size, layout, resolution and where a V5 header's embedded profile lies."""
    if len(data) < 18:
        raise ValueError("Truncated image header")
    (size,) = struct.unpack_from("<I", data, 14)
    if size == 12:
        width, height, _, bits = struct.unpack_from("<HHHH", data, 18)
        return _bmp_layout(width, height, bits, False)  # the core header has no masks
    if len(data) < 14 + 16:
        raise ValueError("Truncated image header")
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    compression = struct.unpack_from("<I", data, 30)[0] if size >= 20 and len(data) >= 34 else 0
    alpha = bits in (16, 32) and _alpha_mask(data, size, compression)
    metadata = _bmp_layout(width, abs(height), bits, alpha)
    if size >= 40 and len(data) >= 14 + 32:
        x, y = struct.unpack_from("<ii", data, 14 + 24)
        if x > 0 and y > 0:
            metadata["dpi"] = (x * _METRES_PER_INCH, y * _METRES_PER_INCH)
    if size == 124 and len(data) >= 14 + 124 and data[14 + 56:14 + 60] == b"DEBM":  # 'MBED', stored little-endian
        offset, length = struct.unpack_from("<II", data, 14 + 112)
        metadata["icc_offset"] = (14 + offset, length)
    return metadata


def _alpha_mask(data: bytes, size: int, compression: int) -> bool:
    """Whether the masks give alpha as the decoder takes them: a mask 52 bytes
    into a Windows header (the 56-byte, V4 and V5 headers with bit fields, or
    any with alpha bit fields), before the pixel data, one run of bits clear
    of the colours'."""
    windows = size in (40, 52, 56, 108, 124)
    # The decoder reads what lies before the pixel data, and the header whole.
    (pixel_offset,) = struct.unpack_from("<I", data, 10)
    before_pixels = max(size, pixel_offset - 14)
    if not (windows and ((size >= 56 and compression == 3) or compression == 6)) or len(data) < 14 + 56 \
            or before_pixels < 56:
        return False
    red, green, blue, alpha = struct.unpack_from("<4I", data, 14 + 40)
    run = alpha >> ((alpha & -alpha).bit_length() - 1) if alpha else 0
    return alpha != 0 and run & (run + 1) == 0 and alpha & (red | green | blue) == 0


def _bmp_layout(width: int, height: int, bits: int, alpha: bool) -> Dict[str, Any]:
    return {"format": "BMP", "width": width, "height": height, "mode": "RGBA" if alpha else "RGB",
            "dtype": "uint8", "bit_depth": bits}


def _bmp_profile(source: object, offset: int, length: int) -> Optional[bytes]:
    if hasattr(source, "seek"):
        source.seek(offset)
        profile = bytes(source.read(length))  # type: ignore[attr-defined]
    else:
        profile = bytes(memoryview(source)[offset:offset + length])  # type: ignore[arg-type]
    if len(profile) != length:
        raise ValueError("Invalid BMP: the embedded colour profile runs past the end of the file")
    return profile
