"""Rows for the compact PNG writer (Lumivex.encode_png / write_png), added to
bench.py's table through its optional-section hook.

On the bench's photo-like, Paeth-heavy natural and flat pictures (1080p RGB):
- the default level (6, adaptive filters) against Pillow's default PNG save,
  both into memory: time (target <= 0.30x) and file size (target <= 1.00x);
- the strongest level against `optipng -o2` run on Pillow's file: time
  (target: less than optipng's) and size (target <= 1.03x); and the size
  against `optipng -o2 -nc -nb`, which keeps the 8-bit RGB format this writer
  has (plain -o2 may turn a picture of few colours into a palette image);
- once, on the photo: write_png to a path (temporary file, fsync, rename)
  against Pillow saving to a path, for the cost of the safe replacement.

The strongest level and optipng take seconds a picture, so they get half the
table's rounds (at least one). Without optipng on the PATH their rows are left
out and a line says so.
"""
import os
import shutil
import subprocess
import sys

from PIL import Image

import Lumivex

from pictures import pillow_png

PICTURES = ("photo 1080p RGB", "Paeth-heavy 1080p", "flat graphic 1080p")
DEFAULT_TIME, DEFAULT_SIZE = 0.30, 1.00
STRONGEST_TIME, STRONGEST_SIZE = 1.00, 1.03
OPTIPNG_VARIANTS = (("optipng -o2", ()), ("optipng -o2 -nc -nb (stays 8-bit RGB)", ("-nc", "-nb")))


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


def check_with_pillow(label, path, item):
    with Image.open(path) as decoded:
        if decoded.convert("RGB").tobytes() != item.rgb:
            raise AssertionError(f"{item.name}: {label} does not decode to the picture")


def add_size(bench, work, ours, rival, theirs, target):
    bench.add(work, len(ours) / 1e6, rival, len(theirs) / 1e6, len(ours) / len(theirs), target, "<=", "MB")


def default_level(bench, item):
    ours, pillow = Last(lambda: Lumivex.encode_png(item.image)), Last(lambda: pillow_png(item.rgb_picture))
    bench.compare(f"compact writer, default level, {item.name}: time", ours,
                  [("Pillow save PNG (into memory)", pillow, DEFAULT_TIME)])
    check_pixels("the compact writer's file", ours.result, item)
    add_size(bench, "size", ours.result, "Pillow save PNG", pillow.result, DEFAULT_SIZE)


def strongest_level(bench, item, folder, rounds):
    (first_label, first_options), (second_label, second_options) = OPTIPNG_VARIANTS
    target = os.path.join(folder, "optipng.png")
    ours = Last(lambda: Lumivex.encode_png(item.image, level="strongest"))
    optimised = Last(lambda: optipng(item.png_path, target, first_options))
    bench.compare(f"compact writer, strongest level, {item.name}: time", ours,
                  [(f"{first_label} (Pillow's file in)", optimised, STRONGEST_TIME)], rounds=rounds)
    check_pixels("the compact writer's file", ours.result, item)
    check_with_pillow(first_label, target, item)
    add_size(bench, "size", ours.result, first_label, optimised.result, STRONGEST_SIZE)
    same_format = optipng(item.png_path, target, second_options)
    check_with_pillow(second_label, target, item)
    add_size(bench, "", ours.result, second_label, same_format, STRONGEST_SIZE)


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
    chosen = [item for item in context["pictures"] if item.name in PICTURES]
    version = optipng_version() if shutil.which("optipng") else None
    print(f"Compact writer: deflate by {Lumivex.DEFLATE_BACKEND}; "
          f"{version or 'optipng not found, so its strongest level is not compared'}.\n")
    for item in chosen:
        default_level(bench, item)
    if chosen:
        write_to_path(bench, chosen[0], folder)
    if version:
        for item in chosen:
            strongest_level(bench, item, folder, rounds=max(1, bench.repeat // 2))
