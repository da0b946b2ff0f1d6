"""How `lumivex info` describes a file's header: in words, or as JSON."""
from __future__ import annotations

import json

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional

from Lumivex._capped import Header

# BMP compression values by name; OS/2 2.x headers give 3 and 4 other meanings.
_BMP_COMPRESSIONS = {1: "RLE8", 2: "RLE4", 3: "bit fields", 4: "JPEG", 5: "PNG", 6: "alpha bit fields",
                     11: "CMYK", 12: "CMYK RLE8", 13: "CMYK RLE4"}
_OS2_COMPRESSIONS = {3: "Huffman 1-D", 4: "RLE24"}
_WINDOWS_HEADER_SIZES = (40, 52, 56, 108, 124)


def _compression(header: Header) -> Optional[str]:
    value = header.compression or 0
    if value == 0:
        return None
    names = _BMP_COMPRESSIONS if header.header_size in _WINDOWS_HEADER_SIZES else _OS2_COMPRESSIONS
    return names.get(value, f"compression {value}")


def layout_text(header: Header) -> str:
    """A header's stored layout as `lumivex info` prints it."""
    if header.format == "BMP":
        compression = _compression(header)
        return f"{header.channels}, {header.bit_depth} bits per pixel" + (f", {compression}" if compression else "")
    interlacing = ", Adam7-interlaced" if header.interlaced else ""
    return f"{header.channels}, {header.bit_depth} bits per sample{interlacing}"


def metadata_text(metadata: Dict[str, Any]) -> str:
    """The transparency and colour information `lumivex info` adds after the layout."""
    parts = []
    if "transparency" in metadata:
        parts.append("transparency")
    if "icc_profile" in metadata:
        name = metadata.get("icc_profile_name")
        parts.append(f"ICC profile {name!r}" if name else "ICC profile")
    if "srgb" in metadata:
        parts.append("sRGB")
    if "cicp" in metadata:
        parts.append("cICP " + "/".join(map(str, metadata["cicp"])))
    if "gamma" in metadata:
        parts.append(f"gamma {metadata['gamma']}")
    if "chromaticities" in metadata:
        parts.append("chromaticities")
    return "".join(", " + part for part in parts)


def as_json(path: str, header: Optional[Header], error: Optional[str],
            metadata: Optional[Dict[str, Any]] = None) -> str:
    """The JSON line `lumivex info --json` prints for a file: its header and
    metadata (a bytes value as its length), or its error."""
    record: Dict[str, Any] = {"file": path}
    if header is None:
        record["error"] = error
    elif header.format == "PNG":
        record.update(format="PNG", width=header.width, height=header.height, colour_type=header.colour_type,
                      bit_depth=header.bit_depth, interlaced=header.interlaced)
    else:
        record.update(format="BMP", width=header.width, height=header.height, header_size=header.header_size,
                      bits_per_pixel=header.bit_depth, compression=header.compression, top_down=header.top_down)
    for key, value in (metadata or {}).items():
        if key == "bit_depth":
            continue  # the header's own field: a PNG's bit_depth, a BMP's bits_per_pixel
        if key == "chunks":
            value = [(kind, len(data), place) for kind, data, place in value]
        record.setdefault(key, len(value) if isinstance(value, bytes) else value)
    return json.dumps(record, ensure_ascii=False)
