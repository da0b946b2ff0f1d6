"""SimpleImage.open of a file against SimpleImage.open of its bytes.

The buffered reader `open` returns for a path and the BytesIO made for bytes
must lead to the same image or the same exception: reading a file may not
behave differently, for instance by reserving memory for a length the file
cannot hold (the allocator refuses more than 2 GiB here, so such a reservation
shows as a MemoryError).
"""
from common import decoded, describe, run, scratch_path

from Lumivex.rasterCore_ext import SimpleImage


def test_one_input(data):
    path = scratch_path("input")
    with open(path, "wb") as file:
        file.write(data)
    from_path = decoded(SimpleImage.open, path)
    from_bytes = decoded(SimpleImage.open, data)
    assert from_bytes == from_path, "bytes give %s, the path %s" % (describe(from_bytes), describe(from_path))


if __name__ == "__main__":
    run(test_one_input)
