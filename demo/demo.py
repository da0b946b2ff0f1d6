"""A short tour of SimpleImage: build an image, draw on it, copy it."""
from Lumivex.rasterCore_ext import SimpleImage


def main():
    width, height = 8, 4
    image = SimpleImage(width, height, bytes(width * height * 3))
    for x in range(width):
        image.putPixel((x, x % height), (255, 32 * x, 0))
    duplicate = image.copy()
    duplicate.putPixel((0, 0), (0, 0, 255))
    print("size:", image.size)
    print("original (0, 0):", image.getPixel((0, 0)), " copy (0, 0):", duplicate.getPixel((0, 0)))
    print("diagonal:", [image.getPixel((x, x % height)) for x in range(width)])


if __name__ == "__main__":
    main()
