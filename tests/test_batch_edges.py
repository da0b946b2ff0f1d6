"""What a batch must never do to a user's folder (replace an input, read its
own outputs, hang on a FIFO, leave temporary files when killed), pipes given
as paths, and the small surfaces around open, read_stack and write_png."""
import os
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest
from PIL import Image

import Lumivex
from bmpbytes import bmp, bmp_file, header
from pngbytes import rgb_png
from test_cli import PACKAGE_ROOT, run

PIXELS = bytes(range(24))


def pixels_of(path):
    with Image.open(path) as picture:
        return picture.format, picture.convert("RGB").tobytes()


@pytest.fixture(name="folder")
def folder_fixture(tmp_path):
    """in/ holds a.png (RGBA), a.bmp (other pixels, the same output name) and b.png."""
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.png").write_bytes(rgb_png(2, 3, PIXELS, color_type=6))
    (tmp_path / "in" / "a.bmp").write_bytes(bmp(4, 2, PIXELS[::-1]))
    (tmp_path / "in" / "b.png").write_bytes(rgb_png(2, 4, PIXELS))
    return tmp_path


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def linked_output(tmp_path):
    (tmp_path / "out").mkdir()
    os.link(str(tmp_path / "in" / "b.png"), str(tmp_path / "out" / "b.png"))
    return ["in", "--out-dir", "out"]


# (arguments, or a function of the folder that prepares it and returns them; status; stderr lines' starts)
@pytest.mark.parametrize("args, status, messages", [
    (["in", "--out-dir", "in"], 2,
     ["lumivex: refused: the output in/a.png of in/a.bmp would replace the input in/a.png: outputs never replace "
      "inputs (to convert files in place, use --in-place)"]),
    (["in", "--out-dir", "in/.", "--format", "bmp"], 2,
     ["lumivex: refused: the output in/./a.bmp of in/a.bmp would replace the input in/a.bmp"]),
    (linked_output, 2, ["lumivex: refused: the output out/b.png of in/b.png would replace the input in/b.png"]),
], ids=["same folder", "same folder by another path", "an output hard-linked to an input"])
def test_a_batch_whose_output_is_an_input_is_refused_before_writing(folder, args, status, messages):
    if callable(args):
        args = args(folder)
    before = snapshot(folder)
    result = run(folder, "convert", *args)
    assert result.returncode == status
    assert [line[:len(start)] for line, start in zip(result.stderr.splitlines(), messages)] == messages
    assert len(result.stderr.splitlines()) == len(messages)
    assert snapshot(folder) == before


def test_reruns_into_a_subfolder_never_read_their_own_outputs(folder):
    for _ in range(3):
        result = run(folder, "convert", "in", "--out-dir", "in/out", "--recursive")
        assert result.returncode == 1  # a.bmp and a.png share an output name
    assert sorted(snapshot(folder / "in" / "out")) == ["a.png", "b.png"]


def test_in_place_replaces_each_file_by_its_conversion_in_its_own_format(folder):
    (folder / "in" / "sub").mkdir()
    (folder / "in" / "sub" / "c.bmp").write_bytes(bmp(4, 2, PIXELS))
    before = {name: pixels_of(folder / "in" / name) for name in ("a.png", "a.bmp", "b.png", "sub/c.bmp")}
    result = run(folder, "convert", "in", "--in-place", "--recursive")
    assert result.returncode == 0 and result.stderr.splitlines()[-1].startswith("lumivex: converted 4, failed 0")
    assert {name: pixels_of(folder / "in" / name) for name in before} == before
    assert not [name for name in os.listdir(folder / "in") if name.startswith(".")]


def test_a_fifo_in_a_folder_is_one_failure_and_never_opened(folder):
    os.mkfifo(str(folder / "in" / "c.png"))
    result = run(folder, "convert", "in", "--out-dir", "out")  # run() gives up after 60 s
    assert "lumivex: in/c.png: not a regular file" in result.stderr.splitlines()
    assert sorted(snapshot(folder / "out")) == ["a.png", "b.png"]


@pytest.mark.parametrize("number, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_a_signal_ends_a_batch_at_once_whatever_a_worker_waits_on(folder, number, status):
    os.mkfifo(str(folder / "fifo.png"))  # named, so opened: its worker waits for a writer that never comes
    command = [sys.executable, "-m", "Lumivex", "convert", "fifo.png", "in/b.png", "--out-dir", "out"]
    # The command handles a signal only where it finds it at its default: the
    # test's own runner may have been started ignoring it (nohup ignores SIGHUP).
    process = subprocess.Popen(command, cwd=str(folder), env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                               stderr=subprocess.PIPE, universal_newlines=True,
                               preexec_fn=lambda: signal.signal(number, signal.SIG_DFL))
    while not (folder / "out" / "b.png").exists():
        assert process.poll() is None, process.communicate()[1]  # never waits on a command that has ended
        time.sleep(0.01)
    time.sleep(0.2)  # its result reported too
    process.send_signal(number)
    _, stderr = process.communicate(timeout=30)
    assert process.returncode == status
    assert stderr.splitlines()[-1].startswith("lumivex: interrupted: converted 1, failed 0; "
                                              "1 not converted (stopped, or never started); ")
    assert os.listdir(folder / "out") == ["b.png"]


def test_pipes_as_paths_and_dash_for_the_standard_streams(folder):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    png = (folder / "in" / "b.png").read_bytes()
    convert = [sys.executable, "-m", "Lumivex", "convert"]
    piped = subprocess.run(convert + ["/dev/stdin", "from-pipe.bmp"], input=png, cwd=str(folder), env=env)
    assert piped.returncode == 0
    streamed = subprocess.run(convert + ["-", "-", "--format", "bmp"], input=png, cwd=str(folder), env=env,
                              stdout=subprocess.PIPE)
    assert streamed.returncode == 0
    (folder / "streamed.bmp").write_bytes(streamed.stdout)
    expected = ("BMP", pixels_of(folder / "in" / "b.png")[1])
    assert pixels_of(folder / "from-pipe.bmp") == pixels_of(folder / "streamed.bmp") == expected


def rle_without_width(bits):
    # 2^31 - 1 rows of no pixels, each ended by an end-of-row item, then end of bitmap.
    return bmp_file(header(40, 0, 2 ** 31 - 1, bits, compression={8: 1, 4: 2}[bits], colours=1), [b"\0\0" * 4 + b"\0\1"],
                    bytes(4))


class ShortWrites:
    """An unbuffered stream's write: it takes at most `most` bytes, or returns `answer`."""

    def __init__(self, most, answer=None):
        self.most, self.answer, self.data = most, answer, bytearray()

    def write(self, data):
        if self.most == 0:
            return self.answer
        taken = bytes(data[:self.most])
        self.data += taken
        return len(taken)


PNG = rgb_png(2, 4, PIXELS)
SPACED = bytes(value for byte in PNG for value in (byte, 0))  # the file's bytes, each followed by a zero


def through_a_pipe(data):
    reading, writing = os.pipe()
    threading.Thread(target=lambda: (os.write(writing, data), os.close(writing))).start()
    try:
        return Lumivex.open(f"/dev/fd/{reading}")
    finally:
        os.close(reading)


def without_stepping_through_rows(bits):
    started = time.monotonic()
    image = Lumivex.open(rle_without_width(bits), max_pixels=None)
    assert time.monotonic() - started < 2  # a hang guard, not a speed goal: the 2^31 row steps took seconds
    return image


@pytest.mark.parametrize("read, size", [
    (lambda: Lumivex.open(memoryview(SPACED)[::2]), (2, 4)),
    (lambda: Lumivex.open(numpy.frombuffer(SPACED, numpy.uint8)[::2]), (2, 4)),
    (lambda: through_a_pipe(PNG), (2, 4)),
    (lambda: without_stepping_through_rows(8), (0, 2 ** 31 - 1)),
    (lambda: without_stepping_through_rows(4), (0, 2 ** 31 - 1)),
], ids=["strided memoryview", "strided array", "pipe by path", "zero-width RLE8", "zero-width RLE4"])
def test_sources_open_reads_as_their_bytes(read, size):
    image = read()
    assert image.size == size
    if size == (2, 4):
        assert bytes(image._pixels) == bytes(Lumivex.open(PNG)._pixels)


def test_a_stacks_first_header_is_checked_as_open_checks_it(tmp_path):
    from Lumivex import dask as lumivex_dask
    (tmp_path / "wide.bmp").write_bytes(bmp_file(header(40, -5, 3, 24), [bytes(16)] * 3))
    with pytest.raises(ValueError, match=f"^{tmp_path / 'wide.bmp'}: negative count"):
        lumivex_dask.read_stack(str(tmp_path / "wide.bmp"))


@pytest.mark.parametrize("stream, error", [
    (ShortWrites(1000), None),
    (ShortWrites(0, None), "write\\(\\) took none of the last \\d+ bytes \\(it returned None\\)"),
    (ShortWrites(0, 0), "write\\(\\) took none of the last \\d+ bytes \\(it returned 0\\)"),
], ids=["short writes", "would block", "nothing taken"])
def test_write_png_keeps_writing_until_every_byte_is_taken(stream, error):
    image = Lumivex.SimpleImage(64, 64, bytearray(os.urandom(64 * 64 * 3)))
    if error is None:
        Lumivex.write_png(image, stream, level=1)
        assert bytes(stream.data) == Lumivex.encode_png(image, level=1)
    else:
        with pytest.raises(OSError, match=error):
            Lumivex.write_png(image, stream, level=1)
