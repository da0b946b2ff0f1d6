"""A short tour of SimpleImage: open a PNG, draw on it, save it as PNG and
as BMP, and open both files again."""
import os
import tempfile

from Lumivex.rasterCore_ext import SimpleImage

HERE = os.path.dirname(os.path.abspath(__file__))


def describe(label, image):
    width, height = image.size
    corners = [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)]
    print(f"{label:<14} size {image.size}, centre {image.getPixel((width // 2, height // 2))}, "
          f"corners {[image.getPixel(c) for c in corners]}")


def main():
    image = SimpleImage.open(os.path.join(HERE, "sample.png"))
    describe("sample.png", image)

    # Draw a red frame and a blue diagonal.
    width, height = image.size
    for x in range(width):
        image.putPixel((x, 0), (255, 0, 0))
        image.putPixel((x, height - 1), (255, 0, 0))
    for y in range(height):
        image.putPixel((0, y), (255, 0, 0))
        image.putPixel((width - 1, y), (255, 0, 0))
        image.putPixel((y * (width - 1) // (height - 1), y), (0, 0, 255))
    backup = image.copy()
    describe("drawn on", image)

    folder = tempfile.mkdtemp(prefix="lumivex-demo-")
    png_path, bmp_path = os.path.join(folder, "drawn.png"), os.path.join(folder, "drawn.bmp")
    image.save(png_path)
    image.saveBmp(bmp_path)
    for path in (png_path, bmp_path):
        reopened = SimpleImage.open(path)
        describe(os.path.basename(path), reopened)
        same = bytes(reopened._pixels) == bytes(backup._pixels)
        print(f"{'':<14} {os.path.getsize(path)} bytes on disk, pixels identical to the drawing: {same}")


if __name__ == "__main__":
    main()
