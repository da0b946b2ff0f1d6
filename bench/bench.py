"""Times Lumivex against the floors and rivals that matter for each operation.

    .venv/bin/python bench/bench.py [--repeat N]

For a 1920 x 1080 photo-like picture it reports, as the median of N runs
(each run the best of a few calls):
- PNG open vs zlib.decompress of the file's IDAT data alone (the floor);
- PNG save vs zlib.compress of the assembled scanlines alone (the floor:
  the output bytes are fixed, so compression is the bulk of the work);
- BMP open and BMP save vs Pillow;
- getPixel / putPixel per call vs Pillow's getpixel / putpixel.
"""
import argparse
import io
import math
import os
import random
import statistics
import struct
import sys
import tempfile
import time
import zlib

from PIL import Image

from Lumivex.rasterCore_ext import SimpleImage

WIDTH, HEIGHT = 1920, 1080


def photo_like(width, height, seed=7):
    """Smooth shading, soft edges and sensor noise: compresses like a photo."""
    rng = random.Random(seed)
    base = Image.radial_gradient("L").resize((width, height))
    ramp = Image.linear_gradient("L").resize((width, height)).rotate(30, expand=False)
    noise = Image.effect_noise((width, height), 18)
    red = Image.blend(base, noise, 0.25)
    green = Image.blend(ramp, noise, 0.2)
    blue = Image.blend(base.transpose(Image.FLIP_LEFT_RIGHT), ramp, 0.5)
    picture = Image.merge("RGB", (red, green, blue))
    # A few shapes with hard edges, as objects in a scene would have.
    pixels = picture.load()
    for _ in range(40):
        cx, cy, r = rng.randrange(width), rng.randrange(height), rng.randrange(10, 120)
        colour = tuple(rng.randrange(256) for _ in range(3))
        for y in range(max(0, cy - r), min(height, cy + r), 3):
            half = int(math.sqrt(max(0, r * r - (y - cy) ** 2)))
            for x in range(max(0, cx - half), min(width, cx + half), 3):
                pixels[x, y] = colour
    return picture


def idat_data(png_bytes):
    position, chunks = 8, []
    while position < len(png_bytes):
        length, kind = struct.unpack(">I4s", png_bytes[position:position + 8])
        if kind == b"IDAT":
            chunks.append(png_bytes[position + 8:position + 8 + length])
        position += 12 + length
    return b"".join(chunks)


def best_time(function, calls=3):
    best = math.inf
    for _ in range(calls):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def compare(name, ours, floor, floor_name, target, repeat):
    """Alternates the two so that drift in machine speed hits both alike."""
    ratios, ours_times, floor_times = [], [], []
    for _ in range(repeat):
        a, b = best_time(ours), best_time(floor)
        ours_times.append(a)
        floor_times.append(b)
        ratios.append(a / b)
    ratio = statistics.median(ratios)
    verdict = "ok" if ratio <= target else "OVER TARGET"
    print(f"{name:<28} {statistics.median(ours_times) * 1e3:9.2f} ms   {floor_name:<30} "
          f"{statistics.median(floor_times) * 1e3:9.2f} ms   ratio {ratio:5.2f} (target <= {target})  {verdict}")


def per_call(name, ours, theirs, count=200_000):
    a = best_time(ours, 5) / count * 1e9
    b = best_time(theirs, 5) / count * 1e9
    print(f"{name:<28} {a:9.1f} ns/call   Pillow {b:9.1f} ns/call   ratio {a / b:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    picture = photo_like(WIDTH, HEIGHT)
    rgb = picture.tobytes()
    folder = tempfile.mkdtemp()
    png_path, bmp_path = os.path.join(folder, "photo.png"), os.path.join(folder, "photo.bmp")
    picture.save(png_path)  # Pillow's adaptive filters: a realistic mix of all five
    picture.save(bmp_path)
    with open(png_path, "rb") as handle:
        png_bytes = handle.read()
    idat = idat_data(png_bytes)
    rows = b"".join(b"\0" + rgb[y * WIDTH * 3:(y + 1) * WIDTH * 3] for y in range(HEIGHT))
    image = SimpleImage(WIDTH, HEIGHT, rgb)
    assert bytes(SimpleImage.open(png_path)._pixels) == rgb
    assert bytes(SimpleImage.open(bmp_path)._pixels) == rgb

    print(f"Python {sys.version.split()[0]}, {WIDTH} x {HEIGHT} photo-like picture, "
          f"PNG {len(png_bytes) / 1e6:.2f} MB, median of {args.repeat} runs")
    out_png, out_bmp = os.path.join(folder, "out.png"), os.path.join(folder, "out.bmp")
    compare("PNG open (path)", lambda: SimpleImage.open(png_path),
            lambda: zlib.decompress(idat), "zlib.decompress(IDAT)", 1.3, args.repeat)
    compare("PNG save", lambda: image.save(out_png),
            lambda: zlib.compress(rows), "zlib.compress(rows)", 1.05, args.repeat)
    compare("BMP open (path)", lambda: SimpleImage.open(bmp_path),
            lambda: Image.open(bmp_path).load(), "Pillow open+load", 2.0, args.repeat)
    compare("BMP save", lambda: image.saveBmp(out_bmp),
            lambda: picture.save(out_bmp, "BMP"), "Pillow save BMP", 2.0, args.repeat)

    small = SimpleImage(256, 256, bytes(256 * 256 * 3))
    pillow_small = Image.new("RGB", (256, 256))
    count = 200_000
    coords = [(i % 256, (i // 256) % 256) for i in range(count)]

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

    per_call("getPixel", our_get, pillow_get, count)
    per_call("putPixel", our_put, pillow_put, count)


if __name__ == "__main__":
    main()
