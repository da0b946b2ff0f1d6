"""Quick measurements of PNG open: time against Pillow and the inflate floors,
peak memory, and decoding on two threads.

    .venv/bin/python bench/png_fastpath_measure.py [repeats]

Needs Pillow; libdeflate's inflate is timed through ctypes when libdeflate.so.0
is present. Interleaved runs, medians; the machine's load average is printed.
"""
import concurrent.futures
import ctypes
import ctypes.util
import io
import json
import os
import statistics
import struct
import subprocess
import sys
import time
import zlib

from PIL import Image, ImageDraw, ImageFilter

import Lumivex
from Lumivex.rasterCore_ext import SimpleImage


def photo(width, height, mode="RGB"):
    """Smooth colour fields with fine noise, like a photograph."""
    noise = Image.effect_noise((width, height), 24).convert("L")
    base = Image.linear_gradient("L").resize((width, height))
    blurred = Image.effect_noise((width // 16 + 1, height // 16 + 1), 90).resize((width, height), Image.BICUBIC)
    picture = Image.merge("RGB", (base, blurred.convert("L"), Image.blend(noise, base, 0.7)))
    if mode == "RGBA":
        picture = picture.convert("RGBA")
        picture.putalpha(base)
    return picture


def natural(width, height):
    """A smoother picture Pillow writes with Paeth on most rows."""
    return photo(width, height).filter(ImageFilter.GaussianBlur(1.5))


def flat(width, height):
    picture = Image.new("RGB", (width, height), (250, 250, 250))
    draw = ImageDraw.Draw(picture)
    for i in range(0, width, 48):
        draw.rectangle([i, height // 8, i + 24, height * 7 // 8], fill=(i % 256, 40, 200))
        draw.text((i, 10), "Lumivex", fill=(0, 0, 0))
    return picture


def png_bytes(picture):
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()


def idat_data(data):
    offset, pieces = 8, []
    while offset < len(data):
        (length,) = struct.unpack_from(">I", data, offset)
        if data[offset + 4:offset + 8] == b"IDAT":
            pieces.append(data[offset + 8:offset + 8 + length])
        offset += 12 + length
    return b"".join(pieces)


def libdeflate_inflater():
    path = ctypes.util.find_library("deflate") or "libdeflate.so.0"
    try:
        lib = ctypes.CDLL(path)
    except OSError:
        return None
    lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
    lib.libdeflate_zlib_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                               ctypes.c_size_t, ctypes.c_void_p]
    decompressor = lib.libdeflate_alloc_decompressor()

    def inflate(compressed, size):
        # A fresh buffer each time, as a decoder must fill one.
        out = ctypes.create_string_buffer(size)
        if lib.libdeflate_zlib_decompress(decompressor, compressed, len(compressed), out, size, None) != 0:
            raise RuntimeError("libdeflate failed")
    return inflate


def medians(tasks, repeats):
    times = {name: [] for name in tasks}
    for _ in range(repeats):
        for name, task in tasks.items():
            start = time.perf_counter()
            task()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def timing(repeats):
    inflate = libdeflate_inflater()
    cases = {
        "photo 1920x1080 RGB": photo(1920, 1080),
        "photo 1920x1080 RGBA": photo(1920, 1080, "RGBA"),
        "Paeth-heavy 1920x1080": natural(1920, 1080),
        "flat graphic 1920x1080": flat(1920, 1080),
        "photo 256x256": photo(256, 256),
    }
    print("%-24s %9s %9s %9s %9s   %s" % ("image", "Lumivex", "Pillow", "zlib", "libdefl", "ratios"))
    for label, picture in cases.items():
        data = png_bytes(picture)
        compressed = idat_data(data)
        size = len(zlib.decompress(compressed))
        tasks = {
            "ours": lambda: SimpleImage.open(data),
            "pillow": lambda: Image.open(io.BytesIO(data)).load(),
            "zlib": lambda: zlib.decompress(compressed),
        }
        if inflate:
            tasks["libdeflate"] = lambda: inflate(compressed, size)
        got = medians(tasks, repeats)
        floor = got.get("libdeflate", float("nan"))
        print("%-24s %8.2fms %8.2fms %8.2fms %8.2fms   %.2fx Pillow, %.2fx zlib, %.2fx libdeflate" % (
            label, got["ours"] * 1e3, got["pillow"] * 1e3, got["zlib"] * 1e3, floor * 1e3,
            got["ours"] / got["pillow"], got["ours"] / got["zlib"], got["ours"] / floor))


# VmHWM, not ru_maxrss: the latter keeps the high-water mark of the process
# that started the child.
PEAK_CHILD = """
import sys, zlib
def peak_kb():
    return int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
from Lumivex import rasterCore_ext as rc
data = open(sys.argv[1], "rb").read()
if sys.argv[2] == "named":
    class Proxy:
        def __getattr__(self, name):
            return getattr(zlib, name)
    rc.zlib = Proxy()
before = peak_kb()
image = rc.SimpleImage.open(data)
print(peak_kb() - before)
"""


def peak_memory(tmp="/tmp/lumivex_peak.png"):
    for mode in ("RGB", "RGBA"):
        picture = photo(4000, 3000, mode)
        data = png_bytes(picture)
        with open(tmp, "wb") as f:
            f.write(data)
        channels = len(mode)
        scanlines = (4000 * channels + 1) * 3000
        pixels = 4000 * 3000 * 3
        idat = len(idat_data(data))
        grown = {path: int(subprocess.check_output([sys.executable, "-c", PEAK_CHILD, tmp, path], cwd="/")) * 1024
                 for path in ("native", "named")}
        print("%s 4000x3000: IDAT %.1f MB, scanlines %.1f MB, pixels %.1f MB; peak growth native %.1f MB "
              "(bound IDAT + scanlines = %.1f MB), through the zlib name %.1f MB" % (
                  mode, idat / 1e6, scanlines / 1e6, pixels / 1e6, grown["native"] / 1e6,
                  (idat + scanlines) / 1e6, grown["named"] / 1e6))
    os.unlink(tmp)


def threads(repeats):
    images = [png_bytes(photo(1920, 1080)) for _ in range(8)]

    def run(workers):
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            list(pool.map(SimpleImage.open, images))
    got = medians({1: lambda: run(1), 2: lambda: run(2)}, repeats)
    # CPU time over wall time on two threads: how many cores the decoders kept
    # busy at once, whatever else the machine was doing.
    cpu, wall = time.process_time(), time.perf_counter()
    run(2)
    busy = (time.process_time() - cpu) / (time.perf_counter() - wall)
    print("8 photos 1920x1080 on threads: 1 thread %.1f ms, 2 threads %.1f ms, speed-up %.2fx; "
          "2 threads kept %.2f cores busy" % (got[1] * 1e3, got[2] * 1e3, got[1] / got[2], busy))


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    print("deflate backend:", Lumivex.DEFLATE_BACKEND, "| load average:", " ".join(open("/proc/loadavg").read().split()[:3]))
    timing(repeats)
    peak_memory()
    threads(max(5, repeats // 2))
    print("load average:", " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
