"""Rows for `Lumivex.open` on the layouts beyond 8-bit RGB PNG and 24-bit BMP:
a palette graphic, a greyscale photo, a 16-bit RGB photo, an Adam7-interlaced
photo and a 1-bit scanned page as PNG, and an 8-bit palette graphic, the same
graphic run-length coded (RLE8) and a 32-bit photo as BMP; against Pillow
(open + convert("RGB")) and the faster of pyspng and OpenCV (OpenCV alone for
BMP), every rival giving 8-bit RGB (OpenCV BGR) as Lumivex does.

The 16-bit picture needs OpenCV to write it, the interlaced one optipng and
the RLE8 one ImageMagick; a picture whose writer is missing is left out, as
are absent rivals.
"""
import io
import os
import random
import shutil
import subprocess
import time

from PIL import Image, ImageDraw

import Lumivex
import rivals
from pictures import flat_graphic, photo_like

# The rivals as rivals.py found them (None when not installed).
cv2, pyspng, numpy = rivals.cv2, rivals.pyspng, getattr(rivals, "numpy", None)
MIN_ROUNDS = rivals.MIN_ROUNDS
OVER_PILLOW = 0.5
OVER_FASTER_RIVAL = 0.8


def pillow_bytes(picture, form="PNG", **options):
    buffer = io.BytesIO()
    picture.save(buffer, form, **options)
    return buffer.getvalue()


def scanned_page(width=2480, height=3508, seed=13):
    """An A4 page at 300 dpi in black and white: lines of word-like blocks."""
    rng = random.Random(seed)
    page = Image.new("L", (width, height), 255)
    draw = ImageDraw.Draw(page)
    for top in range(200, height - 200, 60):
        x = 180
        while x < width - 300:
            word = rng.randrange(40, 220)
            draw.rectangle([x, top, x + word, top + 28], fill=rng.randrange(0, 60))
            x += word + rng.randrange(18, 30)
    return page.convert("1", dither=Image.NONE)


def sixteen_bit(photo):
    """The photo at 16 bits a sample (low bytes varied), written by OpenCV."""
    array = numpy.asarray(photo, dtype=numpy.uint16) * 257
    array ^= numpy.random.default_rng(5).integers(0, 256, array.shape, dtype=numpy.uint16)
    ok, encoded = cv2.imencode(".png", array[:, :, ::-1])
    return encoded.tobytes() if ok else None


def interlaced(data, folder):
    """The PNG rewritten Adam7-interlaced by optipng, still 8-bit RGB."""
    source, target = os.path.join(folder, "progressive.png"), os.path.join(folder, "adam7.png")
    with open(source, "wb") as handle:
        handle.write(data)
    subprocess.run(["optipng", "-quiet", "-o1", "-i1", "-nc", "-nb", "-out", target, source], check=True)
    with open(target, "rb") as handle:
        return handle.read()


MAGICK = "/usr/bin/convert"  # ImageMagick's; a convert elsewhere on the path may be another program


def run_length(picture, folder):
    """The palette picture as an RLE8 BMP, written by ImageMagick."""
    source = os.path.join(folder, "palette.png")
    picture.save(source)
    return subprocess.run([MAGICK, source, "-type", "Palette", "-compress", "RLE", "BMP3:-"],
                          capture_output=True, check=True).stdout


def pictures(folder):
    """(name, file bytes) of each picture whose writer is here."""
    photo = photo_like(1920, 1080)
    graphic = flat_graphic(1920, 1080).quantize(256)
    made = [
        ("PNG palette graphic 1080p", pillow_bytes(graphic)),
        ("PNG grey photo 1080p", pillow_bytes(photo.convert("L"))),
    ]
    if cv2 is not None:
        made.append(("PNG 16-bit RGB photo 1080p", sixteen_bit(photo)))
    if shutil.which("optipng"):
        made.append(("PNG Adam7 photo 1080p", interlaced(pillow_bytes(photo), folder)))
    made.append(("PNG 1-bit scanned page A4 300 dpi", pillow_bytes(scanned_page())))
    made.append(("BMP 8-bit palette graphic 1080p", pillow_bytes(graphic, "BMP")))
    if os.path.exists(MAGICK):
        made.append(("BMP RLE8 palette graphic 1080p", run_length(graphic, folder)))
    made.append(("BMP 32-bit photo 1080p", pillow_bytes(photo.convert("RGBA"), "BMP")))
    return [(name, data) for name, data in made if data]


def faster_rival(data):
    """The faster of pyspng (PNG only) and OpenCV on this file (as 8-bit RGB), with its label."""
    rivals = []
    if pyspng is not None and data.startswith(b"\x89PNG"):
        rivals.append(("pyspng.load", lambda: pyspng.load(data, format="RGB")))
    if cv2 is not None:
        array = numpy.frombuffer(data, numpy.uint8)
        rivals.append(("cv2.imdecode", lambda: cv2.imdecode(array, cv2.IMREAD_COLOR)))
    if not rivals:
        return None

    def best_of(call):
        times = []
        for _ in range(5):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return min(times)

    return min(rivals, key=lambda rival: best_of(rival[1]))


def check(name, data):
    """Lumivex.open must give what OpenCV (or Pillow) gives, or the timing means nothing."""
    ours = bytes(Lumivex.open(data)._pixels)
    if cv2 is not None:
        theirs = cv2.imdecode(numpy.frombuffer(data, numpy.uint8), cv2.IMREAD_COLOR)[:, :, ::-1].tobytes()
    else:
        theirs = Image.open(io.BytesIO(data)).convert("RGB").tobytes()
    if ours != theirs:
        raise AssertionError(f"{name}: Lumivex.open and the reference decode differ")


def table_rows(context):
    bench, folder = context["bench"], context["folder"]
    rounds = max(MIN_ROUNDS, context["repeat"])
    for name, data in pictures(folder):
        check(name, data)
        rivals = [("Pillow open+convert(RGB)", lambda data=data: Image.open(io.BytesIO(data)).convert("RGB"),
                   OVER_PILLOW)]
        faster = faster_rival(data)
        if faster is not None:
            rivals.append((f"{faster[0]} (the faster rival)", faster[1], OVER_FASTER_RIVAL))
        bench.compare(f"Lumivex.open bytes, {name}", lambda data=data: Lumivex.open(data), rivals, rounds)
    return ()
