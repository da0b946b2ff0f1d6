"""A short tour of Lumivex: open a PNG, draw on it, save it as PNG and BMP,
open both files again, and keep everything in demo/out/ to look at.

    make demo        (or: .venv/bin/python demo/demo.py)
"""
import os

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
ZOOM = 8


def describe(label, image):
    width, height = image.size
    corners = [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)]
    print(f"{label:<16} size {image.size}, centre {image.getPixel((width // 2, height // 2))}, "
          f"corners {[image.getPixel(c) for c in corners]}")


def draw(image):
    """A red frame, a blue diagonal and a white ring around the centre."""
    width, height = image.size
    for x in range(width):
        image.putPixel((x, 0), (255, 0, 0))
        image.putPixel((x, height - 1), (255, 0, 0))
        image.putPixel((x, x * (height - 1) // (width - 1)), (0, 0, 255))
    for y in range(height):
        image.putPixel((0, y), (255, 0, 0))
        image.putPixel((width - 1, y), (255, 0, 0))
    cx, cy, radius = width // 2, height // 2, min(width, height) // 3
    for y in range(height):
        for x in range(width):
            if abs((x - cx) ** 2 + (y - cy) ** 2 - radius ** 2) <= radius:
                image.putPixel((x, y), (255, 255, 255))


def enlarged(image, factor):
    """Each pixel as a factor x factor block, so the drawing is easy to see."""
    width, height = image.size
    pixels = image._pixels
    rows = []
    for y in range(height):
        row = b"".join(bytes(pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]) * factor for x in range(width))
        rows.append(row * factor)
    return SimpleImage(width * factor, height * factor, b"".join(rows))


def main():
    image = Lumivex.open(os.path.join(HERE, "sample.png"))
    describe("sample.png", image)
    draw(image)
    describe("drawn on", image)

    os.makedirs(OUT, exist_ok=True)
    paths = {name: os.path.join(OUT, name) for name in ("drawn.png", "drawn.bmp", f"drawn-x{ZOOM}.png")}
    image.save(paths["drawn.png"])
    image.saveBmp(paths["drawn.bmp"])
    enlarged(image, ZOOM).save(paths[f"drawn-x{ZOOM}.png"])
    for name in ("drawn.png", "drawn.bmp"):
        reopened = Lumivex.open(paths[name])
        describe(name, reopened)
        same = bytes(reopened._pixels) == bytes(image._pixels)
        print(f"{'':<16} {os.path.getsize(paths[name])} bytes on disk, pixels identical to the drawing: {same}")
    print("\nWritten (open them in any image viewer):")
    for path in paths.values():
        print("  " + os.path.relpath(path))


if __name__ == "__main__":
    main()
