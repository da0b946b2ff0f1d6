"""The reader's native inflate and checksum against the path through the
module's zlib name, untrusted lengths, and chunk data read from files in
bounded pieces."""
import io
import os
import struct
import types
import zlib

import pytest

import Lumivex.rasterCore_ext as rc
from helpers import expect_error, run_ok
from pngbytes import chunk, iend, ihdr, png

SUITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pngsuite")
MALFORMED = "Malformed PNG image data"


class ZlibProxy:
    """Forwards every name to zlib: the reader must then go through the name."""

    def __getattr__(self, name):
        return getattr(zlib, name)


def outcome(source):
    try:
        image = rc.SimpleImage.open(source)
    except Exception as exc:  # compared as type and message
        return type(exc), str(exc)
    return image.size, bytes(image._pixels)


def rows(width, height, channels, seed=1, filters=(0, 1, 2, 3, 4)):
    """Filtered scanlines with pseudo-random bytes and every filter type."""
    out = bytearray()
    state = seed
    for y in range(height):
        out.append(filters[y % len(filters)])
        for _ in range(width * channels):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            out.append(state >> 23)
    return bytes(out)


def image(width, height, idat_data, color_type=2):
    return png([ihdr(width, height, 8, color_type)] + [chunk(b"IDAT", d) for d in idat_data] + [iend()])


def with_dictionary(raw):
    packer = zlib.compressobj(zdict=b"preset")
    return packer.compress(raw) + packer.flush()


def followed_by_bad_block(raw):
    # A complete sync-flushed prefix, then a block of the reserved type 3.
    packer = zlib.compressobj()
    return packer.compress(raw) + packer.flush(zlib.Z_SYNC_FLUSH) + b"\x07\x00"


RAW = rows(3, 2, 3)         # 3 x 2 RGB: 20 bytes
RGBA = rows(5, 4, 4, 7)     # 5 x 4 RGBA
BIG = rows(300, 200, 3, 3)  # large enough to run without the GIL
PACKED = zlib.compress(RAW)
ADLER_FLIPPED = PACKED[:-1] + bytes([PACKED[-1] ^ 1])
EDGE_STREAMS = {
    "exact": image(3, 2, [PACKED]),
    "rgba": image(5, 4, [zlib.compress(RGBA)], 6),
    "large rgb": image(300, 200, [zlib.compress(BIG)]),
    "large rgba": image(150, 200, [zlib.compress(rows(150, 200, 4, 5))], 6),
    "trailing data": image(3, 2, [PACKED + b"after the stream"]),
    "split": image(3, 2, [PACKED[:1], b"", PACKED[1:7], PACKED[7:]]),
    "empty idat": image(3, 2, [b""]),
    "no idat": image(3, 2, []),
    "zero width": image(0, 3, [zlib.compress(b"\x09\x00\x05")]),
    "zero height": image(4, 0, [zlib.compress(b"")]),
    "zero height, data": image(4, 0, [zlib.compress(b"\x00")]),
    "one byte short": image(3, 2, [zlib.compress(RAW[:-1])]),
    "one byte over": image(3, 2, [zlib.compress(RAW + b"\x00")]),
    "far over": image(3, 2, [zlib.compress(RAW * 5000)]),
    "bad block at the bound": image(3, 2, [followed_by_bad_block(RAW)]),
    "bad block past the bound": image(3, 2, [followed_by_bad_block(RAW + b"\x01")]),
    "bad checksum": image(3, 2, [ADLER_FLIPPED]),
    "bad checksum, trailing": image(3, 2, [ADLER_FLIPPED + b"\x00"]),
    "preset dictionary": image(3, 2, [with_dictionary(RAW)]),
    "truncated": image(3, 2, [PACKED[:-6]]),
    "header only": image(3, 2, [PACKED[:2]]),
    "not zlib": image(3, 2, [b"\x78\x9c garbage"]),
    "bad window size": image(3, 2, [b"\x88" + PACKED[1:]]),
    "bad filter": image(3, 2, [zlib.compress(RAW[:10] + b"\x05" + RAW[11:])]),
    "too small to fill": png([ihdr(20000, 20000), chunk(b"IDAT", zlib.compress(b"\0")), iend()]),
}
SUITE_FILES = sorted(n for n in os.listdir(SUITE) if n.endswith(".png"))


@pytest.mark.parametrize("source", SUITE_FILES + sorted(EDGE_STREAMS))
def test_native_and_named_zlib_agree(monkeypatch, source):
    data = EDGE_STREAMS[source] if source in EDGE_STREAMS else os.path.join(SUITE, source)
    native = outcome(data)
    monkeypatch.setattr(rc, "zlib", ZlibProxy())
    assert outcome(data) == native


def _recorder(calls, function):
    def record(*args):
        calls.append(function.__name__)
        return function(*args)
    record.__name__ = function.__name__
    return record


def _module_copy(calls):
    copy = types.ModuleType("zlib")
    copy.__dict__.update(zlib.__dict__)
    for name in ("decompressobj", "decompress", "crc32"):
        setattr(copy, name, _recorder(calls, getattr(zlib, name)))
    return copy


@pytest.mark.parametrize("replace", [
    lambda m, calls: m.setattr(rc, "zlib", _module_copy(calls)),
    lambda m, calls: m.setattr(zlib, "decompressobj", _recorder(calls, zlib.decompressobj)),
    lambda m, calls: m.setattr(zlib, "crc32", _recorder(calls, zlib.crc32)),
])
def test_any_replacement_is_called_through_the_name(monkeypatch, replace):
    calls = []
    replace(monkeypatch, calls)
    assert outcome(EDGE_STREAMS["exact"])[0] == (3, 2)
    assert calls


# Inflated data whose len() disagrees with the bytes it holds: rows are read
# only from the buffer the object exports.
class Claiming(bytes):
    claimed = 0

    def __len__(self):
        return self.claimed


def _claiming(real, claimed):
    result = Claiming(real)
    result.claimed = claimed
    return result


@pytest.mark.parametrize("width, height, color_type, real, claimed", [
    (3, 2, 2, 4, 20),                    # short buffer claiming the full size
    (3, 2, 2, 400, 20),                  # long buffer claiming the full size
    (100, 100, 6, 10, 100 * 401),        # RGBA, long rows
    (2000, 1000, 2, 1, 1000 * 6001),     # a large claim over one byte
])
def test_inflated_length_is_taken_from_the_buffer(monkeypatch, width, height, color_type, real, claimed):
    class Inflater:
        eof = True

        def decompress(self, data, limit):
            return _claiming(bytes(real), claimed)

    monkeypatch.setattr(rc, "zlib", types.SimpleNamespace(decompressobj=Inflater, crc32=zlib.crc32))
    data = png([ihdr(width, height, 8, color_type), chunk(b"IDAT", b"x"), iend()])
    expect_error(ValueError, MALFORMED, rc.SimpleImage.open, data)


@pytest.mark.parametrize("chunk_type, data", [(b"IDAT", bytes(range(256)) * 400), (b"tEXt", b"")])
def test_chunk_crc_agrees_with_zlib(chunk_type, data):
    framed = chunk(chunk_type, data)
    assert rc._makeChunk(chunk_type, data) == framed
    assert rc._readChunk(_Stream(framed)) == (chunk_type, data)
    bad = framed[:-1] + bytes([framed[-1] ^ 0x80])
    expect_error(ValueError, "Corrupted PNG chunk detected", rc._readChunk, _Stream(bad))


class _Stream:
    def __init__(self, data):
        self.data, self.offset = data, 0

    def read(self, n):
        piece = self.data[self.offset:self.offset + n]
        self.offset += len(piece)
        return piece


def test_file_chunk_data_is_read_in_bounded_pieces(tmp_path):
    # A 26-byte file declaring 2 GiB of chunk data (as much as the largest image
    # could hold) must not reserve it: under a 1 GiB address-space limit the
    # reader still reports the short data.
    tiny = tmp_path / "tiny.png"
    tiny.write_bytes(png([struct.pack(">I", 0x7FFFFFF0) + b"IDAT" + b"\0" * 10]))
    large = tmp_path / "large.bin"
    body = bytes(range(251)) * (((40 << 20) + 7) // 251)
    large.write_bytes(chunk(b"IDAT", body))
    script = """
import resource, sys
from Lumivex.rasterCore_ext import SimpleImage, _readChunk
with open(sys.argv[2], "rb") as f:
    chunk_type, data = _readChunk(f)
    assert (chunk_type, data) == (b"IDAT", bytes(range(251)) * (((40 << 20) + 7) // 251))
del data
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
try:
    SimpleImage.open(sys.argv[1])
except ValueError as exc:
    print(exc)
"""
    if os.environ.get("LUMIVEX_SANITIZED"):
        pytest.skip("the sanitizer runtime needs more address space than the limit allows")
    assert run_ok(script, str(tiny), str(large)).strip() == "Unexpected EOF while reading chunk data"


class _RecordingReader(io.BufferedReader):
    def read(self, n=-1):
        self.sizes.append(n)
        return super().read(n)


def _subclassed(path):
    reader = _RecordingReader(io.FileIO(str(path)))
    reader.sizes = []
    return reader, reader.sizes


def _read_replaced(path):
    reader, sizes = open(str(path), "rb"), []
    plain = reader.read
    reader.read = lambda n: sizes.append(n) or plain(n)
    return reader, sizes


@pytest.mark.parametrize("make", [_subclassed, _read_replaced])
def test_other_readers_get_one_read_of_the_declared_length(tmp_path, make):
    path = tmp_path / "chunk.bin"
    body = bytes(range(256)) * ((17 << 20) // 256 + 1)
    path.write_bytes(chunk(b"IDAT", body))
    reader, sizes = make(path)
    with reader:
        assert rc._readChunk(reader) == (b"IDAT", body)
    assert sizes == [4, 4, len(body), 4]


def pieces(data, *sizes):
    """data cut into pieces of the given sizes, the last size repeated to the end."""
    out, at = [], 0
    for size in sizes[:-1] + (sizes[-1],) * len(data):
        if at >= len(data):
            return out
        out.append(data[at:at + size])
        at += size
    return out


# Runs of IDAT chunks of one length, as encoders write them, and such runs cut inside each part of a chunk.
LARGE = zlib.compress(BIG)
RUN = image(300, 200, pieces(LARGE, 1000))
RUN_CHUNK = 1000 + 12
RUN_START = len(png([ihdr(300, 200)]))  # where the first IDAT chunk starts
RUN_CASES = {
    "run": RUN,
    "run of 17-byte chunks": image(300, 200, pieces(LARGE, 17)),
    "run, lengths changing": image(300, 200, pieces(LARGE, 700, 700, 300, 300, 300, 1000)),
    "run, empty chunks": image(300, 200, [b"", b"", b""] + pieces(LARGE, 1000) + [b"", b""]),
    "run, bad crc in the middle": png([ihdr(300, 200)] + [chunk(b"IDAT", d, bad_crc=i == 3)
                                                          for i, d in enumerate(pieces(LARGE, 1000))] + [iend()]),
    "run, a chunk of the same length not idat": png(
        [ihdr(300, 200)] + [chunk(b"tEXt" if i == 2 else b"IDAT", d) for i, d in enumerate(pieces(LARGE, 1000))]
        + [iend()]),
    "run, no iend": RUN[:-12],
}
for where, offset in {"in data": 500, "in crc": 1002, "in next length": 1006, "in next type": 1010,
                      "at next chunk": 1012}.items():
    RUN_CASES[f"run, cut {where}"] = RUN[:RUN_START + 2 * RUN_CHUNK + offset]

# Files opened by path, and bytes, are read by the codec itself; a stream of
# another kind gets each chunk through _readChunk. Both must give the same outcome.
FILE_CASES = dict(EDGE_STREAMS, **RUN_CASES, **{
    "idat among other chunks": png([ihdr(3, 2), chunk(b"IDAT", PACKED[:5]), chunk(b"tEXt", b"k\0v"),
                                    chunk(b"IDAT", PACKED[5:]), iend()]),
    "bad crc in the second idat": png([ihdr(3, 2), chunk(b"IDAT", PACKED[:5]), chunk(b"IDAT", PACKED[5:], bad_crc=True),
                                       iend()]),
    "five idat pieces": image(3, 2, [PACKED[:3], PACKED[3:6], PACKED[6:9], PACKED[9:12], PACKED[12:]]),
    "idat data cut short": image(3, 2, [PACKED])[:-20],
    "idat crc cut short": image(3, 2, [PACKED])[:-14],
    "idat length past the end": png([ihdr(3, 2), struct.pack(">I", 1 << 20) + b"IDAT" + PACKED]),
})


class _SwappingZlib(ZlibProxy):
    """Swaps the module's _readChunk for a Python wrapper and back at each chunk's data checksum, so
    that native and Python-level chunk reads alternate within one file."""

    def __init__(self, real):
        self.real = real
        self.wrapper = lambda stream: real(stream)

    def crc32(self, data, *running):
        if running:
            rc._readChunk = self.wrapper if rc._readChunk is self.real else self.real
        return zlib.crc32(data, *running)


@pytest.mark.parametrize("name", sorted(FILE_CASES))
def test_files_read_natively_agree_with_streams(tmp_path, monkeypatch, name):
    path = tmp_path / "case.png"
    path.write_bytes(FILE_CASES[name])
    expected = outcome(FILE_CASES[name])
    assert outcome(str(path)) == expected
    monkeypatch.setattr(rc, "_readChunk", rc._readChunk)
    monkeypatch.setattr(rc, "zlib", _SwappingZlib(rc._readChunk))
    assert outcome(str(path)) == expected


def test_a_sparse_file_larger_than_memory_still_opens(tmp_path):
    # The IDAT buffer is sized from the file, but a file may claim more than the
    # address space holds: under a 512 MiB limit, an 8 GiB sparse file opens.
    path = tmp_path / "sparse.png"
    with open(str(path), "wb") as handle:
        handle.write(EDGE_STREAMS["split"])
        handle.truncate(8 << 30)
    script = """
import resource, sys
from Lumivex.rasterCore_ext import SimpleImage
resource.setrlimit(resource.RLIMIT_AS, (512 << 20, resource.RLIM_INFINITY))
print(SimpleImage.open(sys.argv[1]).size)
"""
    if os.environ.get("LUMIVEX_SANITIZED"):
        pytest.skip("the sanitizer runtime needs more address space than the limit allows")
    assert run_ok(script, str(path)).strip() == "(3, 2)"


class _Reader(io.BufferedReader):
    """A reader the module does not take for a plain file: chunks are read one by one through it."""


def _decode_and_tell(reader):
    with reader:
        try:
            result = rc.SimpleImage._streamToImage(reader)[:2]
        except Exception as exc:  # compared as type and message
            result = type(exc), str(exc)
        return result, reader.tell()


@pytest.mark.parametrize("name", sorted(RUN_CASES) + ["idat among other chunks", "bad crc in the second idat"])
def test_a_stream_is_left_where_reading_chunk_by_chunk_leaves_it(tmp_path, name):
    path = tmp_path / "case.png"
    path.write_bytes(FILE_CASES[name])
    expected = _decode_and_tell(_Reader(io.FileIO(str(path))))
    assert _decode_and_tell(open(str(path), "rb")) == expected
