"""Deterministic test pictures for the benchmarks, built with Pillow.

Every picture depends only on its size and seed: noise comes from Python's
`random.Random`, never from a C library's generator, so two runs (and two
machines) time exactly the same files.
"""
import io
import random
import struct

from PIL import Image, ImageDraw, ImageFilter


def noise(width, height, seed):
    """Uniform grey noise from a seeded generator."""
    rng = random.Random(seed)
    return Image.frombytes("L", (width, height), rng.getrandbits(8 * width * height).to_bytes(width * height, "little"))


def gradient(width, height, angle, radial=False):
    ramp = Image.radial_gradient("L") if radial else Image.linear_gradient("L")
    return ramp.rotate(angle).resize((width, height), Image.BILINEAR)


def photo_like(width, height, seed=7):
    """Smooth shading, soft-edged objects and sensor noise: compresses like a photo
    (Pillow's PNG is about half the raw size, its rows filtered with Sub, Up and Paeth)."""
    rng = random.Random(seed)
    grain = noise(width, height, seed)
    red = Image.blend(gradient(width, height, 0, radial=True), grain, 0.1)
    green = Image.blend(gradient(width, height, 30), grain.transpose(Image.FLIP_TOP_BOTTOM), 0.08)
    blue = Image.blend(gradient(width, height, 200, radial=True), gradient(width, height, 120), 0.5)
    picture = Image.merge("RGB", (red, green, blue))
    # Objects in a scene: filled shapes, slightly blurred so their edges are soft.
    shapes = Image.new("RGB", (width, height))
    mask = Image.new("L", (width, height))
    draw_shape, draw_mask = ImageDraw.Draw(shapes), ImageDraw.Draw(mask)
    scale = max(1, min(width, height) // 256)
    for _ in range(40):
        cx, cy, r = rng.randrange(width), rng.randrange(height), rng.randrange(5, 60) * scale
        box = [cx - r, cy - r, cx + r, cy + r]
        draw_shape.ellipse(box, fill=tuple(rng.randrange(256) for _ in range(3)))
        draw_mask.ellipse(box, fill=rng.randrange(120, 256))
    mask = mask.filter(ImageFilter.BoxBlur(2))
    picture.paste(Image.blend(shapes, picture, 0.15), (0, 0), mask)
    return picture


def with_alpha(picture, seed=5):
    """The picture with a soft vignette for alpha and a few cut-out holes."""
    width, height = picture.size
    rng = random.Random(seed)
    alpha = gradient(width, height, 0, radial=True).point(lambda v: 255 - v // 2)
    draw = ImageDraw.Draw(alpha)
    for _ in range(12):
        cx, cy, r = rng.randrange(width), rng.randrange(height), rng.randrange(width // 40 + 2, width // 10 + 3)
        draw.ellipse([cx - r, cy - r, cx + r, cy + r], fill=rng.randrange(0, 80))
    rgba = picture.convert("RGBA")
    rgba.putalpha(alpha)
    return rgba


def paeth_heavy(width, height, seed=11):
    """A natural texture varying smoothly in both directions at several scales
    (foliage or skin at a distance): Pillow's per-row filter choice picks Paeth
    for most rows."""
    channels = []
    for index in range(3):
        field = Image.new("L", (width, height), 128)
        for level, weight in ((16, 0.55), (6, 0.3), (2, 0.12)):
            coarse = noise(max(2, width // level), max(2, height // level), seed * 10 + index * 3 + level)
            field = Image.blend(field, coarse.resize((width, height), Image.BICUBIC), weight)
        ramp = gradient(width, height, 45 + 60 * index)
        channels.append(Image.blend(field.filter(ImageFilter.GaussianBlur(1.5)), ramp, 0.35))
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


def pillow_png(picture):
    """The picture as Pillow writes a PNG by default: a filter chosen per row, zlib level 6."""
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()


def chunks(png_bytes):
    position = 8
    while position + 8 <= len(png_bytes):
        length, kind = struct.unpack(">I4s", png_bytes[position:position + 8])
        yield kind, png_bytes[position + 8:position + 8 + length]
        position += 12 + length


def idat_data(png_bytes):
    """The zlib stream of a PNG file: its IDAT chunks' data joined."""
    return b"".join(data for kind, data in chunks(png_bytes) if kind == b"IDAT")


def filter_counts(scanlines, height):
    """How many rows use each filter type (0..4), from inflated scanlines."""
    stride = len(scanlines) // height
    counts = [0] * 5
    for y in range(height):
        counts[scanlines[y * stride]] += 1
    return counts


def antialiased_graphic(width, height, seed=11):
    """Shapes and strokes in a handful of colours drawn at twice the size and
    scaled down: their edges blend into a few hundred colours, so the picture
    stays RGB however it is written."""
    rng = random.Random(seed)
    colours = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(6)]
    big = Image.new("RGB", (2 * width, 2 * height), (248, 248, 244))
    draw = ImageDraw.Draw(big)
    for i in range(60):
        x, y = rng.randrange(2 * width), rng.randrange(2 * height)
        r = rng.randrange(20, 160)
        if i % 3:
            draw.ellipse([x - r, y - r, x + r, y + r], fill=colours[i % 6], outline=(30, 30, 30), width=3)
        else:
            draw.line([x, y, rng.randrange(2 * width), rng.randrange(2 * height)], fill=colours[i % 6], width=5)
    return big.resize((width, height), Image.LANCZOS)


def bar_chart(width, height, seed=12):
    """A chart: axes, grid lines and bars in five exact colours on white."""
    rng = random.Random(seed)
    chart = Image.new("RGB", (width, height), (255, 255, 255))
    draw = ImageDraw.Draw(chart)
    palette = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40), (148, 103, 189)]
    for y in range(height // 10, height, height // 10):
        draw.line([60, y, width - 20, y], fill=(220, 220, 220))
    draw.line([60, 20, 60, height - 40], fill=(0, 0, 0), width=2)
    draw.line([60, height - 40, width - 20, height - 40], fill=(0, 0, 0), width=2)
    bars = 24
    step = (width - 100) // bars
    for i in range(bars):
        top = rng.randrange(40, height - 60)
        draw.rectangle([70 + i * step, top, 70 + i * step + step * 2 // 3, height - 42], fill=palette[i % 5])
    return chart


def text_page(width, height, seed=13):
    """Lines of black text on white, antialiased: greys of every shade, no colour."""
    rng = random.Random(seed)
    page = Image.new("L", (width, height), 255)
    draw = ImageDraw.Draw(page)
    words = ["lossless", "palette", "deflate", "filter", "row", "pixel", "chunk", "image", "grey", "scan"]
    for y in range(20, height - 20, 18):
        draw.text((20, y), " ".join(rng.choice(words) for _ in range(width // 60)), fill=0)
    return page.convert("RGB")


def screenshot_like(width, height, seed=14):
    """A desktop application's window: title bar, toolbar, sidebar, a list with
    alternating rows, text, buttons and a small chart, in flat UI colours with
    antialiased text (hundreds of colours, long runs of one)."""
    rng = random.Random(seed)
    shot = Image.new("RGB", (width, height), (236, 236, 236))
    draw = ImageDraw.Draw(shot)
    accent = (53, 132, 228)
    words = ["Open", "Save", "Export", "Settings", "Layers", "Filter", "Preview", "Details", "History", "Help"]
    # Title bar with its buttons, a toolbar with icons, a sidebar.
    draw.rectangle([0, 0, width, 30], fill=(48, 48, 52))
    draw.text((12, 9), "Lumivex - picture browser", fill=(240, 240, 240))
    for index, colour in enumerate(((237, 95, 93), (245, 194, 17), (87, 227, 137))):
        draw.ellipse([width - 80 + index * 24, 9, width - 68 + index * 24, 21], fill=colour)
    draw.rectangle([0, 31, width, 70], fill=(250, 250, 250), outline=(210, 210, 210))
    for index in range(min(12, (width - 20) // 48)):
        x = 10 + index * 48
        draw.rounded_rectangle([x, 37, x + 36, 64], 5, fill=(228, 228, 232), outline=(200, 200, 205))
        draw.rectangle([x + 11, 44, x + 25, 57], fill=accent if index % 3 == 0 else (90, 90, 96))
    sidebar = max(80, width // 5)
    draw.rectangle([0, 71, sidebar, height], fill=(246, 245, 244))
    draw.line([sidebar, 71, sidebar, height], fill=(205, 205, 205))
    for index, y in enumerate(range(84, height - 20, 26)):
        if index == 2:
            draw.rectangle([4, y - 4, sidebar - 4, y + 18], fill=accent)
        draw.text((16, y), rng.choice(words), fill=(255, 255, 255) if index == 2 else (40, 40, 40))
    # The list: alternating rows of text, a selected row, a scroll bar.
    left, top, right = sidebar + 10, 80, width - 16
    chart_top = height - max(60, height // 4)
    for index, y in enumerate(range(top, chart_top - 22, 22)):
        fill = (217, 232, 251) if index == 5 else ((255, 255, 255) if index % 2 else (248, 248, 250))
        draw.rectangle([left, y, right, y + 21], fill=fill)
        draw.text((left + 8, y + 5), " ".join(rng.choice(words).lower() for _ in range(3)), fill=(30, 30, 30))
        draw.text((left + (right - left) * 2 // 3, y + 5), "%d KB" % rng.randrange(1, 9999), fill=(110, 110, 110))
    draw.rectangle([right + 2, top, width - 4, chart_top - 24], fill=(225, 225, 225))
    draw.rounded_rectangle([right + 3, top + 10, width - 5, top + 80], 4, fill=(160, 160, 165))
    # A small bar chart, then the status bar with two buttons.
    draw.rectangle([left, chart_top, right, height - 34], fill=(255, 255, 255), outline=(210, 210, 210))
    bars = max(4, (right - left) // 30)
    for index in range(bars):
        x = left + 10 + index * (right - left - 20) // bars
        bar_top = rng.randrange(chart_top + 8, height - 40)
        draw.rectangle([x, bar_top, x + (right - left - 20) // bars - 6, height - 36], fill=accent)
    draw.rectangle([0, height - 28, width, height], fill=(250, 250, 250), outline=(210, 210, 210))
    for index, label in enumerate(("Cancel", "OK")):
        x = width - 180 + index * 86
        draw.rounded_rectangle([x, height - 25, x + 78, height - 4], 4,
                               fill=accent if label == "OK" else (230, 230, 230), outline=(190, 190, 190))
        draw.text((x + 22, height - 20), label, fill=(255, 255, 255) if label == "OK" else (20, 20, 20))
    return shot
