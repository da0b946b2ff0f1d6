"""Reading and framing single PNG chunks: _readChunk and _makeChunk."""
import io
import struct
import zlib

import pytest

import Lumivex.rasterCore_ext as rc
from helpers import RecordingStream, expect_error
from pngbytes import chunk

EOF_MESSAGES = {
    "Unexpected EOF while reading chunk length",
    "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data",
    "Unexpected EOF while reading chunk CRC",
}
CORRUPT = "Corrupted PNG chunk detected"
SAMPLE = chunk(b"tEXt", b"Title\x00hello")


@pytest.mark.parametrize("chunk_type, data", [
    (b"IHDR", bytes(range(13))),
    (b"IDAT", bytes(range(256)) * 5),
    (b"abCD", b""),
])
def test_read_issues_exactly_four_reads_and_returns_the_read_objects(chunk_type, data):
    stream = RecordingStream(chunk(chunk_type, data) + b"trailing")
    result = rc._readChunk(stream)
    assert type(result) is tuple and result == (chunk_type, data)
    assert stream.calls == [("read", 4), ("read", 4), ("read", len(data)), ("read", 4)]
    # The tuple holds the very objects the stream returned, not copies.
    assert result[0] is stream.results[1] and result[1] is stream.results[2]
    assert stream.tell() == 12 + len(data)


def test_end_of_stream_and_consecutive_chunks():
    first, second = chunk(b"IHDR", b"\x01\x02"), chunk(b"IEND")
    stream = RecordingStream(first + second)
    assert rc._readChunk(stream) == (b"IHDR", b"\x01\x02")
    assert rc._readChunk(stream) == (b"IEND", b"")
    stream.calls.clear()
    assert rc._readChunk(stream) == (b"", b"")
    assert rc._readChunk(stream=stream) == (b"", b"")
    assert stream.calls == [("read", 4), ("read", 4)]


def _truncated(n):
    return SAMPLE[:n]


@pytest.mark.parametrize("data, message, reads", [
    (_truncated(1), "Unexpected EOF while reading chunk length", 1),
    (_truncated(3), "Unexpected EOF while reading chunk length", 1),
    (_truncated(4), "Unexpected EOF while reading chunk type", 2),
    (_truncated(7), "Unexpected EOF while reading chunk type", 2),
    (_truncated(8), "Unexpected EOF while reading chunk data", 3),
    (_truncated(len(SAMPLE) - 5), "Unexpected EOF while reading chunk data", 3),
    (_truncated(len(SAMPLE) - 4), "Unexpected EOF while reading chunk CRC", 4),
    (_truncated(len(SAMPLE) - 1), "Unexpected EOF while reading chunk CRC", 4),
    (chunk(b"tEXt", b"x", length=0xFFFFFFFF), "Unexpected EOF while reading chunk data", 3),
    (chunk(b"tEXt", b"x", bad_crc=True), CORRUPT, 4),
])
def test_read_failures_and_where_reading_stops(data, message, reads):
    stream = RecordingStream(data)
    expect_error(ValueError, message, rc._readChunk, stream)
    assert len(stream.calls) == reads and all(c[0] == "read" for c in stream.calls)


class _ScriptedStream:
    """Returns the given objects from successive reads, whatever size is asked."""

    def __init__(self, *results):
        self._results = list(results)

    def read(self, n):
        return self._results.pop(0)


@pytest.mark.parametrize("results, message", [
    ((b"\x00\x00\x00\x00\x00",), "Unexpected EOF while reading chunk length"),
    ((b"\x00\x00\x00\x00", b"IENDX"), "Unexpected EOF while reading chunk type"),
    ((b"\x00\x00\x00\x01", b"IEND", b"ab"), "Unexpected EOF while reading chunk data"),
    ((b"\x00\x00\x00\x00", b"IEND", b"", b"\xaeB`\x82\x00"), "Unexpected EOF while reading chunk CRC"),
    ((b"\x00\x00\x00\x00", b"IEND", b"", b""), "Unexpected EOF while reading chunk CRC"),
])
def test_reads_returning_too_many_or_no_bytes(results, message):
    expect_error(ValueError, message, rc._readChunk, _ScriptedStream(*results))


def test_stream_errors_propagate_unchanged():
    failure = OSError("disk gone")

    class Failing:
        def read(self, n):
            raise failure

    with pytest.raises(OSError) as info:
        rc._readChunk(Failing())
    assert info.value is failure
    expect_error(TypeError, "object of type 'NoneType' has no len()",
                 rc._readChunk, _ScriptedStream(None))


@pytest.mark.parametrize("stored_crc, ok", [
    (zlib.crc32(b"tEXtdata") & 0xFFFFFFFF, True),
    (zlib.crc32(b"datatEXt") & 0xFFFFFFFF, False),
    (zlib.crc32(b"data") & 0xFFFFFFFF, False),
    (zlib.crc32(b"\x00\x00\x00\x04tEXtdata") & 0xFFFFFFFF, False),
])
def test_crc_covers_type_then_data_only(stored_crc, ok):
    stream = io.BytesIO(chunk(b"tEXt", b"data", crc=stored_crc))
    if ok:
        assert rc._readChunk(stream) == (b"tEXt", b"data")
    else:
        with pytest.raises(ValueError, match="^" + CORRUPT + "$"):
            rc._readChunk(stream)


def test_every_bit_flip_is_caught():
    for byte in range(4, len(SAMPLE)):  # type, data and CRC
        for bit in range(8):
            damaged = bytearray(SAMPLE)
            damaged[byte] ^= 1 << bit
            with pytest.raises(ValueError, match="^" + CORRUPT + "$"):
                rc._readChunk(io.BytesIO(bytes(damaged)))
    for bit in range(32):  # the length field: an EOF or a CRC failure
        damaged = bytearray(SAMPLE + chunk(b"IEND"))
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError) as info:
            rc._readChunk(io.BytesIO(bytes(damaged)))
        assert str(info.value) in EOF_MESSAGES | {CORRUPT}


def test_iend_vector_both_ways():
    vector = bytes.fromhex("0000000049454e44ae426082")
    assert rc._makeChunk(b"IEND", b"") == vector
    assert rc._readChunk(io.BytesIO(vector)) == (b"IEND", b"")


@pytest.mark.parametrize("chunk_type", [b"IDAT", b"tEXt", b"\x00\xff\x80A"])
@pytest.mark.parametrize("size", [0, 1, 13, 70000])
def test_make_chunk_layout_and_round_trip(chunk_type, size):
    data = bytes((i * 7 + size) & 0xFF for i in range(size))
    made = rc._makeChunk(chunk_type, data)
    assert type(made) is bytes
    assert made == struct.pack(">I", size) + chunk_type + data + struct.pack(
        ">I", zlib.crc32(chunk_type + data) & 0xFFFFFFFF)
    stream = io.BytesIO(made + b"tail")
    assert rc._readChunk(stream) == (chunk_type, data)
    assert stream.tell() == len(made)


@pytest.mark.parametrize("chunk_type", [b"", b"abc", b"abcde"])
def test_make_chunk_takes_any_type_length(chunk_type):
    made = rc._makeChunk(chunk_type, b"xy")
    assert len(made) == len(chunk_type) + 2 + 8
    assert made[:4] == b"\x00\x00\x00\x02" and made[4:-4] == chunk_type + b"xy"
    assert made[-4:] == struct.pack(">I", zlib.crc32(chunk_type + b"xy"))
