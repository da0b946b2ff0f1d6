"""The compact PNG writer (Lumivex.encode_png / write_png): every file it writes
is a valid PNG (pngcheck, Pillow, this module's own reader, a hand parser) with
exactly the input pixels, and writing to a path replaces the file atomically."""
import ctypes
import errno
import glob
import io
import itertools
import json
import os
import pathlib
import random
import shutil
import stat
import subprocess
import sys
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image, ImageDraw

import Lumivex
from Lumivex import _atomic, compact
from Lumivex.rasterCore_ext import SimpleImage

from helpers import PACKAGE_ROOT, ROUND_TRIP_SHAPES, run_ok
from pngbytes import filter_row, parse_chunks

STRATEGIES = ["adaptive", "none", "sub", "up", "average", "paeth"]
SHAPES = [(w, h) for w, h in ROUND_TRIP_SHAPES if w and h] + [(1, 300), (300, 1), (257, 190)]
HAVE_PNGCHECK = shutil.which("pngcheck") is not None


def random_image(width, height, seed, alphabet=256):
    """Random pixels; a small alphabet gives the filters something to find."""
    rng = random.Random(seed)
    return SimpleImage(width, height, bytearray(rng.randrange(alphabet) for _ in range(width * height * 3)))


def gradient_image(width, height):
    """Smooth ramps with a little texture, compressible as photos are."""
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            pixels += bytes(((x * 3 + y) & 255, (x + y * 2) & 255, ((x * y) >> 4) & 255))
    return SimpleImage(width, height, pixels)


def idat_scanlines(data):
    chunks = parse_chunks(data)
    assert [t for t, _ in chunks][0] == b"IHDR" and chunks[-1] == (b"IEND", b"")
    return zlib.decompress(b"".join(body for t, body in chunks if t == b"IDAT"))


def assert_decodes_to(data, image):
    """Pillow and the package's reader both give back exactly the image's pixels (in
    whichever layout the writer chose for it)."""
    with Image.open(io.BytesIO(data)) as decoded:
        assert decoded.size == (image.width, image.height)
        assert decoded.convert("RGB").tobytes() == bytes(image._pixels)
    reopened = Lumivex.open(data)
    assert (reopened.width, reopened.height, bytes(reopened._pixels)) == (image.width, image.height,
                                                                          bytes(image._pixels))


def pngcheck(paths):
    proc = subprocess.run(["pngcheck", "-q", *map(str, paths)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    assert proc.returncode == 0, proc.stdout


# Catches wrong filtering at row and image edges, wrong strategy mapping, and framing faults.
@pytest.mark.parametrize("strategy", STRATEGIES)
def test_every_shape_round_trips_and_passes_pngcheck(tmp_path, strategy):
    paths = []
    for index, (width, height) in enumerate(SHAPES):
        image = random_image(width, height, seed=index, alphabet=4 if index % 2 else 256)
        path = tmp_path / ("%dx%d.png" % (width, height))
        Lumivex.write_png(image, path, filter=strategy, colour="rgb")
        data = path.read_bytes()
        assert data == Lumivex.encode_png(image, filter=strategy, colour="rgb")
        assert_decodes_to(data, image)
        types = set(idat_scanlines(data)[::width * 3 + 1])
        assert types == {compact.FILTERS[strategy]} if strategy != "adaptive" else types <= {0, 1, 2, 3, 4}
        paths.append(path)
    if HAVE_PNGCHECK:
        pngcheck(paths)


# Catches a selection that is not the minimum sum of absolute (signed) differences, or
# that breaks ties other than toward the lowest filter type; the oracle is plain Python.
# No filtering on every row, weighed against the adaptive choice, may win instead.
@pytest.mark.parametrize("image", [random_image(13, 9, seed=5, alphabet=6), gradient_image(23, 11)],
                         ids=["small alphabet", "gradient"])
def test_adaptive_picks_the_least_absolute_sum_per_row(image):
    stride = image.width * 3
    pixels = bytes(image._pixels)
    scanlines = idat_scanlines(Lumivex.encode_png(image, colour="rgb"))
    if set(scanlines[::stride + 1]) == {0} and scanlines == b"".join(
            b"\0" + pixels[y * stride:(y + 1) * stride] for y in range(image.height)):
        return
    prev = None
    for y in range(image.height):
        row = pixels[y * stride:(y + 1) * stride]
        costs = [sum(min(b, 256 - b) for b in filter_row(t, row, prev, 3)) for t in range(5)]
        assert scanlines[y * (stride + 1)] == costs.index(min(costs)), (y, costs)
        prev = row


@pytest.mark.parametrize("level", [1, 4, 9, "strongest"])
def test_every_level_round_trips(level):
    image = gradient_image(120, 70)
    assert_decodes_to(Lumivex.encode_png(image, level=level), image)


def test_stronger_levels_make_smaller_files():
    image = gradient_image(200, 150)
    sizes = [len(Lumivex.encode_png(image, level=level)) for level in (1, 9, "strongest")]
    assert sizes[0] > sizes[1] >= sizes[2], sizes


FLAT_COLOURS = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40), (148, 103, 189)]


def flat_image(width, height, strokes=30):
    """A diagram in a few exact colours, drawn by Pillow: outlined boxes crossed by
    thin slanted lines, placed by fixed steps. Unfiltered, its colours repeat as
    strings that deflate matches well; filtered, every slanted edge leaves residue."""
    picture = Image.new("RGB", (width, height), (250, 250, 247))
    draw = ImageDraw.Draw(picture)
    for i in range(strokes):
        left, top = i * 97 % width, i * 61 % height
        box = [left, top, left + 30 + i * 7 % 90, top + 20 + i * 13 % 70]
        draw.rectangle(box, fill=FLAT_COLOURS[i % 5], outline=(20, 20, 20), width=2)
        draw.line([i * 37 % width, 0, width - i * 53 % width, height], fill=FLAT_COLOURS[i * 3 % 5], width=1 + i % 2)
    return SimpleImage(width, height, bytearray(picture.tobytes()))


# Catches the strongest level losing its check of per-row filtering against none, or
# applying it to an explicitly chosen filter (8-bit RGB kept, so that rows are comparable).
@pytest.mark.parametrize("image, filter, types", [
    (flat_image(300, 200), "adaptive", {0}),
    (gradient_image(300, 200), "adaptive", {1, 2, 3, 4}),
    (flat_image(300, 200), "paeth", {4}),
], ids=["flat keeps no filter", "gradient keeps per-row filters", "explicit filter kept"])
def test_strongest_level_weighs_no_filtering(image, filter, types):
    data = Lumivex.encode_png(image, level="strongest", filter=filter, colour="rgb")
    assert_decodes_to(data, image)
    found = set(idat_scanlines(data)[::image.width * 3 + 1])
    assert found and found <= types


def noisy_gradient_image(width, height, seed=9):
    """Ramps under a little noise: filtered, its rows are small residues that deflate's
    run-only matching packs as well as its full search."""
    rng = random.Random(seed)
    noise = rng.getrandbits(8 * width * height * 3).to_bytes(width * height * 3, "little")
    pixels = bytearray(((x // 3 + y) & 255) ^ (n & 3) for (y, x), n in
                       zip(((i // (width * 3), i % (width * 3)) for i in range(width * height * 3)), noise))
    return SimpleImage(width, height, pixels)


def noise_image(width, height, seed=3):
    """Bytes that do not compress: each piece's stream comes near its worst case."""
    noise = random.Random(seed).getrandbits(8 * width * height * 3).to_bytes(width * height * 3, "little")
    return SimpleImage(width, height, bytearray(noise))


def banded_page(width=844, height=701, seed=4):
    """A screenshot-like page: a busy band of blocks near the top and blank margins
    elsewhere, so that evenly spaced sample strips all fall in the blank."""
    rng = random.Random(seed)
    picture = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(picture)
    for _ in range(400):
        x, y = rng.randrange(width - 40), rng.randrange(22, 90)
        draw.rectangle([x, y, x + rng.randrange(3, 40), y + rng.randrange(1, 5)], fill=FLAT_COLOURS[rng.randrange(5)])
    return SimpleImage(width, height, bytearray(picture.tobytes()))


# Whichever way the deflate policy picks on its sample, the stream comes out within half again
# of zlib's own level 6 on the same scanlines (libdeflate's level 6 searches less deeply than
# zlib's and may write a fifth more on flat rows). Catches a sample that misses the image's
# repeats choosing runs alone (the banded page's file came out six times larger).
@pytest.mark.parametrize("make", [banded_page, lambda: noisy_gradient_image(640, 560), lambda: flat_image(640, 560)],
                         ids=["banded page", "noisy gradient", "flat"])
@pytest.mark.parametrize("strategy", ["adaptive", "none"])
def test_the_default_level_is_never_far_above_zlib_level_6(make, strategy):
    data = Lumivex.encode_png(make(), filter=strategy, colour="rgb")
    idat = b"".join(body for kind, body in parse_chunks(data) if kind == b"IDAT")
    assert len(idat) <= 1.5 * len(zlib.compress(idat_scanlines(data), 6))


# Over 256 KiB of scanlines the stream is deflated as two pieces on two threads and
# joined: catches a piece left with its final block, a misaligned join or a wrong Adler-32.
# Noise with an odd row count makes the pieces unequal and each near its worst case, so a
# piece given the other one's room writes past the stream buffer. At 512 x 512 the default
# level weighs its strategies on whole streams and keeps the winner's.
@pytest.mark.parametrize("make, size, level", [
    (flat_image, (640, 560), 1), (flat_image, (640, 560), 6), (flat_image, (640, 560), "strongest"),
    (noisy_gradient_image, (640, 560), 6), (noisy_gradient_image, (180000, 2), 6), (flat_image, (179, 2001), 6),
    (noise_image, (1000, 351), 1), (noise_image, (700, 701), 6), (noise_image, (100000, 5), "strongest"),
    (flat_image, (512, 512), 6), (noisy_gradient_image, (512, 513), 6),
], ids=["flat-1", "flat-6", "flat-strongest", "noisy-6", "two-rows", "odd-height",
        "noise-odd-1", "noise-odd-6", "noise-strip-strongest", "flat-whole-6", "noisy-whole-6"])
def test_large_images_round_trip(tmp_path, make, size, level):
    image = make(*size)
    data = Lumivex.encode_png(image, level=level, colour="rgb")
    assert_decodes_to(data, image)
    assert len(idat_scanlines(data)) == size[1] * (size[0] * 3 + 1)
    if HAVE_PNGCHECK:
        (tmp_path / "large.png").write_bytes(data)
        pngcheck([tmp_path / "large.png"])


# A large image's work goes to a helper thread kept between calls: calls from
# several threads at once, and from a child of fork() (which has no copy of the
# parent's thread; Python 3.12 and later warn of that), write the same file.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_calls_from_threads_and_a_forked_child_write_the_same_file():
    image = noisy_gradient_image(640, 560)
    expected = Lumivex.encode_png(image)
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(Lumivex.encode_png, [image] * 4)) == [expected] * 4
    child = os.fork()
    if child == 0:
        os._exit(0 if Lumivex.encode_png(image) == expected else 1)
    for _ in range(6000):  # a minute
        done, status = os.waitpid(child, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(child, 9)
        pytest.fail("the forked child's encode never finished")
    assert status == 0


def test_backend_is_named():
    assert Lumivex.DEFLATE_BACKEND in ("libdeflate", "zlib")


class Pixels(SimpleImage):
    pass


def test_subclass_is_accepted():
    image = Pixels(2, 1, bytearray(b"\x01\x02\x03\x04\x05\x06"))
    assert_decodes_to(Lumivex.encode_png(image), image)


def image_with_buffer(width, height, pixels):
    image = SimpleImage(1, 1, bytearray(3))
    image._pixels = pixels
    image.width, image.height = width, height
    return image


@pytest.mark.parametrize("make, kwargs, exc, message", [
    (lambda: SimpleImage(0, 5, bytearray()), {}, ValueError,
     "PNG cannot hold a 0 x 5 image: width and height must be at least 1"),
    (lambda: SimpleImage(4, 0, bytearray()), {}, ValueError,
     "PNG cannot hold a 4 x 0 image: width and height must be at least 1"),
    (lambda: image_with_buffer(-2, 3, bytearray()), {}, ValueError,
     "PNG cannot hold a -2 x 3 image: width and height must be at least 1"),
    (lambda: image_with_buffer(2, 2, bytearray(11)), {}, ValueError,
     "pixel buffer holds 11 bytes, but a 2 x 2 RGB image needs 12"),
    (lambda: image_with_buffer(2, 2, bytearray(13)), {}, ValueError,
     "pixel buffer holds 13 bytes, but a 2 x 2 RGB image needs 12"),
    (lambda: b"not an image", {}, TypeError, "image must be a SimpleImage, not bytes"),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"level": 0}, ValueError,
     "level must be from 1 to 9 or \"strongest\", got 0"),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"level": 10}, ValueError,
     "level must be from 1 to 9 or \"strongest\", got 10"),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"level": 6.0}, TypeError,
     "level must be an int from 1 to 9 or \"strongest\", not float"),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"level": True}, TypeError,
     "level must be an int from 1 to 9 or \"strongest\", not bool"),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"filter": "Paeth"}, ValueError, None),
    (lambda: SimpleImage(1, 1, bytearray(3)), {"filter": 4}, ValueError, None),
])
def test_refusals_write_nothing(tmp_path, make, kwargs, exc, message):
    image = make()
    for call in (lambda: Lumivex.encode_png(image, **kwargs),
                 lambda: Lumivex.write_png(image, tmp_path / "out.png", **kwargs)):
        with pytest.raises(exc) as raised:
            call()
        assert message is None or str(raised.value) == message
    assert os.listdir(tmp_path) == []


# --- destinations and atomic replacement ---------------------------------------

IMAGE = gradient_image(40, 30)


@pytest.mark.parametrize("as_dest", [str, pathlib.Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_path_kinds(tmp_path, as_dest):
    path = tmp_path / "picture.png"
    Lumivex.write_png(IMAGE, as_dest(str(path)), level=9)
    assert path.read_bytes() == Lumivex.encode_png(IMAGE, level=9)
    assert os.listdir(tmp_path) == ["picture.png"]


def test_relative_path_and_file_object(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Lumivex.write_png(IMAGE, "here.png")
    stream = io.BytesIO()
    Lumivex.write_png(IMAGE, stream)
    assert stream.getvalue() == (tmp_path / "here.png").read_bytes() == Lumivex.encode_png(IMAGE)


def test_new_file_gets_0666_less_umask(tmp_path):
    old = os.umask(0o027)
    try:
        Lumivex.write_png(IMAGE, tmp_path / "new.png")
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.png").stat().st_mode) == 0o640


def test_existing_file_keeps_its_mode_and_gets_a_new_inode(tmp_path):
    path = tmp_path / "old.png"
    path.write_bytes(b"old")
    path.chmod(0o604)
    link = tmp_path / "hardlink"
    os.link(path, link)
    Lumivex.write_png(IMAGE, path)
    assert stat.S_IMODE(path.stat().st_mode) == 0o604
    assert path.read_bytes() == Lumivex.encode_png(IMAGE)
    assert link.read_bytes() == b"old"


def test_symlink_at_path_is_replaced_not_followed(tmp_path):
    target = tmp_path / "target.png"
    target.write_bytes(b"target")
    path = tmp_path / "link.png"
    path.symlink_to(target)
    Lumivex.write_png(IMAGE, path)
    assert not path.is_symlink() and path.read_bytes() == Lumivex.encode_png(IMAGE)
    assert target.read_bytes() == b"target"


OLD = b"\x89PNG earlier contents"


def assert_untouched(folder, path):
    assert path.read_bytes() == OLD
    assert sorted(os.listdir(folder)) == [path.name]


# Each failure point of the write: the earlier file stays byte for byte, no temporary file stays.
@pytest.mark.parametrize("step", ["fchmod", "fsync", "replace"])
@pytest.mark.parametrize("exc", [OSError("disk full"), KeyboardInterrupt()], ids=["OSError", "KeyboardInterrupt"])
def test_failure_inside_the_write_leaves_the_earlier_file(tmp_path, monkeypatch, step, exc):
    path = tmp_path / "kept.png"
    path.write_bytes(OLD)

    def fail(*args):
        raise exc

    monkeypatch.setattr(compact.os, step, fail)
    with pytest.raises(type(exc)):
        Lumivex.write_png(IMAGE, path)
    monkeypatch.undo()
    assert_untouched(tmp_path, path)


def test_file_size_limit_leaves_the_earlier_file(tmp_path):
    path = tmp_path / "kept.png"
    path.write_bytes(OLD)
    out = run_ok("""
        import os, resource, Lumivex
        from Lumivex.rasterCore_ext import SimpleImage
        image = SimpleImage(300, 200, bytearray(os.urandom(300 * 200 * 3)))
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        try:
            Lumivex.write_png(image, {path!r}, level=1, filter="none")
        except OSError as exc:
            print(exc.errno, exc.filename)
    """.format(path=str(path)))
    assert out.split() == [str(errno.EFBIG), str(path)]
    assert_untouched(tmp_path, path)


def interrupt_at(step):
    """A trace function that raises KeyboardInterrupt, as Ctrl-C would, at the step-th
    line start or function return in the writer's own frames (and its file replacement's)."""
    count = itertools.count()

    def trace(frame, event, arg):
        if frame.f_code.co_filename not in (compact.__file__, _atomic.__file__):
            return None
        if event in ("line", "return") and next(count) == step:
            raise KeyboardInterrupt
        return trace
    return trace


# Ctrl-C at each point of a write in turn: the path holds the old file or the new one,
# and no temporary file stays on disk or open once the interrupt is handled.
def test_interrupt_anywhere_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "kept.png"
    path.write_bytes(OLD)
    for step in itertools.count():
        sys.settrace(interrupt_at(step))
        try:
            Lumivex.write_png(IMAGE, path)
            break
        except KeyboardInterrupt:
            pass
        finally:
            sys.settrace(None)
            open_files = map(os.path.realpath, glob.glob("/proc/self/fd/*"))
            assert [name for name in open_files if ".lumivex-" in name] == [], step
            assert os.listdir(tmp_path) == ["kept.png"], step
            assert path.read_bytes() in (OLD, Lumivex.encode_png(IMAGE)), step


def bound_by_permission_bits():
    """Before exec in a child: root gives up the capability to write any file
    (prctl PR_CAPBSET_DROP, CAP_DAC_OVERRIDE), so that permission bits bind it."""
    if os.geteuid() == 0 and ctypes.CDLL(None).prctl(24, 1, 0, 0, 0) != 0:
        raise OSError("cannot drop CAP_DAC_OVERRIDE")


# The same destination in two folders: open(dest, "wb") in the first, write_png in the second.
COMPARE_WITH_OPEN = """
import json, os, sys, Lumivex

def outcome(folder, call):
    os.chdir(folder)
    try:
        call()
    except OSError as error:
        return [type(error).__name__, error.errno, error.filename]

dest, image = sys.argv[1], Lumivex.SimpleImage(1, 1, bytearray(3))
print(json.dumps([outcome(sys.argv[2], lambda: open(dest, "wb").close()),
                  outcome(sys.argv[3], lambda: Lumivex.write_png(image, dest))]))
"""


def read_only_file(folder, name="out.png"):
    (folder / name).write_bytes(OLD)
    (folder / name).chmod(0o444)


# Catches a writer that replaces what open(path, "wb") refuses, or that names its
# temporary file in an error, or leaves it behind.
@pytest.mark.parametrize("prepare, dest, refusal", [
    (read_only_file, "out.png", ["PermissionError", errno.EACCES]),
    (lambda folder: (read_only_file(folder, "target.png"), (folder / "out.png").symlink_to("target.png")),
     "out.png", ["PermissionError", errno.EACCES]),
    (lambda folder: (folder / "out.png").mkdir(), "out.png", ["IsADirectoryError", errno.EISDIR]),
    (lambda folder: (folder / "ro").mkdir(0o555), "ro/out.png", ["PermissionError", errno.EACCES]),
    (lambda folder: None, "missing/out.png", ["FileNotFoundError", errno.ENOENT]),
    (lambda folder: (folder / "out.png").symlink_to("nowhere.png"), "out.png", None),
], ids=["read-only file", "link to a read-only file", "folder", "read-only folder", "missing folder",
        "dangling link"])
def test_refuses_what_open_refuses(tmp_path, prepare, dest, refusal):
    folders = [tmp_path / "open", tmp_path / "writer"]
    for folder in folders:
        folder.mkdir()
        prepare(folder)
    proc = subprocess.run([sys.executable, "-c", COMPARE_WITH_OPEN, dest, *map(str, folders)], cwd=str(tmp_path),
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), preexec_fn=bound_by_permission_bits,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    by_open, by_writer = json.loads(proc.stdout)
    assert by_writer == by_open == (refusal and refusal + [dest])
    if refusal:
        assert sorted(os.listdir(folders[1])) == sorted(os.listdir(folders[0]))
