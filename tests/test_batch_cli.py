"""lumivex convert over many files, lumivex info from headers alone, and what
the command line says about itself."""
import io
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest
from PIL import Image

import Lumivex
from Lumivex import _cli_output
from bmpbytes import bmp, bmp_file, header
from pngbytes import rgb_png
from test_cli import PACKAGE_ROOT, run

PIXELS = bytes(range(24))
SUMMARY = re.compile(r"lumivex: converted (\d+), failed (\d+); [\d.]+ (bytes|kB|MB) in, [\d.]+ (bytes|kB|MB) out; "
                     r"[\d.]+ s(?:; alpha dropped from (\d+) files? \(outputs are RGB\))?$")


@pytest.fixture(name="tree")
def tree_fixture(tmp_path):
    """in/ holds a.png, a.BMP (the same output name), rgba.png, broken.png, notes.txt,
    sub/c.png and a link to sub; loose.bmp lies outside it."""
    folder = tmp_path / "in"
    (folder / "sub").mkdir(parents=True)
    (folder / "a.png").write_bytes(rgb_png(2, 4, PIXELS))
    (folder / "a.BMP").write_bytes(bmp(4, 2, PIXELS))
    (folder / "rgba.png").write_bytes(rgb_png(2, 3, PIXELS, color_type=6))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(20))
    (folder / "notes.txt").write_text("not an image")
    (folder / "sub" / "c.png").write_bytes(rgb_png(1, 8, PIXELS))
    (folder / "linked").symlink_to("sub")
    (tmp_path / "loose.bmp").write_bytes(bmp(4, 2, PIXELS))
    return tmp_path


def test_batch_notes_dropped_alpha_once_and_counts_every_file(tmp_path):
    (tmp_path / "in").mkdir()
    for name in ("a.png", "b.png", "c.png"):
        (tmp_path / "in" / name).write_bytes(rgb_png(2, 3, PIXELS, color_type=6))
    (tmp_path / "in" / "d.png").write_bytes(rgb_png(2, 4, PIXELS))
    lines = run(tmp_path, "convert", "in", "--out-dir", "out").stderr.splitlines()
    assert sum("alpha channel is dropped" in line for line in lines) == 1
    assert SUMMARY.match(lines[-1]).groups()[:2] == ("4", "0") and lines[-1].endswith(
        "; alpha dropped from 3 files (outputs are RGB)")


def pixels_of(path):
    with Image.open(path) as picture:
        return picture.convert("RGB").tobytes()


# (arguments, outputs written, failed inputs in order: (path named, message start))
@pytest.mark.parametrize("args, written, failed", [
    (["in", "--out-dir", "out"], ["a.png", "rgba.png"],
     [("in/a.png", "its output out/a.png is already that of in/a.BMP"), ("in/broken.png", "Corrupted PNG")]),
    (["in", "loose.bmp", "in/sub/c.png", "--out-dir", "out", "--format", "bmp", "--recursive", "--jobs", "2"],
     ["a.bmp", "c.bmp", "loose.bmp", "rgba.bmp", "sub/c.bmp"],
     [("in/a.png", "its output out/a.bmp is already that of in/a.BMP"), ("in/broken.png", "Corrupted PNG")]),
], ids=["folder", "recursive, files too, bmp, two jobs"])
def test_batch_writes_each_output_once_and_reports_each_failure(tree, args, written, failed):
    result = run(tree, "convert", *args)
    lines = result.stderr.splitlines()
    assert result.returncode == 1 and result.stdout == ""
    failures = [line for line in lines[:-1] if "alpha channel is dropped" not in line]
    assert len(failures) == len(failed)
    for line, (path, start) in zip(failures, failed):
        assert line.startswith(f"lumivex: {path}: {start}")
    summary = SUMMARY.match(lines[-1]).groups()
    assert (summary[0], summary[1], summary[-1]) == (str(len(written)), str(len(failed)), "1")
    assert sum("alpha channel is dropped" in line for line in lines) == 1
    produced = sorted(str(p.relative_to(tree / "out")) for p in (tree / "out").rglob("*") if p.is_file())
    assert produced == written  # no temporary file left, nothing through the linked folder
    for name in written:
        stem = name.rsplit(".", 1)[0]
        source = {"a": "in/a.BMP", "loose": "loose.bmp", "c": "in/sub/c.png"}.get(stem, f"in/{stem}.png")
        assert pixels_of(tree / "out" / name) == bytes(Lumivex.open(str(tree / source))._pixels)


@pytest.mark.parametrize("args, message", [
    (["--exact", "--level", "3", "a.png", "b.png"], "--exact writes PNG as SimpleImage.save does"),
    (["in/a.png", "in/rgba.png", "c.png"], "several inputs need --out-dir DIR"),
    (["--format", "png", "in/a.png", "b.bmp"], "--format png does not match OUT's suffix '.bmp'"),
    (["--recursive", "in/a.png", "b.bmp"], "--recursive goes with --out-dir DIR or --in-place"),
    (["in/a.png", "-"], "writing to standard output ('-') needs --format png or --format bmp"),
    (["in", "-", "--out-dir", "out"], "'-' (standard input) is for IN OUT, not for a batch with --out-dir"),
    (["in", "--in-place", "--out-dir", "out"], "--in-place replaces each input: it takes no --out-dir"),
    (["in/a.png", "--in-place", "--format", "bmp"], "in/a.png: --in-place keeps each file's format, and this is not bmp"),
    (["in", "out.png"], "in: a folder, where IN is a file: to convert folders, give them with --out-dir DIR"),
    (["in/a.png", "--out-dir", "loose.bmp"], "loose.bmp: --out-dir is a file, not a folder"),
])
def test_conflicting_or_misplaced_arguments_are_explained(tree, args, message):
    result = run(tree, "convert", *args)
    assert result.returncode in (1, 2) and message in result.stderr and "usage:" not in result.stderr
    assert not (tree / "out.png").exists() and not (tree / "b.png").exists()


def test_single_file_outputs_are_atomic_and_errors_name_the_destination(tree):
    (tree / "ro").mkdir()
    (tree / "ro").chmod(0o555)
    for flags, name in ([], "x.png"), (["--exact"], "x.png"), ([], "x.bmp"):
        result = run(tree, "convert", *flags, "loose.bmp", f"ro/{name}")
        if os.geteuid() != 0:
            assert (result.returncode, result.stderr) == (1, f"lumivex: ro/{name}: Permission denied\n")
        result = run(tree, "convert", *flags, "loose.bmp", name)
        assert (result.returncode, result.stderr) == (0, "")
        assert pixels_of(tree / name) == pixels_of(tree / "loose.bmp")
    assert not [name for name in os.listdir(tree) if name.startswith(".lumivex-")]


def test_interrupt_stops_after_the_files_in_progress_and_leaves_no_temporary_file(tmp_path):
    (tmp_path / "in").mkdir()
    picture = bytes(Lumivex.encode_png(Lumivex.SimpleImage(1500, 1500, bytearray(os.urandom(1500 * 1500 * 3)))))
    for index in range(40):
        (tmp_path / "in" / f"{index:02}.png").write_bytes(picture)
    command = [sys.executable, "-m", "Lumivex", "convert", "in", "--out-dir", "out", "--level", "strongest"]
    process = subprocess.Popen(command, cwd=str(tmp_path), env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                               stderr=subprocess.PIPE, universal_newlines=True)
    while not (tmp_path / "out").exists() or not os.listdir(tmp_path / "out"):
        time.sleep(0.01)  # a conversion has started
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130 and "Traceback" not in stderr
    left = os.listdir(tmp_path / "out")
    assert len(left) < 40 and all(name.endswith(".png") and not name.startswith(".") for name in left)
    for name in left:
        assert (tmp_path / "out" / name).read_bytes() == (tmp_path / "out" / left[0]).read_bytes()


def test_info_reads_headers_alone_also_of_files_open_refuses(tmp_path):
    (tmp_path / "big.png").write_bytes(rgb_png(2, 3, PIXELS)[:33])  # the IHDR and nothing after it
    (tmp_path / "deep.bmp").write_bytes(bmp_file(header(124, 7, -3, 64), [bytes(56)] * 3))
    (tmp_path / "rle.bmp").write_bytes(bmp_file(header(40, 5, 2, 8, compression=1, colours=1), [b"\0\1"],
                                                bytes(4)))
    (tmp_path / "text.png").write_text("not an image")
    result = run(tmp_path, "info", "--json", "big.png", "deep.bmp", "rle.bmp", "text.png")
    assert result.returncode == 1
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"file": "big.png", "format": "PNG", "width": 2, "height": 3, "colour_type": 2, "bit_depth": 8,
         "interlaced": False, "mode": "RGB", "dtype": "uint8"},
        {"file": "deep.bmp", "format": "BMP", "width": 7, "height": 3, "header_size": 124, "bits_per_pixel": 64,
         "compression": 0, "top_down": True, "mode": "RGB", "dtype": "uint8", "dpi": [2835 * 0.0254] * 2},
        {"file": "rle.bmp", "format": "BMP", "width": 5, "height": 2, "header_size": 40, "bits_per_pixel": 8,
         "compression": 1, "top_down": False, "mode": "RGB", "dtype": "uint8", "dpi": [2835 * 0.0254] * 2},
        {"file": "text.png", "error": "Unsupported image format"},
    ]
    text = run(tmp_path, "info", "rle.bmp").stdout
    assert text == "rle.bmp: BMP, 5 x 2, palette, 8 bits per pixel, RLE8\n"


def test_version_names_the_deflate_library_and_python(tmp_path):
    result = run(tmp_path, "--version")
    assert result.returncode == 0
    assert result.stdout == (f"lumivex {Lumivex.__version__} (deflate: {Lumivex.DEFLATE_BACKEND}; "
                             f"Python {'.'.join(map(str, sys.version_info[:3]))})\n")


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, drawn", [(Terminal(), True), (io.StringIO(), False)], ids=["terminal", "pipe"])
def test_progress_bar_is_tqdms_and_only_on_a_terminal(monkeypatch, stream, drawn):
    monkeypatch.setattr(sys, "stderr", stream)
    bar = _cli_output.progress_bar(3)
    assert bar.disable is not drawn  # tqdm's own switch, set by its check of the stream
    bar.close()
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the cli extra not installed
    assert _cli_output.progress_bar(3) is None


@pytest.mark.parametrize("stream, total, hinted", [
    (Terminal(), _cli_output.LONG_BATCH, True),
    (Terminal(), _cli_output.LONG_BATCH - 1, False),
    (io.StringIO(), 1000, False),
], ids=["long, terminal", "short, terminal", "long, pipe"])
def test_without_tqdm_a_long_batch_on_a_terminal_says_what_adds_a_bar(monkeypatch, stream, total, hinted):
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    _cli_output.BatchReport(total, progress=True)
    expected = f"lumivex: converting {total} files; the summary comes at the end (pip install 'Lumivex[cli]' adds a progress bar)\n"
    assert stream.getvalue() == (expected if hinted else "")
