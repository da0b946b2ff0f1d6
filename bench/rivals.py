"""Rows for `Lumivex.open` beside `SimpleImage.open`, and against the decoders
users pick instead: pyspng (libspng) and OpenCV (`opencv-python-headless`),
each asked for 8-bit RGB as Lumivex gives it. Each rival's rows are left out
when its package is not installed (`pip install '.[bench]'` brings both).

OpenCV's times swing from run to run, so these rows take at least
MIN_ROUNDS interleaved rounds.
"""
import os

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage

try:
    import numpy
    import cv2
except ImportError:
    cv2 = None
try:
    import pyspng
except ImportError:
    pyspng = None

MIN_ROUNDS = 15
OPEN_OVER_EXTENSION = 1.05  # Lumivex.open / SimpleImage.open, every PNG, path and bytes
BMP_OVER_OPENCV = {"photo 256×256": 1.0}  # Lumivex.open / OpenCV for BMP; 0.8 for the larger pictures


def read(path):
    with open(path, "rb") as handle:
        return handle.read()


def png_rows(bench, item, rounds):
    data = read(item.png_path)
    rivals = [("SimpleImage.open(path)", lambda: SimpleImage.open(item.png_path), OPEN_OVER_EXTENSION)]
    if cv2 is not None:
        rivals.append(("cv2.imread", lambda: cv2.imread(item.png_path, cv2.IMREAD_COLOR), None))
    if pyspng is not None:
        rivals.append(("pyspng.load(read)", lambda: pyspng.load(read(item.png_path), format="RGB"), None))
    bench.compare(f"Lumivex.open PNG path, {item.name}", lambda: Lumivex.open(item.png_path), rivals, rounds)

    rivals = [("SimpleImage.open(bytes)", lambda: SimpleImage.open(data), OPEN_OVER_EXTENSION)]
    if cv2 is not None:
        array = numpy.frombuffer(data, numpy.uint8)
        rivals.append(("cv2.imdecode", lambda: cv2.imdecode(array, cv2.IMREAD_COLOR), None))
    if pyspng is not None:
        rivals.append(("pyspng.load", lambda: pyspng.load(data, format="RGB"), None))
    bench.compare(f"Lumivex.open PNG bytes, {item.name}", lambda: Lumivex.open(data), rivals, rounds)


def bmp_rows(bench, item, folder, rounds):
    path = os.path.join(folder, f"{item.name} rivals.bmp")
    item.rgb_picture.save(path, "BMP")
    data = read(path)
    if bytes(Lumivex.open(data)._pixels) != item.rgb or bytes(Lumivex.open(path)._pixels) != item.rgb:
        raise AssertionError(f"{item.name}: Lumivex.open and Pillow read the BMP differently")
    target = BMP_OVER_OPENCV.get(item.name, 0.8)
    rivals = [("SimpleImage.open(path)", lambda: SimpleImage.open(path), None)]
    if cv2 is not None:
        rivals.append(("cv2.imread", lambda: cv2.imread(path, cv2.IMREAD_COLOR), target))
    bench.compare(f"Lumivex.open BMP path, {item.name}", lambda: Lumivex.open(path), rivals, rounds)
    rivals = [("SimpleImage.open(bytes)", lambda: SimpleImage.open(data), None)]
    if cv2 is not None:
        array = numpy.frombuffer(data, numpy.uint8)
        rivals.append(("cv2.imdecode", lambda: cv2.imdecode(array, cv2.IMREAD_COLOR), target))
    bench.compare(f"Lumivex.open BMP bytes, {item.name}", lambda: Lumivex.open(data), rivals, rounds)


def table_rows(context):
    bench, folder = context["bench"], context["folder"]
    rounds = max(MIN_ROUNDS, context["repeat"])
    for item in context["pictures"]:
        png_rows(bench, item, rounds)
    for item in context["pictures"]:
        if item.name.startswith("photo") and item.channels == 3:
            bmp_rows(bench, item, folder, rounds)
    return ()
