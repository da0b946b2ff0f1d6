"""Rows for the compact PNG writer (Lumivex.encode_png / write_png), added to
bench.py's table through its optional-section hook.

On the bench's photo-like, Paeth-heavy and flat pictures and on pictures of
other kinds (a few hundred colours from antialiasing, a greyscale photo, a
bar chart, a page of text; all 1080p):
- the default level against Pillow's default PNG save, both into memory:
  time (target <= 0.30x) and size (<= 1.00x, and <= 0.70x on the flat
  graphic), and size against OpenCV's default PNG (<= 1.00x);
- the strongest level against `optipng -o2` and oxipng `-o2` (pyoxipng), both
  given Pillow's file: time (less than the faster of the two) and size
  (<= 1.00x the smaller where colour reduction applies, else <= 1.01x);
- once, on the photo: write_png to a path (temporary file, fsync, rename)
  against Pillow saving to a path, for the cost of the safe replacement.

Every file whose size is reported is decoded back (ours by Lumivex.open, the
others by Pillow) and compared with the picture. The strongest level and the
optimisers take seconds a picture, so they get half the table's rounds (at
least one). Without optipng or pyoxipng their rows are left out.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import time

from PIL import Image

import Lumivex

from pictures import antialiased_graphic, bar_chart, photo_like, pillow_png, text_page

PICTURES = ("photo 1080p RGB", "Paeth-heavy 1080p", "flat graphic 1080p")
DEFAULT_TIME, DEFAULT_SIZE, FLAT_SIZE = 0.30, 1.00, 0.70
STRONGEST_TIME, REDUCED_SIZE, RGB_SIZE = 1.00, 1.00, 1.01

try:
    import oxipng
except ImportError:
    oxipng = None
try:
    import cv2
    import numpy
except ImportError:
    cv2 = None


class Item:
    """A picture made here, with what the rows need (as bench.Picture has it)."""

    def __init__(self, name, picture, folder):
        self.name, self.rgb_picture = name, picture.convert("RGB")
        self.rgb = self.rgb_picture.tobytes()
        self.image = Lumivex.SimpleImage(picture.width, picture.height, bytearray(self.rgb))
        self.png_path = os.path.join(folder, f"{name}.png")
        self.rgb_picture.save(self.png_path)


def other_pictures(folder):
    size = (1920, 1080)
    return [Item("antialiased graphic 1080p", antialiased_graphic(*size), folder),
            Item("grey photo 1080p", photo_like(*size).convert("L"), folder),
            Item("bar chart 1080p", bar_chart(*size), folder),
            Item("text page 1080p", text_page(*size), folder)]


class Last:
    """Calls `function` and keeps what the last call returned, so that the timed
    calls also give the file whose size is reported."""

    def __init__(self, function):
        self.function, self.result = function, None

    def __call__(self):
        self.result = self.function()


def optipng(source, target, options=()):
    """optipng -o2 of the file at `source` into `target`; returns the new file's bytes."""
    if os.path.exists(target):
        os.remove(target)
    subprocess.run(["optipng", "-quiet", "-o2", *options, "-out", target, source], check=True)
    with open(target, "rb") as handle:
        return handle.read()


def check_pixels(label, png_bytes, item):
    """Every file whose size is reported must hold exactly the picture."""
    if bytes(Lumivex.open(png_bytes)._pixels) != item.rgb:
        raise AssertionError(f"{item.name}: {label} does not decode to the picture")


def add_size(bench, work, ours, rival, theirs, target):
    bench.add(work, len(ours) / 1e6, rival, len(theirs) / 1e6, len(ours) / len(theirs), target, "<=", "MB")


def default_level(bench, item):
    ours, pillow = Last(lambda: Lumivex.encode_png(item.image)), Last(lambda: pillow_png(item.rgb_picture))
    bench.compare(f"compact writer, default level, {item.name}: time", ours,
                  [("Pillow save PNG (into memory)", pillow, DEFAULT_TIME)])
    check_pixels("the compact writer's file", ours.result, item)
    target = FLAT_SIZE if item.name.startswith("flat") else DEFAULT_SIZE
    add_size(bench, "size", ours.result, "Pillow save PNG", pillow.result, target)
    if cv2 is not None:
        bgr = numpy.frombuffer(item.rgb, numpy.uint8).reshape(item.image.height, item.image.width, 3)[:, :, ::-1]
        theirs = cv2.imencode(".png", bgr)[1].tobytes()
        check_pixels_with_pillow("OpenCV's file", theirs, item)
        add_size(bench, "", ours.result, "OpenCV imencode PNG", theirs, DEFAULT_SIZE)


def check_pixels_with_pillow(label, data, item):
    with Image.open(io.BytesIO(data)) as decoded:
        if decoded.convert("RGB").tobytes() != item.rgb:
            raise AssertionError(f"{item.name}: {label} does not decode to the picture")


def optimisers(item, folder):
    """(label, callable giving the optimised file's bytes) of each optimiser here, given Pillow's file."""
    found = []
    if shutil.which("optipng"):
        target = os.path.join(folder, "optipng.png")
        found.append(("optipng -o2", lambda: optipng(item.png_path, target)))
    if oxipng is not None:
        with open(item.png_path, "rb") as handle:
            data = handle.read()
        found.append(("oxipng -o2", lambda: oxipng.optimize_from_memory(data, level=2)))
    return found


def strongest_level(bench, item, folder, rounds):
    rivals = [(label, Last(call)) for label, call in optimisers(item, folder)]
    if not rivals:
        return
    ours = Last(lambda: Lumivex.encode_png(item.image, level="strongest"))
    for _, rival in rivals:
        rival()
    # Time against the faster optimiser, size against the smaller file.
    faster = min(rivals, key=lambda rival: best_time(rival[1]))
    bench.compare(f"compact writer, strongest level, {item.name}: time", ours,
                  [(f"{faster[0]} (the faster optimiser)", faster[1], STRONGEST_TIME)], rounds=rounds)
    check_pixels("the compact writer's file", ours.result, item)
    for label, rival in rivals:
        check_pixels_with_pillow(label, rival.result, item)
    smaller = min(rivals, key=lambda rival: len(rival[1].result))
    _, colour_type = struct.unpack_from(">BB", ours.result, 24)
    add_size(bench, "size" + (" (colour reduced)" if colour_type != 2 else ""), ours.result,
             f"{smaller[0]} (the smaller file)", smaller[1].result, REDUCED_SIZE if colour_type != 2 else RGB_SIZE)


def best_time(call, runs=2):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def write_to_path(bench, item, folder):
    ours_path, pillow_path = os.path.join(folder, "compact.png"), os.path.join(folder, "pillow.png")
    bench.compare(f"compact writer, write_png to a path, {item.name}", lambda: Lumivex.write_png(item.image, ours_path),
                  [("Pillow save PNG to a path", lambda: item.rgb_picture.save(pillow_path, "PNG"), None)])


def optipng_version():
    try:
        lines = subprocess.run(["optipng", "-v"], capture_output=True, text=True).stdout.splitlines()
    except OSError:
        return None
    return lines[0] if lines else "optipng (version unknown)"


def table_rows(context):
    bench, folder = context["bench"], context["folder"]
    chosen = [item for item in context["pictures"] if item.name in PICTURES] + other_pictures(folder)
    version = optipng_version() if shutil.which("optipng") else None
    print(f"Compact writer: deflate by {Lumivex.DEFLATE_BACKEND}; {version or 'optipng not found'}; "
          f"{'pyoxipng ' + getattr(oxipng, '__version__', '') if oxipng else 'pyoxipng not installed'}.\n")
    for item in chosen:
        default_level(bench, item)
    if chosen:
        write_to_path(bench, chosen[0], folder)
    for item in chosen:
        strongest_level(bench, item, folder, rounds=max(1, bench.repeat // 2))
