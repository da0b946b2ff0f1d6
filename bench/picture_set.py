"""The tuning set under build/pictures/ (built by `make pictures`, see
docs/pictures.md): which files it holds, a subset of them, and each as the
8-bit RGB picture the compact writer takes today.
"""
import os

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build", "pictures")
SUFFIXES = (".png", ".bmp")


def picture_files(root=ROOT, subset="", limit=0):
    """The pictures under `root`, as paths relative to it, sorted.

    subset: comma-separated names, each a folder at the top of the set
    ("generated", "icons", "skimage") or a part of a path ("1920x1080", "paeth");
    a file is kept when any of them matches. limit: at most this many, spread
    evenly over the sorted list (so a few from every folder), 0 for all.
    """
    found = []
    for folder, folders, names in os.walk(root):
        folders[:] = sorted(name for name in folders if not name.startswith("."))  # a folder being made
        for name in sorted(names):
            if name.lower().endswith(SUFFIXES):
                found.append(os.path.relpath(os.path.join(folder, name), root))
    found.sort()
    wanted = [part for part in subset.split(",") if part]
    if wanted:
        found = [path for path in found
                 if any(path.split(os.sep)[0] == part or part in path for part in wanted)]
    if limit and len(found) > limit:
        found = [found[index * len(found) // limit] for index in range(limit)]
    return found


def as_rgb(picture):
    """`picture` (a PIL image of any mode) as 8-bit RGB: alpha dropped, grey
    and palettes expanded, 16-bit samples cut to their high byte."""
    if picture.mode in ("I;16", "I;16B", "I;16L", "I"):
        import numpy
        # A 16-bit PNG opens as I;16 (or I in older Pillow): 0 to 65535.
        samples = numpy.asarray(picture).astype(numpy.uint32) >> 8
        picture = Image.fromarray(samples.astype(numpy.uint8), "L")
    if picture.mode == "P" or picture.mode == "PA":
        picture = picture.convert("RGBA")
    return picture.convert("RGB")


def load_rgb(path):
    """(width, height, RGB bytes) of the picture file at `path`."""
    with Image.open(path) as picture:
        picture.load()
        rgb = as_rgb(picture)
    return rgb.width, rgb.height, rgb.tobytes()
