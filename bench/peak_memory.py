"""Peak memory of PNG open, measured in a fresh child process per decode.

    .venv/bin/python bench/peak_memory.py [--size WIDTHxHEIGHT | --quick]

Each decode runs in its own interpreter, which resets its resident-set
high-water mark (VmHWM, through /proc/self/clear_refs) just before opening the
file and reads it just after: the increase counts every page the decode
touched, native allocations included (tracemalloc would see only Python's
allocators). Where the mark cannot be reset, the child falls back to
ru_maxrss, whose start value may already be above the current size.

The bound for a decode: the IDAT data + (rowStride + 1) x height (the scanline
buffer) + O(row), taken here as 16 rows + 256 KiB for the interpreter's own
small allocations. The pixel buffer (width x height x 3) is shown beside it,
and Pillow's open+load of the same file for reference.
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pictures import idat_data, photo_like, pillow_png, with_alpha  # noqa: E402
from results_page import recorded  # noqa: E402

SLACK_ROWS = 16
SLACK_BYTES = 256 * 1024


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_high_water_mark():
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def child(decoder, path):
    """Prints the peak resident-set increase, in bytes, of one decode."""
    if decoder == "lumivex":
        from Lumivex.rasterCore_ext import SimpleImage

        def decode():
            return SimpleImage.open(path)
    else:
        from PIL import Image

        def decode():
            image = Image.open(path)
            image.load()
            return image
    with open(path, "rb") as handle:  # the file in the page cache, the reading code paths warm
        handle.read(64)
    if reset_high_water_mark():
        before = status_kib("VmHWM")
        image = decode()
        after = status_kib("VmHWM")
    else:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        image = decode()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024)
    del image


def measure(decoder, path):
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", decoder, path],
                            check=True, capture_output=True, text=True)
    return int(result.stdout.split()[-1])


def mib(count):
    return f"{count / 2**20:.1f} MiB"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="3840x2160", help="picture size (default 3840x2160)")
    parser.add_argument("--quick", action="store_true", help="1920x1080 instead")
    parser.add_argument("--child", nargs=2, metavar=("DECODER", "PATH"), help=argparse.SUPPRESS)
    parser.add_argument("--append-to", metavar="FILE", help="also add the table to FILE (Markdown)")
    args, _ = parser.parse_known_args(argv)
    if args.child:
        child(*args.child)
        return
    with recorded(args.append_to, append=True):
        run(args)


def run(args):
    width, height = (int(part) for part in ("1920x1080" if args.quick else args.size).lower().split("x"))
    folder = tempfile.mkdtemp(prefix="lumivex-memory-")
    rows = []
    try:
        photo = photo_like(width, height)
        for name, picture in (("RGB", photo), ("RGBA", with_alpha(photo))):
            path = os.path.join(folder, f"{name}.png")
            png = pillow_png(picture)
            with open(path, "wb") as handle:
                handle.write(png)
            row_stride = width * len(picture.getbands())
            idat, scanlines, pixels = len(idat_data(png)), (row_stride + 1) * height, width * height * 3
            bound = idat + scanlines + SLACK_ROWS * row_stride + SLACK_BYTES
            ours, pillow = measure("lumivex", path), measure("pillow", path)
            rows.append((name, idat, scanlines, pixels, bound, ours, pillow))
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print(f"## Peak memory of PNG open, {width}×{height} photo-like picture (fresh child process per decode)\n")
    print("| picture | IDAT data | scanline buffer | pixel buffer | bound | Lumivex peak increase | "
          "÷ pixel buffer | ÷ bound | | Pillow peak increase |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|---:|")
    for name, idat, scanlines, pixels, bound, ours, pillow in rows:
        verdict = "ok" if ours <= bound else "**over**"
        print(f"| {name} | {mib(idat)} | {mib(scanlines)} | {mib(pixels)} | {mib(bound)} | {mib(ours)} | "
              f"{ours / pixels:.2f}× | {ours / bound:.2f}× | {verdict} | {mib(pillow)} |")
    print(f"\nbound = IDAT data + (rowStride + 1) × height + {SLACK_ROWS} rows + {SLACK_BYTES // 1024} KiB. "
          "The increase includes the returned image.")


if __name__ == "__main__":
    main()
