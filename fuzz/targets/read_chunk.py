"""_readChunk on streams that answer read(n) in every way a stream can.

The input scripts a stream: backing bytes and, per read, how to answer it
(honestly, short, as a bytearray or memoryview, with a bytes subclass whose
len() lies, with None or a str, or by raising). The module's function and a
plain-Python model of the chunk reader get identical fresh streams, and must
make the same reads and return the same objects or raise the same exception.
"""
import struct
import zlib

import atheris

from common import DOCUMENTED, StreamFault, describe, outcome, run

import Lumivex.rasterCore_ext as rc

ALLOWED = DOCUMENTED + (StreamFault,)


class LyingBytes(bytes):
    """bytes whose len() is whatever it was told to claim."""

    def __new__(cls, value, claimed):
        self = super().__new__(cls, value)
        self.claimed = claimed
        return self

    def __len__(self):
        return self.claimed


class ScriptedStream:
    """Answers each read by the next step of a script; records what was asked and returned."""

    def __init__(self, backing, script):
        self.backing, self.position, self.script = backing, 0, script
        self.requests, self.returned = [], []

    def take(self, size):
        piece = self.backing[self.position:self.position + max(size, 0)]
        self.position += len(piece)
        return piece

    def read(self, size):
        self.requests.append(size)
        kind, parameter = self.script[len(self.requests) - 1] if len(self.requests) <= len(self.script) else (0, 0)
        if kind == 0:
            answer = self.take(size)
        elif kind == 1:
            answer = self.take(min(size, parameter))
        elif kind == 2:
            answer = bytearray(self.take(size))
        elif kind == 3:
            answer = memoryview(self.take(size))
        elif kind == 4:
            answer = LyingBytes(self.take(parameter), size)
        elif kind == 5:
            answer = LyingBytes(self.take(size), parameter)
        elif kind == 6:
            answer = (None, "abcd", 4, [1, 2, 3, 4])[parameter % 4]
        else:
            raise StreamFault("read %d refused" % len(self.requests))
        self.returned.append(answer)
        return answer


def model_read_chunk(stream):
    """The chunk reader, step by step as the format describes it."""
    lengthBytes = stream.read(4)
    if len(lengthBytes) == 0:
        return (b"", b"")
    if len(lengthBytes) != 4:
        raise ValueError("Unexpected EOF while reading chunk length")
    (length,) = struct.unpack(">I", lengthBytes)
    chunkType = stream.read(4)
    if len(chunkType) != 4:
        raise ValueError("Unexpected EOF while reading chunk type")
    data = stream.read(length)
    if len(data) != length:
        raise ValueError("Unexpected EOF while reading chunk data")
    crc = stream.read(4)
    if len(crc) != 4:
        raise ValueError("Unexpected EOF while reading chunk CRC")
    actualCrc = zlib.crc32(data, zlib.crc32(chunkType)) & 0xFFFFFFFF
    (expectedCrc,) = struct.unpack(">I", crc)
    if expectedCrc != actualCrc:
        raise ValueError("Corrupted PNG chunk detected")
    return (chunkType, data)


def summarise(result, stream):
    """The outcome with each returned object named by the read that produced it."""
    if result[0] != "ok":
        return result
    named = []
    for item in result[1]:
        index = next((i for i, answer in enumerate(stream.returned) if answer is item), None)
        # Only the end-of-stream pair may be objects that no read returned.
        named.append(index if index is not None else ("new", type(item), bytes(item)))
    return ("ok", named)


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    script = [(provider.ConsumeIntInRange(0, 7), provider.ConsumeIntInRange(0, 16)) for _ in range(provider.ConsumeIntInRange(0, 4))]
    if provider.ConsumeBool():
        script = [(0, 0)] * len(script)  # mostly honest streams: that is where chunks get parsed
    backing = provider.ConsumeBytes(provider.remaining_bytes())
    results = []
    for reader in (rc._readChunk, model_read_chunk):
        stream = ScriptedStream(backing, script)
        result = outcome(reader, stream, allowed=ALLOWED)
        results.append((summarise(result, stream), stream.requests))
    (actual, actualReads), (expected, expectedReads) = results
    assert actualReads == expectedReads, "reads %r, expected %r" % (actualReads, expectedReads)
    assert actual == expected, "gave %s, expected %s" % (describe(actual), describe(expected))


if __name__ == "__main__":
    run(test_one_input)
