"""BMP and SimpleImage under hostile input: pixel objects whose length is not
their size, files claiming endless empty rows, a buffer resized by another
thread while it is saved, allocations the system refuses; and the writer's
batching of rows."""
import os
import random
import struct
import threading
from array import array

import pytest

import bmpbytes
from helpers import expect_error, run_ok
from Lumivex import rasterCore_ext as rc
from Lumivex.rasterCore_ext import SimpleImage

MISMATCH = "Pixel data length does not match image dimensions"


class BytesClaimingThree(bytes):
    def __len__(self):
        return 3


class ByteArrayClaimingThree(bytearray):
    def __len__(self):
        return 3


# Each passes the len() test for a 1 x 1 image; the buffer kept would not match it.
@pytest.mark.parametrize("pixels", [
    array("H", [1, 2, 3]),              # three items of two bytes
    memoryview(bytes(12)).cast("I"),    # three items of four bytes
    BytesClaimingThree(bytes(6)),       # a __len__ that lies about a longer buffer
    ByteArrayClaimingThree(b"\x01"),    # ... and about a shorter one
], ids=["array-H", "memoryview-I", "bytes-longer", "bytearray-shorter"])
def test_constructor_checks_the_buffer_it_keeps(pixels):
    expect_error(ValueError, MISMATCH, SimpleImage, 1, 1, pixels)


def test_zero_width_rows_take_no_time_to_read_or_write(tmp_path):
    # 54 bytes claiming 2^31 - 1 or 2^31 empty rows; a writer asked for as many.
    run_ok("""
    import struct, sys
    from Lumivex import rasterCore_ext as rc
    from Lumivex.rasterCore_ext import SimpleImage

    def bmp(height):
        return (b"BM" + struct.pack("<IHHI", 54, 0, 0, 54) + struct.pack("<I", 40)
                + struct.pack("<iiHHIIiiII", 0, height, 1, 24, 0, 0, 0, 0, 0, 0))

    assert SimpleImage.open(bmp(2 ** 31 - 1)).size == (0, 2 ** 31 - 1)
    try:
        SimpleImage.open(bmp(-2 ** 31))
    except OverflowError:
        pass
    else:
        raise AssertionError("a height of 2^31 was accepted")
    path = sys.argv[1]
    for save in (lambda: rc._writeBmp(path, 0, 2 ** 31 - 1, b""),
                 lambda: SimpleImage(0, 2 ** 31 - 1, b"").saveBmp(path)):
        save()
        with open(path, "rb") as f:
            data = f.read()
        assert len(data) == 54 and struct.unpack_from("<ii", data, 18) == (0, 2 ** 31 - 1)
    """, str(tmp_path / "empty.bmp"), timeout=30)


def test_refused_pixel_buffer_prints_nothing():
    # 3,000,000 x 2,000,000 pixels: an allocation no system grants. Only the
    # MemoryError may come out, never a message printed on the way.
    out = run_ok("""
    import os, struct, sys
    os.dup2(1, 2)  # whatever would go to stderr reaches the parent on stdout
    from Lumivex.rasterCore_ext import SimpleImage
    data = (b"BM" + struct.pack("<IHHI", 0, 0, 0, 54) + struct.pack("<I", 40)
            + struct.pack("<iiHHIIiiII", 3000000, 2000000, 1, 24, 0, 0, 0, 0, 0, 0))
    for _ in range(100):
        try:
            SimpleImage.open(data)
        except MemoryError:
            pass
    """)
    # A sanitizer build reports each refused allocation itself.
    printed = [line for line in out.splitlines() if "AddressSanitizer failed to allocate" not in line]
    assert printed == []


def test_buffer_cannot_be_resized_while_it_is_saved(tmp_path):
    # The file is a pipe read by another thread: the writer blocks on it
    # mid-rows, the reader tries to empty the pixel buffer, then takes the rest.
    width, height = 1000, 400
    pixels = bytearray(os.urandom(width * height * 3))
    reference = tmp_path / "reference.bmp"
    rc._writeBmp(str(reference), width, height, pixels)
    read_fd, write_fd = os.pipe()
    received, refusals = [], []

    def reader():
        with os.fdopen(read_fd, "rb") as pipe:
            received.append(pipe.read(65536))
            try:
                del pixels[:]
            except BufferError as exc:
                refusals.append(exc)
            received.append(pipe.read())

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        rc._writeBmp(write_fd, width, height, pixels)
    finally:
        thread.join()
    assert len(refusals) == 1 and len(pixels) == width * height * 3
    assert b"".join(received) == reference.read_bytes()


def stored_rows(width, height, rgb):
    """The pixel array by slicing: BGR rows, bottom row first, zero padded."""
    pad = bytes(bmpbytes.row_stride(width) - 3 * width)
    rows = []
    for y in reversed(range(height)):
        row = rgb[3 * width * y:3 * width * (y + 1)]
        bgr = bytearray(len(row))
        bgr[0::3], bgr[1::3], bgr[2::3] = row[2::3], row[1::3], row[0::3]
        rows += [bytes(bgr), pad]
    return b"".join(rows)


# Row batches: several per file, a last one shorter, rows wider than a batch.
@pytest.mark.parametrize("width, height", [(1000, 100), (1, 70000), (99999, 2), (100001, 1)])
def test_batched_rows_give_the_same_file(tmp_path, width, height):
    size = width * height * 3
    rgb = random.Random(width + height).getrandbits(8 * size).to_bytes(size, "little")
    path = tmp_path / "batched.bmp"
    rc._writeBmp(str(path), width, height, rgb)
    stride = bmpbytes.row_stride(width)
    headers = bmpbytes.file_header(54, 54 + stride * height) + bmpbytes.info_header(
        width, height, image_size=stride * height)
    assert path.read_bytes() == headers + stored_rows(width, height, rgb)


# Files by path are read many rows at a time; the outcome must be that of one
# read per row, as from the same bytes in memory.
_WIDE = bmpbytes.bmp(1000, 200, bytes(range(256)) * 2343 + bytes(192))  # 3000-byte rows, 87 per read


@pytest.mark.parametrize("data", [
    _WIDE, _WIDE + b"trailing", _WIDE[:54 + 3000 * 150], _WIDE[:54 + 3000 * 87 + 5],
    _WIDE[:54 + 3000 * 200 - 1], bmpbytes.bmp(7, 3000, (bytes(range(251)) * 251)[:63000], top_down=True),
    bmpbytes.bmp(3, 2, b"abcdefghijklmnopqr", pixel_offset=10 ** 6),
], ids=["whole", "trailing", "cut-at-row", "cut-mid-row", "last-byte-missing", "top-down", "offset-past-end"])
def test_plain_files_decode_as_the_same_bytes_in_memory(tmp_path, data):
    path = tmp_path / "image.bmp"
    path.write_bytes(data)
    outcomes = []
    for source in (str(path), data):
        try:
            image = SimpleImage.open(source)
            outcomes.append((image.size, bytes(image._pixels)))
        except ValueError as exc:
            outcomes.append(str(exc))
    assert outcomes[0] == outcomes[1]


def test_a_file_whose_read_is_replaced_gets_one_read_per_row(tmp_path):
    path = tmp_path / "image.bmp"
    path.write_bytes(bmpbytes.bmp(2, 3, bytes(18)))
    with open(str(path), "rb") as stream:
        sizes, read = [], stream.read
        stream.read = lambda n: (sizes.append(n), read(n))[1]
        assert SimpleImage._streamToImage(stream) == (2, 3, bytearray(18))
    assert sizes == [8, 14, 4, 36, 8, 8, 8]
