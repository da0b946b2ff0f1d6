"""Hand-built PNG bytes for tests, using only zlib and struct.

Stable names for other test modules: PNG_SIGNATURE, chunk, chunk_crc, ihdr,
ihdr_data, iend, png, filter_row, filtered_image_data, rgb_png,
parse_chunks, iter_chunks.
"""
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk_crc(chunk_type, data=b""):
    """CRC-32 of the type followed by the data (the length is not covered)."""
    return zlib.crc32(chunk_type + data) & 0xFFFFFFFF


def chunk(chunk_type, data=b"", crc=None, bad_crc=False, length=None):
    """One framed chunk: length, type, data, CRC.

    `crc` replaces the stored CRC value, `bad_crc` flips its lowest bit and
    `length` replaces the length field (the data written stays `data`).
    """
    value = chunk_crc(chunk_type, data) if crc is None else crc
    if bad_crc:
        value ^= 1
    size = len(data) if length is None else length
    return struct.pack(">I", size) + chunk_type + data + struct.pack(">I", value)


def ihdr_data(width, height, bit_depth=8, color_type=2, compression=0,
              filter_method=0, interlace=0):
    """The 13 data bytes of an IHDR chunk."""
    return struct.pack(">IIBBBBB", width, height, bit_depth, color_type,
                       compression, filter_method, interlace)


def ihdr(width, height, bit_depth=8, color_type=2, compression=0,
         filter_method=0, interlace=0):
    """A complete IHDR chunk."""
    return chunk(b"IHDR", ihdr_data(width, height, bit_depth, color_type,
                                    compression, filter_method, interlace))


def iend():
    return chunk(b"IEND")


def png(chunks):
    """Signature followed by the given already-framed chunks."""
    return PNG_SIGNATURE + b"".join(chunks)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(filter_type, row, prev, bpp):
    """Encode one reconstructed row with the given PNG filter type.

    `prev` is the previous reconstructed row, or None for the first row.
    Returns the filtered bytes without the filter-type byte.
    """
    out = bytearray(len(row))
    for i, value in enumerate(row):
        left = row[i - bpp] if i >= bpp else 0
        up = prev[i] if prev is not None else 0
        up_left = prev[i - bpp] if prev is not None and i >= bpp else 0
        predictor = {0: 0, 1: left, 2: up, 3: (left + up) // 2,
                     4: _paeth(left, up, up_left)}[filter_type]
        out[i] = (value - predictor) & 0xFF
    return bytes(out)


def filtered_image_data(rows, filter_types, bpp):
    """Uncompressed image data: each row as its filter byte and filtered bytes.

    `filter_types` is cycled over the rows.
    """
    out = bytearray()
    prev = None
    for y, row in enumerate(rows):
        ftype = filter_types[y % len(filter_types)]
        out.append(ftype)
        out += filter_row(ftype, row, prev, bpp)
        prev = row
    return bytes(out)


def rgb_png(width, height, samples, color_type=2, filter_types=(0,),
            end=True):
    """A complete 8-bit PNG of `samples` (3 or 4 bytes per pixel, rows top first)."""
    channels = 3 if color_type == 2 else 4
    stride = width * channels
    rows = [samples[y * stride:(y + 1) * stride] for y in range(height)]
    packed = zlib.compress(filtered_image_data(rows, filter_types, channels))
    chunks = [ihdr(width, height, 8, color_type), chunk(b"IDAT", packed)]
    if end:
        chunks.append(iend())
    return png(chunks)


def iter_chunks(data):
    """Yield (chunk_type, data, crc_ok) for each chunk after the signature."""
    offset = len(PNG_SIGNATURE)
    while offset < len(data):
        if offset + 12 > len(data):
            raise ValueError("truncated chunk at offset %d" % offset)
        (length,) = struct.unpack_from(">I", data, offset)
        chunk_type = data[offset + 4:offset + 8]
        body = data[offset + 8:offset + 8 + length]
        if len(body) != length or offset + 12 + length > len(data):
            raise ValueError("truncated chunk at offset %d" % offset)
        (stored,) = struct.unpack_from(">I", data, offset + 8 + length)
        yield chunk_type, body, stored == chunk_crc(chunk_type, body)
        offset += 12 + length


def parse_chunks(data):
    """Check the signature and return [(chunk_type, data), ...]; every CRC must match."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG signature")
    result = []
    for chunk_type, body, crc_ok in iter_chunks(data):
        if not crc_ok:
            raise ValueError("bad CRC in %r chunk" % chunk_type)
        result.append((chunk_type, body))
    return result
