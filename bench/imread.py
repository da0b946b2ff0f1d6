"""Rows for `Lumivex.imread` (every sample, as stored) against OpenCV's
`imdecode(..., IMREAD_UNCHANGED)` and pyspng where it returns the same
samples; `imread(mode="RGB")` against `Lumivex.open`; `read_metadata`
against `imread` of the same photo. The pictures: the 1080p photo-like
picture with alpha, as 16-bit RGB (its samples x257 plus noise in the low
byte, written by OpenCV), its grey as a 16-bit depth map, a 256-colour
palette with a tRNS chunk, and grey with alpha. Each row is left out when
the package it needs is missing (`pip install '.[bench]'`)."""
import io
import sys

import numpy
from PIL import Image

import Lumivex
from rivals import MIN_ROUNDS, cv2, pyspng  # each None when its package is missing

OVER_RIVALS = 0.8  # imread as stored / OpenCV, and / pyspng where it returns the same samples
RGB_OVER_OPEN = 1.05  # imread(mode="RGB") / Lumivex.open of an 8-bit RGB file
METADATA_OVER_IMREAD = 0.05  # read_metadata / imread of the same 1080p photo


def pillow_png(picture):
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()


def sixteen_bit_png(samples):
    """A 16-bit PNG of `samples` (RGB or grey) as OpenCV writes it (it takes BGR)."""
    if samples.ndim == 3:
        samples = samples[..., ::-1]
    ok, encoded = cv2.imencode(".png", numpy.ascontiguousarray(samples))
    assert ok
    return encoded.tobytes()


def files(photo_rgba):
    """(name, PNG bytes, pyspng's call for the same samples or None)."""
    rgba = numpy.asarray(photo_rgba)
    noise = numpy.random.default_rng(5).integers(0, 256, rgba.shape[:2] + (3,), dtype=numpy.uint16)
    wide = rgba[..., :3].astype(numpy.uint16) * 256 + noise
    grey = numpy.asarray(photo_rgba.convert("L")).astype(numpy.uint16) * 257
    palette = photo_rgba.convert("RGB").quantize(256)
    palette.info["transparency"] = bytes(range(0, 256))
    grey_alpha = photo_rgba.convert("LA")
    made = [("RGBA photo 1080p", pillow_png(photo_rgba), lambda data: pyspng.load(data)),
            ("palette with tRNS 1080p", pillow_png(palette), lambda data: pyspng.load(data, format="RGBA")),
            ("grey and alpha 1080p", pillow_png(grey_alpha), None)]
    if cv2 is not None:
        made += [("16-bit RGB photo 1080p", sixteen_bit_png(wide), None),
                 ("16-bit grey depth map 1080p", sixteen_bit_png(grey), None)]
    return made


def table_rows(context):
    bench = context["bench"]
    rounds = max(MIN_ROUNDS, context["repeat"])
    pictures = {item.name: item for item in context["pictures"]}
    photo = Image.frombytes("RGB", (1920, 1080), pictures["photo 1080p RGB"].rgb)
    photo_rgba = photo.copy()
    photo_rgba.putalpha(photo.convert("L"))
    for name, data, spng in files(photo_rgba):
        rivals = []
        if cv2 is not None:
            array = numpy.frombuffer(data, numpy.uint8)
            expected = cv2.imdecode(array, cv2.IMREAD_UNCHANGED)
            channels = expected.shape[2] if expected.ndim == 3 else 1
            if channels >= 3:  # BGR(A) to RGB(A)
                expected = expected[..., [2, 1, 0, 3][:channels]]
            # OpenCV widens grey and alpha to four channels: compared in its mode, timed as stored.
            if not numpy.array_equal(Lumivex.imread(data, (None, "L", "LA", "RGB", "RGBA")[channels]), expected):
                raise AssertionError(f"{name}: imread and OpenCV read different samples")
            rivals.append(("cv2.imdecode UNCHANGED", lambda: cv2.imdecode(array, cv2.IMREAD_UNCHANGED), OVER_RIVALS))
        if pyspng is not None and spng is not None:
            if numpy.array_equal(Lumivex.imread(data, "RGBA"), spng(data)):
                rivals.append(("pyspng.load", lambda: spng(data), OVER_RIVALS))
            else:  # pyspng 0.1 leaves a palette's tRNS out even when asked for RGBA (pypng agrees with imread)
                print(f"(pyspng reads other samples of the {name}: its row is left out)", file=sys.stderr)
        if rivals:
            bench.compare(f"imread as stored, {name}", lambda: Lumivex.imread(data), rivals, rounds)
    rgb = pictures["photo 1080p RGB"].png
    bench.compare("imread RGB, photo 1080p RGB", lambda: Lumivex.imread(rgb, "RGB"),
                  [("Lumivex.open", lambda: Lumivex.open(rgb), RGB_OVER_OPEN)], rounds)
    bench.compare("read_metadata, photo 1080p RGB", lambda: Lumivex.read_metadata(rgb),
                  [("its imread", lambda: Lumivex.imread(rgb), METADATA_OVER_IMREAD)], rounds)
    return ()
