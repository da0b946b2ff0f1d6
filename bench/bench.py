"""Times Lumivex against Pillow and against the floors of each operation.

    .venv/bin/python bench/bench.py [--repeat N] [--quick]      (or: make bench BENCH_ARGS=...)

Everything runs in one process. For each row the contenders are called in turn
within every round (interleaved, so that drift in machine speed hits them
alike); a round's time is the best of a few calls when one call is short. The
table shows median times and the median of the per-round (paired) ratios, with
the target ratio beside each.

Pictures (deterministic, see pictures.py): photo-like 1920 x 1080 and
3840 x 2160 in RGB and RGBA, a Paeth-heavy natural picture, a flat graphic and
a 256 x 256 photo, all saved as PNG by Pillow (a filter chosen per row, zlib
level 6) and as BMP. Floors: `zlib.decompress` of the IDAT data for PNG open,
`zlib.compress` of the scanlines (filter byte 0 on each row) for PNG save, and
libdeflate's zlib inflate of the same IDAT data when Debian's libdeflate is
installed (reached through ctypes, here only).

Optional sections: when the package has a feature listed in OPTIONAL_SECTIONS
the matching module beside this script is imported and its
`table_rows(context)` adds rows to the table: it returns tuples of the
arguments of `Bench.add`, or adds rows itself through `context["bench"]`.
compact_writer.py is one: the compact PNG writer's sizes and times against
Pillow and optipng (Debian's optipng; its rows are left out without it).
rivals.py is another: `Lumivex.open` beside `SimpleImage.open`, and against
pyspng and OpenCV, from a path and from bytes; imread.py times `Lumivex.imread`
and `read_metadata` against OpenCV and pyspng; layouts.py times `Lumivex.open`
on the layouts beyond 8-bit RGB PNG and 24-bit BMP against Pillow and the
faster of those two; batch.py times the package's import and the command
line's conversion of many files; scale_out.py times Lumivex.dask;
tuning_set.py runs the compact writer over build/pictures (`make pictures`)
against Pillow, OpenCV, optipng and oxipng, picture by picture.
"""
import argparse
import concurrent.futures
import ctypes
import ctypes.util
import importlib
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

from PIL import Image

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from results_page import recorded  # noqa: E402
from pictures import (filter_counts, flat_graphic, idat_data, paeth_heavy,  # noqa: E402
                      photo_like, pillow_png, with_alpha)

__all__ = ["main"]

# (feature of the Lumivex package, module in bench/) run when the feature exists.
OPTIONAL_SECTIONS = (("encode_png", "compact_writer"), ("open", "rivals"), ("imread", "imread"), ("open", "layouts"),
                     ("open", "batch"), ("open", "scale_out"), ("encode_png", "tuning_set"))

SHORT_CALL = 0.05  # seconds: below this a round takes the best of several calls
SIZE_UNITS, SIZE_DIGITS = ("MB",), 3  # file sizes: targets within a few per cent want a third digit


class Libdeflate:
    """libdeflate's whole-buffer zlib inflate, or None when the library is absent."""

    SUCCESS = 0

    @classmethod
    def load(cls):
        name = ctypes.util.find_library("deflate")
        if not name:
            return None
        try:
            return cls(ctypes.CDLL(name))
        except OSError:
            return None

    def __init__(self, library):
        library.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
        library.libdeflate_zlib_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                       ctypes.c_void_p, ctypes.c_size_t,
                                                       ctypes.POINTER(ctypes.c_size_t)]
        self._library = library
        self._decompressor = library.libdeflate_alloc_decompressor()
        self.version = self._version(library)

    @staticmethod
    def _version(library):
        """The Debian package's version when dpkg knows it, else the library's name."""
        try:
            query = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libdeflate0"],
                                   capture_output=True, text=True, check=True)
            return query.stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            return library._name

    def zlib_decompress(self, data, size):
        """Inflates into a fresh buffer of exactly `size` bytes, as a decoder would."""
        out = bytearray(size)
        actual = ctypes.c_size_t()
        result = self._library.libdeflate_zlib_decompress(
            self._decompressor, data, len(data), (ctypes.c_char * size).from_buffer(out), size, ctypes.byref(actual))
        if result != self.SUCCESS or actual.value != size:
            raise RuntimeError(f"libdeflate inflate failed ({result})")
        return out


def once(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def best_of(function, calls):
    return min(once(function) for _ in range(calls))


class Bench:
    """Runs interleaved comparisons and collects the table's rows."""

    def __init__(self, repeat):
        self.repeat = repeat
        self.rows = []

    def compare(self, work, ours, rivals, rounds=None):
        """ours: a callable; rivals: (label, callable, target or None) where the
        target bounds ours / rival. Adds one row per rival. rounds: fewer than
        the table's for slow work."""
        calls = max(1, min(50, math.ceil(SHORT_CALL / max(once(ours), 1e-7))))
        for _, rival, _ in rivals:  # warm both up
            rival()
        our_times, their_times = [], [[] for _ in rivals]
        for _ in range(rounds or self.repeat):
            our_times.append(best_of(ours, calls))
            for times, (_, rival, _) in zip(their_times, rivals):
                times.append(best_of(rival, calls))
        for index, ((label, _, target), times) in enumerate(zip(rivals, their_times)):
            ratios = [a / b for a, b in zip(our_times, times)]
            self.add(work if index == 0 else "", statistics.median(our_times) * 1e3, label,
                     statistics.median(times) * 1e3, statistics.median(ratios), target, "<=")

    def add(self, work, ours_ms, rival, theirs_ms, ratio, target, sense, unit="ms"):
        self.rows.append((work, ours_ms, rival, theirs_ms, ratio, target, sense, unit))

    def table(self):
        lines = ["| work | Lumivex | against | theirs | ratio | target | |",
                 "|---|---:|---|---:|---:|---:|---|"]
        for work, ours, rival, theirs, ratio, target, sense, unit in self.rows:
            if target is None:
                aim, verdict = "", ""
            else:
                met = ratio <= target if sense == "<=" else ratio >= target
                aim, verdict = f"{'≤' if sense == '<=' else '≥'} {target:.2f}×", "ok" if met else "**over**"
            digits = SIZE_DIGITS if unit in SIZE_UNITS else 2
            lines.append(f"| {work} | {ours:.{digits}f} {unit} | {rival} | {theirs:.{digits}f} {unit} "
                         f"| {ratio:.{digits}f}× | {aim} | {verdict} |")
        return "\n".join(lines)


class Picture:
    """A test picture written as Pillow's PNG and as BMP, with what the floors need."""

    def __init__(self, name, picture, folder):
        self.name, self.picture = name, picture
        self.width, self.height = picture.size
        self.channels = len(picture.getbands())
        self.png_path = os.path.join(folder, f"{name}.png")
        self.png = pillow_png(picture)
        with open(self.png_path, "wb") as handle:
            handle.write(self.png)
        self.idat = idat_data(self.png)
        self.scanline_size = (self.width * self.channels + 1) * self.height
        self.filters = filter_counts(zlib.decompress(self.idat), self.height)
        self.rgb_picture = picture.convert("RGB")
        self.rgb = self.rgb_picture.tobytes()
        self.image = SimpleImage(self.width, self.height, self.rgb)
        if bytes(SimpleImage.open(self.png_path)._pixels) != self.rgb:
            raise AssertionError(f"{name}: Lumivex and Pillow decode the PNG differently")

    def describe(self):
        share = ", ".join(f"{kind} {count}" for kind, count in zip(("None", "Sub", "Up", "Avg", "Paeth"), self.filters)
                          if count)
        return (f"{self.name}: {self.width}×{self.height} {'RGBA' if self.channels == 4 else 'RGB'}, "
                f"PNG {len(self.png) / 1e6:.2f} MB ({len(self.png) / (len(self.rgb) // 3 * self.channels):.0%} of raw),"
                f" row filters: {share}")


def make_pictures(folder, quick):
    print("Making the pictures...", file=sys.stderr)
    photo = photo_like(1920, 1080)
    specs = [("photo 1080p RGB", photo), ("photo 1080p RGBA", with_alpha(photo))]
    if not quick:
        photo4k = photo_like(3840, 2160)
        specs += [("photo 4K RGB", photo4k), ("photo 4K RGBA", with_alpha(photo4k))]
    specs += [("Paeth-heavy 1080p", paeth_heavy(1920, 1080)), ("flat graphic 1080p", flat_graphic(1920, 1080)),
              ("photo 256×256", photo_like(256, 256))]
    return [Picture(name, picture, folder) for name, picture in specs]


PNG_OPEN_TARGETS = {"photo": 0.55, "Paeth-heavy": 0.30, "flat graphic": 0.15, "photo 256×256": 0.40}


def png_open_target(name):
    if name == "photo 256×256":
        return PNG_OPEN_TARGETS[name]
    return PNG_OPEN_TARGETS[name.split(" 1080p")[0].split(" 4K")[0]]


def bench_png_open(bench, pictures, libdeflate):
    for item in pictures:
        rivals = [("Pillow open+load", lambda item=item: Image.open(item.png_path).load(), png_open_target(item.name)),
                  ("zlib.decompress(IDAT)", lambda item=item: zlib.decompress(item.idat), None)]
        if libdeflate is not None:
            target = 1.25 if item.name.startswith("photo") and "256" not in item.name else None
            rivals.append(("libdeflate inflate(IDAT)",
                           lambda item=item: libdeflate.zlib_decompress(item.idat, item.scanline_size), target))
        bench.compare(f"PNG open, {item.name}", lambda item=item: SimpleImage.open(item.png_path), rivals)


def scanlines(item):
    stride = item.width * 3
    return b"".join(b"\0" + item.rgb[y * stride:(y + 1) * stride] for y in range(item.height))


def bench_saves_and_bmp(bench, pictures, folder):
    out_png, out_bmp = os.path.join(folder, "out.png"), os.path.join(folder, "out.bmp")
    for item in pictures:
        if not (item.name.startswith("photo") and item.channels == 3 and "256" not in item.name):
            continue
        rows = scanlines(item)
        rivals = [("zlib.compress(scanlines)", lambda: zlib.compress(rows), 1.08)]
        if item.width < 2000:  # Pillow's filtered save takes seconds at 4K; one size shows the gap
            rivals.append(("Pillow save PNG", lambda: item.rgb_picture.save(out_png, "PNG"), None))
        bench.compare(f"PNG save, {item.name}", lambda: item.image.save(out_png), rivals)
        bmp_path = os.path.join(folder, f"{item.name}.bmp")
        item.rgb_picture.save(bmp_path, "BMP")
        if bytes(SimpleImage.open(bmp_path)._pixels) != item.rgb:
            raise AssertionError(f"{item.name}: Lumivex and Pillow read the BMP differently")
        bench.compare(f"BMP open, {item.name}", lambda: SimpleImage.open(bmp_path),
                      [("Pillow open+load", lambda: Image.open(bmp_path).load(), 0.6)])
        bench.compare(f"BMP save, {item.name}", lambda: item.image.saveBmp(out_bmp),
                      [("Pillow save BMP", lambda: item.rgb_picture.save(out_bmp, "BMP"), 1.0)])


def bench_pixels(bench, count):
    small = SimpleImage(256, 256, bytes(256 * 256 * 3))
    pillow_small = Image.new("RGB", (256, 256))
    coords = [(i % 256, (i * 7 // 256) % 256) for i in range(count)]

    def our_get():
        get = small.getPixel
        for c in coords:
            get(c)

    def pillow_get():
        get = pillow_small.getpixel
        for c in coords:
            get(c)

    def our_put():
        put = small.putPixel
        for c in coords:
            put(c, (1, 2, 3))

    def pillow_put():
        put = pillow_small.putpixel
        for c in coords:
            put(c, (1, 2, 3))

    for name, ours, theirs, label in (("getPixel", our_get, pillow_get, "Pillow getpixel"),
                                      ("putPixel", our_put, pillow_put, "Pillow putpixel")):
        first = len(bench.rows)
        bench.compare(f"{name}, {count} calls", ours, [(label, theirs, 0.5)])
        bench.rows[first:] = [(work, ours_ms * 1e6 / count, rival, theirs_ms * 1e6 / count, ratio, target, sense, "ns")
                              for work, ours_ms, rival, theirs_ms, ratio, target, sense, _ in bench.rows[first:]]


def bench_threads(bench, item, images=8, threads=2):
    """Decoding several files on two threads against one: a speed-up, so the
    target is a lower bound."""
    paths = [item.png_path] * images
    pool = concurrent.futures.ThreadPoolExecutor(threads)
    list(pool.map(SimpleImage.open, paths))

    def one_thread():
        for path in paths:
            SimpleImage.open(path)

    def two_threads():
        list(pool.map(SimpleImage.open, paths))

    singles, pairs = [], []
    # The speed-up swings with whatever else the host runs: a round per repeat, and at least 7.
    for _ in range(max(7, bench.repeat)):
        singles.append(once(one_thread))
        pairs.append(once(two_threads))
    pool.shutdown()
    speedup = statistics.median(a / b for a, b in zip(singles, pairs))
    bench.add(f"{images} × PNG open ({item.name}), {threads} threads", statistics.median(pairs) * 1e3,
              "the same on one thread (speed-up)", statistics.median(singles) * 1e3, speedup, 1.8, ">=")


def inflate_path():
    """What the package says about its inflate path, when it says anything."""
    for name in ("INFLATE_BACKEND", "DEFLATE_BACKEND", "INFLATER", "BACKEND"):
        if hasattr(Lumivex, name):
            return f"Lumivex.{name} = {getattr(Lumivex, name)!r}"
    return "Python's zlib module (the package reports no native inflater)"


def run_optional_sections(context):
    for feature, module_name in OPTIONAL_SECTIONS:
        if not hasattr(Lumivex, feature):
            continue
        try:
            module = importlib.import_module(module_name)
        except ImportError as error:
            print(f"({module_name} not run: {error})", file=sys.stderr)
            continue
        for row in module.table_rows(context) or ():
            context["bench"].add(*row)


def machine_note():
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    return f"{os.cpu_count()} CPUs, load average {load}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="rounds per row (default 7)")
    parser.add_argument("--quick", action="store_true", help="3 rounds, no 4K pictures")
    parser.add_argument("--output", metavar="FILE", help="also write the tables to FILE (Markdown), replacing it")
    args = parser.parse_args(argv)
    with recorded(args.output):
        run(args)


def run(args):
    repeat = 3 if args.quick and args.repeat == 7 else args.repeat
    started = time.perf_counter()
    folder = tempfile.mkdtemp(prefix="lumivex-bench-")
    try:
        pictures = make_pictures(folder, args.quick)
        libdeflate = Libdeflate.load()
        bench = Bench(repeat)
        print(f"## Lumivex benchmark\n\nPython {sys.version.split()[0]}, Pillow {Image.__version__}, "
              f"zlib {zlib.ZLIB_RUNTIME_VERSION}, libdeflate {libdeflate.version if libdeflate else 'absent'}; "
              f"inflate path: {inflate_path()}.\n{machine_note()} at the start; median of {repeat} rounds.\n")
        for item in pictures:
            print(f"- {item.describe()}")
        print()
        bench_png_open(bench, pictures, libdeflate)
        bench_saves_and_bmp(bench, pictures, folder)
        bench_pixels(bench, 50_000)
        bench_threads(bench, pictures[0])
        context = {"bench": bench, "pictures": pictures, "folder": folder, "repeat": repeat}
        run_optional_sections(context)
        print(bench.table())
        print(f"\nRatios are Lumivex ÷ the other (lower is faster, or smaller for MB rows) except the threads "
              f"row (a speed-up). {machine_note()} at the end; {time.perf_counter() - started:.0f} s in all.")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
