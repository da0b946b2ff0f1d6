"""The compact writer on pictures kept outside the repository, against the
targets `make bench` checks on its own pictures.

    .venv/bin/python bench/outside_pictures.py FOLDER_OR_FILE... [--strongest]

Every PNG or BMP Pillow opens with at least 40,000 pixels is taken as RGB
(alpha dropped) and written at the default level, timed (best of 5) and sized
against Pillow's default save and OpenCV's imencode; with --strongest also at
the strongest level against oxipng -o2 (pyoxipng) given Pillow's file, once
each. Every file written is read back with Lumivex.open and compared. One line
a file, then how many files miss each target and the median ratios.
"""
import argparse
import io
import os
import statistics
import sys
import time

from PIL import Image

import Lumivex

from compact_writer import DEFAULT_SIZE, DEFAULT_TIME, REDUCED_SIZE, RGB_SIZE, STRONGEST_TIME, cv2, oxipng

MIN_PIXELS = 40_000


def files_in(paths):
    for path in paths:
        if os.path.isdir(path):
            for root, _, names in sorted(os.walk(path)):
                yield from (os.path.join(root, name) for name in sorted(names)
                            if name.lower().endswith((".png", ".bmp")))
        else:
            yield path


def best_time(call, runs):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def checked(data, rgb):
    if bytes(Lumivex.open(data)._pixels) != rgb:
        raise AssertionError("a written file does not decode to its picture")
    return data


def measure(picture, strongest):
    rgb = picture.tobytes()
    image = Lumivex.SimpleImage(picture.width, picture.height, bytearray(rgb))
    pillow_time, pillow = best_time(lambda: save_with_pillow(picture), 5)
    ours_time, ours = best_time(lambda: Lumivex.encode_png(image), 5)
    rivals = [len(pillow)]
    if cv2 is not None:
        import numpy
        rivals.append(len(cv2.imencode(".png", numpy.asarray(picture)[:, :, ::-1])[1]))
    row = {"default time": ours_time / pillow_time, "default size": len(checked(ours, rgb)) / min(rivals)}
    if strongest and oxipng is not None:
        oxipng_time, theirs = best_time(lambda: oxipng.optimize_from_memory(pillow, level=2), 1)
        strong_time, strong = best_time(lambda: Lumivex.encode_png(image, level="strongest"), 1)
        row["strongest time"] = strong_time / oxipng_time
        row["strongest size"] = len(checked(strong, rgb)) / len(theirs)
        row["reduced"] = strong[25] != 2  # the IHDR's colour type
    return row


def save_with_pillow(picture):
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()


def misses(row, key):
    if key == "strongest size":
        return row[key] > (REDUCED_SIZE if row["reduced"] else RGB_SIZE)
    targets = {"default time": DEFAULT_TIME, "default size": DEFAULT_SIZE, "strongest time": STRONGEST_TIME}
    return row[key] >= targets[key] if key == "strongest time" else row[key] > targets[key]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--strongest", action="store_true", help="also the strongest level against oxipng -o2")
    args = parser.parse_args(argv)
    rows = []
    for path in files_in(args.paths):
        try:
            with Image.open(path) as opened:
                picture = opened.convert("RGB")
        except (OSError, ValueError):
            continue
        if picture.width * picture.height < MIN_PIXELS:
            continue
        row = measure(picture, args.strongest)
        rows.append(row)
        print(os.path.basename(path), " ".join(f"{key} {value:.3f}" for key, value in row.items() if key != "reduced"))
    if not rows:
        sys.exit("no picture of 40,000 pixels or more found")
    print(f"\n{len(rows)} pictures")
    for key in [key for key in rows[0] if key != "reduced"]:
        print(f"{key}: median {statistics.median(row[key] for row in rows):.3f}, "
              f"{sum(misses(row, key) for row in rows)} miss the target")


if __name__ == "__main__":
    main()
