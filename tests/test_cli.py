"""The command line, run as a user runs it: python -m Lumivex and the lumivex script."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
from PIL import Image

import Lumivex
from bmpbytes import bmp, bmp_file, header
from pngbytes import rgb_png

PACKAGE_ROOT = str(pathlib.Path(Lumivex.__file__).resolve().parent.parent)
SCRIPT = os.path.join(os.path.dirname(sys.executable), "lumivex")
PIXELS = bytes(range(24))


def run(tmp_path, *args, script=False):
    command = [SCRIPT] if script else [sys.executable, "-m", "Lumivex"]
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run(command + list(args), cwd=str(tmp_path), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)


@pytest.fixture(name="files")
def files_fixture(tmp_path):
    (tmp_path / "rgba.png").write_bytes(rgb_png(2, 3, bytes(range(24)), color_type=6))
    (tmp_path / "rgb.bmp").write_bytes(bmp(4, 2, PIXELS))
    (tmp_path / "notes.txt").write_text("not an image")
    suite = pathlib.Path(__file__).parent / "data" / "pngsuite"
    (tmp_path / "grey.png").write_bytes((suite / "basn0g08.png").read_bytes())
    (tmp_path / "palette.png").write_bytes((suite / "basi3p04.png").read_bytes())
    (tmp_path / "palette.bmp").write_bytes(bmp_file(header(40, 2, 1, 4, colours=2), [bytes([0x10])], bytes(8)))
    return tmp_path


# (arguments, exit status, expected stdout lines, expected stderr lines, output file written)
CASES = [
    (["info", "rgba.png", "rgb.bmp"], 0, ["rgba.png: PNG, 2 x 3, RGBA, 8 bits per sample", "rgb.bmp: BMP, 4 x 2, RGB, 24 bits per pixel"], [], None),
    (["info", "missing.png", "rgb.bmp"], 1, ["rgb.bmp: BMP, 4 x 2, RGB, 24 bits per pixel"],
     ["lumivex: missing.png: No such file or directory"], None),
    (["info", "notes.txt", "grey.png", "palette.png", "palette.bmp"], 1,
     ["grey.png: PNG, 32 x 32, grey, 8 bits per sample, gamma 1.0",
      "palette.png: PNG, 32 x 32, palette, 4 bits per sample, Adam7-interlaced, gamma 1.0",
      "palette.bmp: BMP, 2 x 1, palette, 4 bits per pixel"],
     ["lumivex: notes.txt: Unsupported image format"], None),
    (["info", "--max-pixels", "7", "rgb.bmp", "rgba.png"], 1, ["rgba.png: PNG, 2 x 3, RGBA, 8 bits per sample"],
     ["lumivex: rgb.bmp: image of 4 x 2 pixels exceeds the limit of 7 pixels (max_pixels)"], None),
    (["info", "--max-pixels", "none", "rgb.bmp"], 0, ["rgb.bmp: BMP, 4 x 2, RGB, 24 bits per pixel"], [], None),
    (["convert", "rgb.bmp", "out.png"], 0, [], [], "out.png"),
    (["convert", "rgba.png", "OUT.BMP"], 0, [], ["lumivex: note: the alpha channel of rgba.png is dropped: the output is RGB"],
     "OUT.BMP"),
    (["convert", "rgb.bmp", "out.jpg"], 1, [],
     ["lumivex: out.jpg: cannot tell the output format from the suffix '.jpg': use .bmp or .png"], None),
    (["convert", "missing.bmp", "out.png"], 1, [], ["lumivex: missing.bmp: No such file or directory"], None),
    (["convert", "rgb.bmp", "no/such/folder/out.png"], 1, [],
     ["lumivex: no/such/folder/out.png: No such file or directory"], None),
    (["convert", "--max-pixels", "1", "rgb.bmp", "out.png"], 1, [],
     ["lumivex: rgb.bmp: image of 4 x 2 pixels exceeds the limit of 1 pixels (max_pixels)"], None),
]


@pytest.mark.parametrize("args, status, out, err, written", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_commands(files, args, status, out, err, written):
    result = run(files, *args)
    assert (result.returncode, result.stdout.splitlines(), result.stderr.splitlines()) == (status, out, err)
    if written:
        source = files / args[-2]
        with Image.open(files / written) as produced, Image.open(source) as original:
            assert produced.format == written.split(".")[-1].upper()
            assert produced.convert("RGB").tobytes() == original.convert("RGB").tobytes()
    else:
        assert not list(files.glob("out.*"))


@pytest.mark.parametrize("args, status, expected", [
    (["--help"], 0, "usage: lumivex [-h] [--version] COMMAND"),
    (["info", "--help"], 0, "usage: lumivex info [-h] [--max-pixels N] [--json] FILE [FILE ...]"),
    (["convert", "--help"], 0, "usage: lumivex convert [-h] [--max-pixels N] [--exact] [--level L]"),
    (["convert", "--level", "10", "x.png", "y.png"], 2, "argument --level: not 1 to 9 or 'strongest': '10'"),
    ([], 2, "the following arguments are required: COMMAND"),
    (["info", "--max-pixels", "lots", "x.png"], 2, "argument --max-pixels: not a whole number or 'none': 'lots'"),
    (["resize", "x.png"], 2, "invalid choice: 'resize'"),
])
def test_usage(tmp_path, args, status, expected):
    result = run(tmp_path, *args)
    assert result.returncode == status
    assert expected in result.stdout + result.stderr
    assert "Traceback" not in result.stderr


def test_console_script_is_the_same_command(files):
    assert os.path.exists(SCRIPT), "the lumivex script is installed beside the interpreter"
    result = run(files, "info", "rgba.png", script=True)
    assert (result.returncode, result.stdout) == (0, "rgba.png: PNG, 2 x 3, RGBA, 8 bits per sample\n")


def exact_save(image, folder):
    image.save(str(folder / "reference.png"))
    return (folder / "reference.png").read_bytes()


@pytest.mark.parametrize("flags, expected", [
    ([], lambda image, folder: Lumivex.encode_png(image)),
    (["--level", "strongest"], lambda image, folder: Lumivex.encode_png(image, level="strongest")),
    (["--level", "1"], lambda image, folder: Lumivex.encode_png(image, level=1)),
    (["--exact"], exact_save),
], ids=["compact", "strongest", "level-1", "exact"])
def test_convert_picks_the_png_writer(files, flags, expected):
    result = run(files, "convert", *flags, "rgb.bmp", "out.png")
    assert (result.returncode, result.stderr) == (0, "")
    image = Lumivex.SimpleImage.open(str(files / "rgb.bmp"))
    assert (files / "out.png").read_bytes() == expected(image, files)


# (arguments, shell redirection, exit status, stdout, stderr lines)
OUTPUT_CASES = [
    (["info", "rgba.png"], ">/dev/full", 1, "", ["lumivex: write error: No space left on device"]),
    (["info", "rgba.png"], ">&-", 1, "", ["lumivex: write error: Bad file descriptor"]),
    (["convert", "rgb.bmp", "out.png"], ">&-", 0, "", []),
    (["info", "missing.png"], "2>&-", 1, "", []),
    (["info", b"caf\xe9.png"], "", 0, "caf\\xe9.png: PNG, 2 x 3, RGBA, 8 bits per sample\n", []),
    (["info", "--max-pixels", "1", b"caf\xe9.png"], "", 1, "",
     ["lumivex: caf\\xe9.png: image of 2 x 3 pixels exceeds the limit of 1 pixels (max_pixels)"]),
]


# Catches a traceback, or an error line on the wrong stream, when stdout or stderr is
# full or closed, or a file name is not UTF-8 (its bytes are shown as \xNN). Strict
# UTF-8 on stdout is what a UTF-8 locale other than C.UTF-8 gives.
@pytest.mark.parametrize("args, redirect, status, out, err", OUTPUT_CASES, ids=[
    "stdout full", "stdout closed", "convert, stdout closed", "stderr closed", "undecodable name",
    "undecodable name, error"])
def test_output_failures_and_undecodable_names(files, args, redirect, status, out, err):
    folder = os.fsencode(str(files))
    shutil.copyfile(folder + b"/rgba.png", folder + b"/caf\xe9.png")
    command = ["sh", "-c", 'exec "$@" ' + redirect, "sh", sys.executable, "-m", "Lumivex", *args]
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, LC_ALL="C.UTF-8", PYTHONIOENCODING="utf-8:strict")
    result = subprocess.run(command, cwd=str(files), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            encoding="utf-8", errors="surrogateescape", timeout=60)
    assert (result.returncode, result.stdout, result.stderr.splitlines()) == (status, out, err)
