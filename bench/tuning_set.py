"""The compact PNG writer over the tuning set (build/pictures/, `make pictures`)
against its rivals, picture by picture.

    .venv/bin/python bench/tuning_set.py [--pictures icons,skimage] [--limit N]
        [--rounds N] [--strongest-rounds N] [--no-strongest]

Also a section of bench.py (OPTIONAL_SECTIONS), which adds the summary to its
table. Each picture is taken as 8-bit RGB (alpha dropped, grey expanded), as
the writer takes it today; the targets:
- the default level against the smaller of Pillow's and OpenCV's default
  saves, into memory: size at most 1.00x on every picture; time against
  Pillow's save at most 0.30x in the median of the pictures and 0.5x on each;
- the strongest level against the smaller of `optipng -o2` and oxipng `-o2`
  (pyoxipng), both given Pillow's file: size at most 1.00x in the geometric
  mean and 1.02x on each; time against the faster of the two at most 0.9x in
  the median and 1.5x on each.
Times are interleaved rounds, the best round of each kept (a short call's
round is the best of a few calls). Every file is decoded back (ours by
Lumivex.open, the others by Pillow) and compared with the picture. Without
optipng or pyoxipng the strongest level is compared with the one there is;
without both it is left out. Prints one line a picture, then each figure
with its target and the pictures that miss it; exits 1 when one is missed.
"""
import argparse
import io
import math
import os
import shutil
import statistics
import sys
import tempfile
import time

from PIL import Image

import Lumivex

from compact_writer import cv2, optipng, oxipng
from picture_set import ROOT, as_rgb, picture_files

if cv2 is not None:
    import numpy

DEFAULT_SIZE_EACH = 1.00
DEFAULT_TIME_MEDIAN, DEFAULT_TIME_EACH = 0.30, 0.5
STRONGEST_SIZE_GEOMEAN, STRONGEST_SIZE_EACH = 1.00, 1.02
STRONGEST_TIME_MEDIAN, STRONGEST_TIME_EACH = 0.9, 1.5
SHORT_CALL = 0.02  # seconds: a round of a shorter call is the best of several


class Picture:
    def __init__(self, root, path, folder):
        self.name = path
        with Image.open(os.path.join(root, path)) as opened:
            opened.load()
            self.picture = as_rgb(opened)
        self.rgb = self.picture.tobytes()
        self.image = Lumivex.SimpleImage(self.picture.width, self.picture.height, bytearray(self.rgb))
        self.pillow = pillow_save(self.picture)
        self.pillow_path = os.path.join(folder, "pillow.png")
        with open(self.pillow_path, "wb") as handle:
            handle.write(self.pillow)


def pillow_save(picture):
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()


def timed_round(call, calls):
    best, result = float("inf"), None
    for _ in range(calls):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def interleaved(calls, rounds):
    """{label: (best seconds, last result)} of each (label, callable), called in
    turn within every round."""
    counts, best, results = {}, {}, {}
    for label, call in calls:  # a warm-up call, which also tells how long a call is
        seconds, results[label] = timed_round(call, 1)
        counts[label] = max(1, min(20, int(SHORT_CALL / max(seconds, 1e-7))))
        best[label] = seconds if seconds >= 0.2 else float("inf")  # a long call stands as a round
    for _ in range(rounds):
        for label, call in calls:
            seconds, results[label] = timed_round(call, counts[label])
            best[label] = min(best[label], seconds)
    return {label: (best[label], results[label]) for label, _ in calls}


def check_ours(data, item):
    if bytes(Lumivex.open(data)._pixels) != item.rgb:
        raise AssertionError("%s: the compact writer's file does not decode to the picture" % item.name)


def check_theirs(label, data, item):
    with Image.open(io.BytesIO(data)) as decoded:
        if decoded.convert("RGB").tobytes() != item.rgb:
            raise AssertionError("%s: %s's file does not decode to the picture" % (item.name, label))


def default_level(item, rounds):
    timed = interleaved([("ours", lambda: Lumivex.encode_png(item.image)),
                         ("Pillow", lambda: pillow_save(item.picture))], rounds)
    ours = timed["ours"][1]
    check_ours(ours, item)
    rivals = {"Pillow": timed["Pillow"][1]}
    if cv2 is not None:
        bgr = numpy.frombuffer(item.rgb, numpy.uint8).reshape(item.picture.height, item.picture.width, 3)[:, :, ::-1]
        rivals["OpenCV"] = cv2.imencode(".png", bgr)[1].tobytes()
    for label, data in rivals.items():
        check_theirs(label, data, item)
    smaller = min(rivals, key=lambda label: len(rivals[label]))
    return {"default size": len(ours) / len(rivals[smaller]), "default size rival": smaller,
            "default size ours": len(ours), "default size theirs": len(rivals[smaller]),
            "default time": timed["ours"][0] / timed["Pillow"][0],
            "default time ours": timed["ours"][0], "default time theirs": timed["Pillow"][0]}


def optimisers(item, folder):
    found = []
    if shutil.which("optipng"):
        target = os.path.join(folder, "optipng.png")
        found.append(("optipng", lambda: optipng(item.pillow_path, target)))
    if oxipng is not None:
        found.append(("oxipng", lambda: oxipng.optimize_from_memory(item.pillow, level=2)))
    return found


def strongest_level(item, folder, rounds):
    rivals = optimisers(item, folder)
    timed = interleaved([("ours", lambda: Lumivex.encode_png(item.image, level="strongest"))] + rivals, rounds)
    check_ours(timed["ours"][1], item)
    for label, _ in rivals:
        check_theirs(label, timed[label][1], item)
    smaller = min((label for label, _ in rivals), key=lambda label: len(timed[label][1]))
    faster = min((label for label, _ in rivals), key=lambda label: timed[label][0])
    return {"strongest size": len(timed["ours"][1]) / len(timed[smaller][1]), "strongest size rival": smaller,
            "strongest size ours": len(timed["ours"][1]), "strongest size theirs": len(timed[smaller][1]),
            "strongest time": timed["ours"][0] / timed[faster][0], "strongest time rival": faster,
            "strongest time ours": timed["ours"][0], "strongest time theirs": timed[faster][0]}


# (figure, key, how the pictures combine, target, per-picture target)
FIGURES = [
    ("default level: size / the smaller of Pillow's and OpenCV's", "default size", "geomean", None, DEFAULT_SIZE_EACH),
    ("default level: time / Pillow's save", "default time", "median", DEFAULT_TIME_MEDIAN, DEFAULT_TIME_EACH),
    ("strongest level: size / the smaller of optipng's and oxipng's -o2", "strongest size", "geomean",
     STRONGEST_SIZE_GEOMEAN, STRONGEST_SIZE_EACH),
    ("strongest level: time / the faster of optipng and oxipng -o2", "strongest time", "median",
     STRONGEST_TIME_MEDIAN, STRONGEST_TIME_EACH),
]


def geomean(values):
    return math.exp(sum(math.log(value) for value in values) / len(values))


def figures(rows):
    """(label, key, combined value, how, target, target each, [missing rows]) of each figure the rows have."""
    found = []
    for label, key, how, target, each in FIGURES:
        values = [row[key] for row in rows if key in row]
        if not values:
            continue
        combined = geomean(values) if how == "geomean" else statistics.median(values)
        misses = sorted((row for row in rows if key in row and row[key] > each), key=lambda row: -row[key])
        found.append((label, key, combined, how, target, each, misses))
    return found


def report(rows):
    """Prints each figure and the pictures that miss; returns how many targets were missed."""
    missed = 0
    print("\n%d pictures" % len(rows))
    for label, key, combined, how, target, each, misses in figures(rows):
        verdict = "ok" if target is None or combined <= target else "OVER"
        missed += (verdict == "OVER") + bool(misses)
        aim = "" if target is None else " (target <= %.2fx: %s)" % (target, verdict)
        print("%s: %s %.3fx%s; %d of %d over %.2fx%s" % (
            label, how, combined, aim, len(misses), sum(key in row for row in rows), each, ":" if misses else ""))
        for row in misses[:15]:
            rival = row.get(key + " rival")
            print("    %.3fx %s%s" % (row[key], row["picture"], " (against %s)" % rival if rival else ""))
        if len(misses) > 15:
            print("    ... and %d more" % (len(misses) - 15))
    return missed


def measure_all(root, paths, rounds, strongest_rounds, strongest, folder):
    rows = []
    for index, path in enumerate(paths, 1):
        item = Picture(root, path, folder)
        row = {"picture": path}
        row.update(default_level(item, rounds))
        if strongest and optimisers(item, folder):
            row.update(strongest_level(item, folder, strongest_rounds))
        rows.append(row)
        print("[%d/%d] %s: %s" % (index, len(paths), path, "  ".join(
            "%s %.3f" % (key, row[key]) for _, key, _, _, _ in FIGURES if key in row)), flush=True)
    return rows


def table_rows(context):
    """bench.py's section: the summary figures as rows of its table."""
    paths = picture_files()
    if not paths:
        print("(tuning set not measured: build/pictures is empty; `make pictures` builds it)", file=sys.stderr)
        return
    print("Tuning set: %d pictures from build/pictures; %s; %s.\n" % (
        len(paths), "optipng found" if shutil.which("optipng") else "optipng not found",
        "pyoxipng installed" if oxipng else "pyoxipng not installed"), flush=True)
    rounds = max(1, min(context["repeat"], 5))
    rows = measure_all(ROOT, paths, rounds, max(1, rounds // 3), True, context["folder"])
    report(rows)
    bench = context["bench"]
    for label, key, combined, how, target, each, misses in figures(rows):
        # The cells: the median picture's time, or the whole set's megabytes.
        unit, scale, total = ("ms", 1e3, statistics.median) if "time" in key else ("MB", 1e-6, sum)
        ours = total([row[key + " ours"] for row in rows if key in row]) * scale
        theirs = total([row[key + " theirs"] for row in rows if key in row]) * scale
        work = "tuning set (%d pictures), %s" % (len(rows), label)
        worst = max(rows, key=lambda row: row.get(key, 0))
        if target is not None:
            bench.add(work, ours, "%s of the pictures' ratios" % how, theirs, combined, target, "<=", unit)
        bench.add(work if target is None else "", worst[key + " ours"] * scale,
                  "the worst picture, %s (%d over %.2f×)" % (worst["picture"], len(misses), each),
                  worst[key + " theirs"] * scale, worst[key], each, "<=", unit)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=ROOT, help="the picture set (build/pictures)")
    parser.add_argument("--pictures", default="", help="a subset: folders of the set or parts of paths")
    parser.add_argument("--limit", type=int, default=0, help="at most this many pictures, spread over the set")
    parser.add_argument("--rounds", type=int, default=3, help="rounds at the default level (%(default)s)")
    parser.add_argument("--strongest-rounds", type=int, default=1, help="rounds at the strongest level (%(default)s)")
    parser.add_argument("--no-strongest", action="store_true", help="the default level only")
    arguments = parser.parse_args(argv)
    paths = picture_files(arguments.root, arguments.pictures, arguments.limit)
    if not paths:
        sys.exit("tuning_set: no pictures under %s (run `make pictures`)" % arguments.root)
    folder = tempfile.mkdtemp(prefix="lumivex-tuning-")
    try:
        rows = measure_all(arguments.root, paths, arguments.rounds, arguments.strongest_rounds,
                           not arguments.no_strongest, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if report(rows) else 0


if __name__ == "__main__":
    sys.exit(main())
