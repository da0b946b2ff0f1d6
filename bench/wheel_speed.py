"""Lumivex as installed in one environment against another, e.g. the binary
wheel against the developers' build (`make bench-wheel`).

    python bench/wheel_speed.py PYTHON_A PYTHON_B [--rounds N]

Both interpreters time the same calls on the same files (PNG open, PNG and BMP
save, the compact writer, BMP open), each in a fresh process per round, the two
alternating which goes first; every figure is the median over the rounds of a
process's best call, so a busy neighbour on a shared machine moves both alike.
The driver needs Pillow (for the pictures); the interpreters only Lumivex.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

from PIL import Image

from pictures import flat_graphic, paeth_heavy, photo_like, with_alpha

# Runs in each interpreter: times every call and prints {label: best seconds}.
WORKER = r"""
import json, os, sys, time
import Lumivex
from Lumivex import SimpleImage

folder, calls = sys.argv[1], int(sys.argv[2])
work = {}
for name in sorted(os.listdir(folder)):
    path = os.path.join(folder, name)
    stem = name[:-4]
    if name.endswith(".png"):
        work["PNG open, " + stem] = lambda path=path: SimpleImage.open(path)
    elif name.endswith(".rgb") and stem.startswith("photo"):
        width, height = map(int, stem.split("_")[-1].split("x"))
        with open(path, "rb") as handle:
            image = SimpleImage(width, height, handle.read())
        out = os.path.join(folder, "out-%d" % os.getpid())
        work["PNG save, " + stem] = lambda image=image, out=out: image.save(out + ".png")
        work["encode_png, " + stem] = lambda image=image: Lumivex.encode_png(image)
        work["BMP save, " + stem] = lambda image=image, out=out: image.saveBmp(out + ".bmp")
        bmp = path[:-4] + ".bmp"
        work["BMP open, " + stem] = lambda bmp=bmp: SimpleImage.open(bmp)
best = {}
for label, call in work.items():
    call()
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    best[label] = min(times)
for leftover in [n for n in os.listdir(folder) if n.startswith("out-%d" % os.getpid())]:
    os.remove(os.path.join(folder, leftover))
print(json.dumps({"backend": Lumivex.DEFLATE_BACKEND, "file": Lumivex.__file__, "best": best}))
"""


def make_pictures(folder):
    photo = photo_like(1920, 1080)
    pictures = {"photo 1080p RGB": photo, "photo 1080p RGBA": with_alpha(photo),
                "Paeth-heavy 1080p": paeth_heavy(1920, 1080), "flat graphic 1080p": flat_graphic(1920, 1080)}
    for name, picture in pictures.items():
        picture.save(os.path.join(folder, name + ".png"), "PNG")
    rgb = photo.convert("RGB")
    raw = os.path.join(folder, "photo 1080p RGB_1920x1080.rgb")
    with open(raw, "wb") as handle:
        handle.write(rgb.tobytes())
    rgb.save(raw[:-4] + ".bmp", "BMP")


def run_worker(python, folder, calls):
    done = subprocess.run([python, "-c", WORKER, folder, str(calls)], stdout=subprocess.PIPE, check=True,
                          universal_newlines=True, cwd=folder)
    return json.loads(done.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pythons", nargs=2, metavar="PYTHON")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=5, help="calls per process, of which the best counts")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder:
        make_pictures(folder)
        bests = {python: [] for python in args.pythons}
        for round_number in range(args.rounds):
            order = args.pythons if round_number % 2 == 0 else args.pythons[::-1]
            for python in order:
                report = run_worker(python, folder, args.calls)
                bests[python].append(report["best"])
                print(f"round {round_number + 1}: {python}: {report['backend']}, {report['file']}", file=sys.stderr)
    first, second = args.pythons
    print(f"A = {first}\nB = {second}\nmedian over {args.rounds} rounds of the best of {args.calls} calls")
    print(f"{'work':36} {'A ms':>9} {'B ms':>9} {'B/A':>7}")
    for label in bests[first][0]:
        a = statistics.median(run[label] for run in bests[first]) * 1e3
        b = statistics.median(run[label] for run in bests[second]) * 1e3
        print(f"{label:36} {a:9.2f} {b:9.2f} {b / a:7.3f}")


if __name__ == "__main__":
    main()
