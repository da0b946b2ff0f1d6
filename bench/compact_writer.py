"""Sizes and times of the compact PNG writer against Pillow's default PNG save
and `optipng -o2`.

    .venv/bin/python bench/compact_writer.py [--repeat N] [--no-optipng]

For a photo-like, a Paeth-heavy natural and a flat picture (1920 x 1080 each)
it reports, as medians of N interleaved runs:
- the default level (6, adaptive filters) against Pillow's default save:
  size ratio (target <= 1.00) and time ratio (target <= 0.30);
- the strongest level against `optipng -o2` run on Pillow's file: size ratio
  (target <= 1.03) and time ratio (target < 1.00); and the size against
  `optipng -o2 -nc -nb`, which keeps the 8-bit RGB format this writer has;
- the deflate library the build links (Lumivex.DEFLATE_BACKEND).
"""
import argparse
import io
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from PIL import Image, ImageDraw, ImageFilter

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import photo_like  # noqa: E402

WIDTH, HEIGHT = 1920, 1080


def paeth_heavy(width, height, seed=11):
    """Soft texture varying in both directions (blurred noise over diagonal
    gradients), like foliage or skin at a distance: Pillow's adaptive filter
    picks Paeth for most rows."""
    rng = random.Random(seed)
    channels = []
    for index in range(3):
        noise = Image.effect_noise((width // 4, height // 4), 60 + 20 * index).resize((width, height), Image.BICUBIC)
        ramp = Image.linear_gradient("L").rotate(45 + 30 * index).resize((width, height))
        channels.append(Image.blend(noise.filter(ImageFilter.GaussianBlur(2 + index)), ramp, 0.4 + rng.random() * 0.2))
    return Image.merge("RGB", channels)


def flat_graphic(width, height, seed=3):
    """A diagram: flat fills, hard edges, thin lines and a few colours."""
    rng = random.Random(seed)
    picture = Image.new("RGB", (width, height), (250, 250, 247))
    draw = ImageDraw.Draw(picture)
    palette = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(8)]
    for _ in range(60):
        x, y = rng.randrange(width), rng.randrange(height)
        w, h = rng.randrange(20, 400), rng.randrange(20, 300)
        shape = draw.rectangle if rng.random() < 0.6 else draw.ellipse
        shape([x, y, x + w, y + h], fill=rng.choice(palette), outline=(20, 20, 20), width=2)
    for _ in range(150):
        draw.line([rng.randrange(width), rng.randrange(height), rng.randrange(width), rng.randrange(height)],
                  fill=rng.choice(palette), width=rng.choice((1, 2, 3)))
    return picture


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def pillow_save(picture):
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()


def optipng(png_bytes, folder, *options):
    source, target = os.path.join(folder, "in.png"), os.path.join(folder, "out.png")
    with open(source, "wb") as handle:
        handle.write(png_bytes)
    if os.path.exists(target):
        os.remove(target)
    subprocess.run(["optipng", "-quiet", "-o2", *options, "-out", target, source], check=True)
    with open(target, "rb") as handle:
        return handle.read()


def medians(pairs):
    ours, theirs = zip(*pairs)
    return statistics.median(ours), statistics.median(theirs), statistics.median(a / b for a, b in pairs)


def report(label, our_size, their_size, times, size_target, time_target, rival):
    ours, theirs, ratio = medians(times)
    size_ratio = our_size / their_size
    verdict = "ok" if size_ratio <= size_target and ratio <= time_target else "OVER TARGET"
    print(f"  {label:<10} {our_size / 1e6:7.3f} MB vs {rival} {their_size / 1e6:7.3f} MB  size {size_ratio:5.3f}"
          f" (<= {size_target})   {ours * 1e3:8.1f} ms vs {theirs * 1e3:8.1f} ms  time {ratio:5.2f}"
          f" (<= {time_target})  {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-optipng", action="store_true", help="skip the strongest level against optipng")
    args = parser.parse_args()
    use_optipng = not args.no_optipng and shutil.which("optipng") is not None
    folder = tempfile.mkdtemp()
    print(f"Python {sys.version.split()[0]}, deflate: {Lumivex.DEFLATE_BACKEND}, {WIDTH} x {HEIGHT}, "
          f"median of {args.repeat} interleaved runs")
    pictures = [("photo", photo_like(WIDTH, HEIGHT)), ("paeth", paeth_heavy(WIDTH, HEIGHT)),
                ("flat", flat_graphic(WIDTH, HEIGHT))]
    for name, picture in pictures:
        image = SimpleImage(WIDTH, HEIGHT, picture.tobytes())
        default_times, strongest_times = [], []
        for _ in range(args.repeat):
            ours, our_png = timed(lambda: Lumivex.encode_png(image))
            theirs, pillow_png = timed(lambda: pillow_save(picture))
            default_times.append((ours, theirs))
        print(f"{name}:")
        assert bytes(SimpleImage.open(our_png)._pixels) == picture.tobytes()
        report("default", len(our_png), len(pillow_png), default_times, 1.0, 0.30, "Pillow")
        if not use_optipng:
            continue
        for _ in range(max(1, args.repeat // 2)):
            ours, strong_png = timed(lambda: Lumivex.encode_png(image, level="strongest"))
            theirs, optimised = timed(lambda: optipng(pillow_png, folder))
            strongest_times.append((ours, theirs))
        report("strongest", len(strong_png), len(optimised), strongest_times, 1.03, 1.0, "optipng")
        # optipng may turn a picture of few colours into a palette image, which an RGB
        # writer cannot; with -nc -nb it keeps 8-bit RGB as this writer does.
        same_format = optipng(pillow_png, folder, "-nc", "-nb")
        print(f"  {'':<10} vs optipng -o2 -nc -nb (stays RGB) {len(same_format) / 1e6:7.3f} MB"
              f"  size {len(strong_png) / len(same_format):5.3f}")
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
