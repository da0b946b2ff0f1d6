"""The compact PNG writer of this tree against a baseline revision's, over the
tuning set (`make pictures`): sizes and times per picture and level, and the
gates a change to the writer must hold.

    .venv/bin/python bench/writer_ab.py [--baseline REV] [--new REV]
        [--levels 6,strongest] [--pictures icons,1920x1080] [--limit N]

Run by `make writer-ab BASELINE=<rev>` (docs/pictures.md). The baseline is
built once from `git archive REV` into build/baseline-<commit>-py3.8/, with a
venv of its own from the same CPython and against the same static libdeflate
as `make install` uses, and reused while that build is there. The new
side is the interpreter running this script (the tree's .venv), or another
revision built the same way with --new (the baseline against itself shows the
noise of the timing).

Each side runs in a worker process of its own (writer_ab_worker.py) holding
the picture; for every picture and level the two are called in alternating
rounds A, B, A, B... and each side's time is its best round. A round of a
call shorter than ROUND_SECONDS repeats it to fill that and keeps the best.
Every file is decoded back with this tree's Lumivex.open and compared with
the picture.

The time is the CPU time of the worker (all its threads), the two workers of
a picture pinned to the same CPU: on a machine that other work shares, the
two CPUs can run at very different speeds for minutes (seen here: one twice
as fast as the other), and a process's wall-clock time moves with whatever
else runs, while its CPU time on one CPU holds still enough that the
baseline against itself gives geometric means within 1 % of 1. With --jobs 2
(the default) two pictures are measured at once, each pair of workers on a
CPU of its own. This measures the work a call does; a change to how the
writer splits it over threads needs --threads, which leaves one pair free on
every CPU and times the wall clock (on a quiet machine only). The CSV keeps
both clocks either way.

Gates, per level: the geometric mean of size ratios (new / baseline) at most
1.000, no picture's ratio over 1.005, the geometric mean of time ratios at
most 1.05. The exit status is 1 when one fails (2 when a file does not decode
to its picture or a side fails).
"""
import argparse
import concurrent.futures
import csv
import json
import math
import os
import queue
import shutil
import subprocess
import sys
import time

import Lumivex

from picture_set import ROOT, load_rgb, picture_files

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build")
WORKER = os.path.join(REPO, "bench", "writer_ab_worker.py")
# The levels encode_png takes (Lumivex/compact.py).
ALL_LEVELS = ("1", "2", "3", "4", "5", "6", "7", "8", "9", "strongest")
DEFAULT_BASELINE = "ef8a678"
SIZE_GEOMEAN_GATE, SIZE_EACH_GATE, TIME_GEOMEAN_GATE = 1.000, 1.005, 1.05
ROUND_SECONDS = 0.02  # a round of a shorter call repeats it within about this long
MAX_CALLS = 20


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", default=DEFAULT_BASELINE, help="the revision to compare with (%(default)s)")
    parser.add_argument("--new", default="", help="a revision for the new side instead of this interpreter's Lumivex")
    parser.add_argument("--levels", default="all", help="comma-separated levels, 1-9 and strongest (all)")
    parser.add_argument("--pictures", default="",
                        help="a subset: folders of the set or parts of paths, comma-separated")
    parser.add_argument("--limit", type=int, default=0, help="at most this many pictures, spread over the set")
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds of each side at levels 1-9 (%(default)s)")
    parser.add_argument("--strongest-rounds", type=int, default=2,
                        help="timed rounds at the strongest level (%(default)s)")
    parser.add_argument("--threads", action="store_true",
                        help="let each side's threads run on every CPU and gate on the wall clock, not the "
                             "CPU time of both sides pinned to one CPU")
    parser.add_argument("--jobs", type=int, default=2,
                        help="pictures measured at once, each pair of workers on a CPU of its own (%(default)s)")
    parser.add_argument("--cpu", type=int, default=-1, help="one CPU for both sides, instead of --jobs")
    parser.add_argument("--root", default=ROOT, help="the picture set (build/pictures)")
    parser.add_argument("--python", default="", help="the CPython that builds a revision's venv (pyenv's 3.8)")
    parser.add_argument("--libdeflate", default=os.path.join(BUILD, "libdeflate"),
                        help="the static libdeflate a revision is built against (build/libdeflate)")
    parser.add_argument("--csv", default="", help="where to write every row (build/writer-ab/<new>-vs-<base>.csv)")
    arguments = parser.parse_args(argv)
    levels = ALL_LEVELS if arguments.levels in ("", "all") else tuple(arguments.levels.split(","))
    unknown = [level for level in levels if level not in ALL_LEVELS]
    if unknown:
        parser.error("unknown levels %s: choose from %s" % (", ".join(unknown), ",".join(ALL_LEVELS)))
    arguments.levels = levels
    return arguments


def level_value(level):
    return level if level == "strongest" else int(level)


# --- a revision's environment ---------------------------------------------------

def commit_of(revision):
    found = subprocess.run(["git", "-C", REPO, "rev-parse", "--verify", "--quiet", revision + "^{commit}"],
                           stdout=subprocess.PIPE, universal_newlines=True)
    if found.returncode != 0:
        sys.exit("writer_ab: no commit %r in this repository" % revision)
    return found.stdout.strip()


PYTHON_VERSION = "%d.%d" % sys.version_info[:2]


def cpython(chosen):
    """The interpreter a revision's venv is made from: `chosen`, else pyenv's
    CPython of this interpreter's version (as the Makefile finds it)."""
    if chosen:
        return chosen
    prefix = subprocess.run(["pyenv", "prefix", PYTHON_VERSION], stdout=subprocess.PIPE, universal_newlines=True)
    if prefix.returncode != 0:
        sys.exit("writer_ab: `pyenv prefix %s` failed; pass --python" % PYTHON_VERSION)
    return os.path.join(prefix.stdout.strip(), "bin", "python" + PYTHON_VERSION)


def revision_python(revision, arguments):
    """The python of build/baseline-<commit>-py<version>/venv with `revision`
    installed; built when missing or built against another deflate library."""
    commit = commit_of(revision)
    home = os.path.join(BUILD, "baseline-%s-py%s" % (commit[:12], PYTHON_VERSION))
    python, stamp_path = os.path.join(home, "venv", "bin", "python"), os.path.join(home, "built")
    # The build's own settings: none of the caller's (a sanitizer, no libdeflate) may reach it.
    environment = {name: value for name, value in os.environ.items() if not name.startswith("LUMIVEX_")}
    if os.path.exists(os.path.join(arguments.libdeflate, "lib", "libdeflate.a")):
        environment["LUMIVEX_LIBDEFLATE_PREFIX"] = os.path.abspath(arguments.libdeflate)
    stamp = "%s deflate from %s\n" % (commit, environment.get("LUMIVEX_LIBDEFLATE_PREFIX", "the system"))
    if os.path.exists(python) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        print("Revision %s (%s): reusing %s" % (revision, commit[:12], os.path.relpath(home, REPO)), flush=True)
        return python, commit
    print("Revision %s (%s): building into %s (once, a minute or more)..."
          % (revision, commit[:12], os.path.relpath(home, REPO)), flush=True)
    shutil.rmtree(home, ignore_errors=True)
    source = os.path.join(home, "src")
    os.makedirs(source)
    archive = subprocess.Popen(["git", "-C", REPO, "archive", commit], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        sys.exit("writer_ab: git archive %s failed" % commit)
    log_path = os.path.join(home, "build.log")
    steps = [[cpython(arguments.python), "-m", "venv", os.path.join(home, "venv")],
             [python, "-m", "pip", "install", "-q", "--upgrade", "pip", "setuptools", "wheel"],
             [python, "-m", "pip", "install", "-q", "--no-build-isolation", "."]]
    with open(log_path, "w") as log:
        for step in steps:
            if subprocess.run(step, cwd=source, env=environment, stdout=log, stderr=subprocess.STDOUT).returncode:
                sys.exit("writer_ab: building %s failed at `%s`; see %s" % (revision, " ".join(step), log_path))
    with open(stamp_path, "w") as handle:
        handle.write(stamp)
    return python, commit


# --- the workers ---------------------------------------------------------------

class Worker:
    """A writer in a process of its own, one JSON request and answer a line;
    pinned to the CPUs `cpus` (a set) from its start, its threads with it."""

    def __init__(self, label, python, cpus=None):
        self.label, self.cpus = label, cpus
        pin = (lambda: os.sched_setaffinity(0, cpus)) if cpus else None
        # Started outside the repository, so that no source tree shadows the installed package.
        self.process = subprocess.Popen([python, WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        cwd="/", universal_newlines=True, preexec_fn=pin)

    def ask(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the %s worker ended (exit status %s)" % (self.label, self.process.wait()))
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError("the %s worker failed:\n%s" % (self.label, answer["error"]))
        return answer

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def measure(workers, level, rounds, scratch, rgb):
    """({side: bytes}, {side: best wall seconds}, {side: best CPU seconds}) at
    one level, each side's file checked against the picture."""
    sizes, samples, calls = {}, {}, {}
    # The first call of each side gives the file and how long a call takes.
    for worker in workers:
        out = scratch + worker.label + ".png"
        answer = worker.ask(do="encode", level=level_value(level), calls=1, out=out)
        sizes[worker.label] = answer["size"]
        with open(out, "rb") as handle:
            data = handle.read()
        if bytes(Lumivex.open(data)._pixels) != rgb:
            raise AssertionError("the %s file at level %s does not decode to the picture" % (worker.label, level))
        calls[worker.label] = max(1, min(MAX_CALLS, int(ROUND_SECONDS / max(answer["seconds"], 1e-6))))
        # A long call stands as the first round; a short one was too cold to.
        samples[worker.label] = [answer] if answer["seconds"] >= 0.2 else []
    for _ in range(rounds):
        for worker in workers:
            if len(samples[worker.label]) < rounds:
                samples[worker.label].append(
                    worker.ask(do="encode", level=level_value(level), calls=calls[worker.label], out=None))
    wall = {label: min(answer["seconds"] for answer in answers) for label, answers in samples.items()}
    cpu = {label: min(answer["cpu"] for answer in answers) for label, answers in samples.items()}
    return sizes, wall, cpu


def geomean(values):
    return math.exp(sum(math.log(value) for value in values) / len(values)) if values else float("nan")


# --- the run -------------------------------------------------------------------

def main(argv=None):
    arguments = parse_arguments(argv)
    files = picture_files(arguments.root, arguments.pictures, arguments.limit)
    if not files:
        sys.exit("writer_ab: no pictures under %s%s (run `make pictures`)"
                 % (arguments.root, " matching " + arguments.pictures if arguments.pictures else ""))
    base_python, base_commit = revision_python(arguments.baseline, arguments)
    if arguments.new:
        new_python, new_commit = revision_python(arguments.new, arguments)
        new_name = new_commit[:12]
    else:
        new_python, new_name = sys.executable, "tree"
    arguments.clock = "wall" if arguments.threads else "cpu"
    if arguments.threads:
        placements = [None]
    elif arguments.cpu >= 0:
        placements = [{arguments.cpu}]
    else:
        # One pair of workers a CPU, from the last, each pair's two sides on the same one.
        allowed = sorted(os.sched_getaffinity(0), reverse=True)
        placements = [{cpu} for cpu in allowed[:max(1, arguments.jobs)]]
    pairs = [[Worker("new", new_python, cpus), Worker("base", base_python, cpus)] for cpus in placements]
    try:
        return run(arguments, files, pairs, new_name, base_commit[:12])
    except RuntimeError as error:  # a worker failed or ended
        print("writer_ab: %s" % error, file=sys.stderr)
        return 2
    finally:
        for pair in pairs:
            for worker in pair:
                worker.close()


def run(arguments, files, pairs, new_name, base_name):
    hello = {worker.label: worker.ask(do="hello") for worker in pairs[0]}
    for label, answer in hello.items():
        print("%-4s %s (deflate by %s, Python %s)" % (label, answer["file"], answer["deflate"], answer["python"]))
    if hello["new"]["deflate"] != hello["base"]["deflate"]:
        print("writer_ab: the two sides deflate with different libraries; rebuild one of them", file=sys.stderr)
        return 2
    scratch = os.path.join(BUILD, "writer-ab")
    os.makedirs(scratch, exist_ok=True)
    csv_path = arguments.csv or os.path.join(scratch, "%s-vs-%s.csv" % (new_name, base_name))
    if pairs[0][0].cpus:
        placed = "both sides of a picture on one CPU (%s), timed by CPU time" % ", ".join(
            "CPU %d" % next(iter(pair[0].cpus)) for pair in pairs)
    else:
        placed = "threads on every CPU, timed by the wall clock"
    print("%d pictures from %s, levels %s; best of %d rounds (%d at the strongest level); %s\n"
          % (len(files), os.path.relpath(arguments.root), ",".join(arguments.levels), arguments.rounds,
             arguments.strongest_rounds, placed), flush=True)
    free = queue.Queue()
    for index, pair in enumerate(pairs):
        free.put((index, pair))

    def one_picture(path):
        """(path, width, height, [Row], [CSV row]) of every level, on a free pair of workers."""
        index, pair = free.get()
        try:
            return measure_picture(arguments, path, pair, os.path.join(scratch, "pair%d-" % index))
        finally:
            free.put((index, pair))

    rows, started = [], time.monotonic()
    with open(csv_path, "w", newline="") as handle, \
            concurrent.futures.ThreadPoolExecutor(len(pairs)) as pool:
        table = csv.writer(handle)
        table.writerow(["picture", "level", "new bytes", "base bytes", "new wall s", "base wall s", "new cpu s",
                        "base cpu s"])
        futures = [pool.submit(one_picture, path) for path in files]
        try:
            for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
                path, width, height, picture_rows, csv_rows = future.result()
                rows += picture_rows
                table.writerows(csv_rows)
                handle.flush()
                print("[%d/%d %s] %s %dx%d: %s" % (
                    done, len(files), clock(time.monotonic() - started), path, width, height,
                    "  ".join("L%s %s t%.2f" % (row.level, ratio_text(row.size), row.time) for row in picture_rows)),
                    flush=True)
        except BaseException as error:
            for future in futures:  # the pictures not yet started are dropped
                future.cancel()
            if not isinstance(error, AssertionError):
                raise
            print("writer_ab: %s" % error, file=sys.stderr)
            return 2
    print("\nEvery row (both clocks): %s" % os.path.relpath(csv_path))
    order = {level: index for index, level in enumerate(arguments.levels)}
    rows.sort(key=lambda row: (order[row.level], row.path))
    return summary(rows, arguments.levels, arguments.clock)


def measure_picture(arguments, path, pair, scratch):
    width, height, rgb = load_rgb(os.path.join(arguments.root, path))
    raw = scratch + "picture.rgb"
    with open(raw, "wb") as out:
        out.write(rgb)
    for worker in pair:
        worker.ask(do="load", rgb=raw, width=width, height=height)
    rows, csv_rows = [], []
    for level in arguments.levels:
        rounds = arguments.strongest_rounds if level == "strongest" else arguments.rounds
        try:
            sizes, wall, cpu = measure(pair, level, rounds, scratch, rgb)
        except AssertionError as error:
            raise AssertionError("%s: %s" % (path, error)) from None
        rows.append(Row(path, level, sizes, wall if arguments.clock == "wall" else cpu))
        csv_rows.append([path, level, sizes["new"], sizes["base"]]
                        + ["%.6f" % times[label] for times in (wall, cpu) for label in ("new", "base")])
    return path, width, height, rows, csv_rows


class Row:
    """One picture at one level: the size and time ratios, new / baseline."""

    def __init__(self, path, level, sizes, times):
        self.path, self.level, self.sizes = path, level, sizes
        self.size = sizes["new"] / sizes["base"]
        self.time = times["new"] / times["base"]


def ratio_text(ratio):
    return "%.4f" % ratio + ("!" if ratio > SIZE_EACH_GATE else "")


def clock(seconds):
    return "%d:%02d" % divmod(int(seconds), 60)


def summary(rows, levels, clock_name):
    print("\nPer level: size = new bytes / baseline bytes; time = new / baseline, best rounds, %s time" % clock_name)
    print("%-10s %5s  %-8s %-8s %-40s %-8s %s" % ("level", "pics", "size gm", "largest", "(picture)", "time gm",
                                                   "gates"))
    failed = []
    for level in levels:
        chosen = [row for row in rows if row.level == level]
        if not chosen:
            continue
        size_mean, time_mean = geomean([row.size for row in chosen]), geomean([row.time for row in chosen])
        worst = max(chosen, key=lambda row: row.size)
        over = sorted((row for row in chosen if row.size > SIZE_EACH_GATE), key=lambda row: -row.size)
        misses = []
        if size_mean > SIZE_GEOMEAN_GATE:
            misses.append("size geomean > %.3f" % SIZE_GEOMEAN_GATE)
        if over:
            misses.append("%d over +%.1f %%" % (len(over), (SIZE_EACH_GATE - 1) * 100))
        if time_mean > TIME_GEOMEAN_GATE:
            misses.append("time geomean > %.2fx" % TIME_GEOMEAN_GATE)
        failed += misses
        if worst.size != 1:
            where = shorten(worst.path, 40)
        elif all(row.size == 1 for row in chosen):
            where = "(every file the same size)"
        else:
            where = "(none larger, %d smaller)" % sum(row.size < 1 for row in chosen)
        print("%-10s %5d  %-8.4f %-8.4f %-40s %-8.3f %s" % (
            level, len(chosen), size_mean, worst.size, where, time_mean,
            "pass" if not misses else "FAIL: " + "; ".join(misses)))
        for row in over[:10]:
            print("    over: %s %d -> %d bytes (%+.2f %%)" % (row.path, row.sizes["base"], row.sizes["new"],
                                                            (row.size - 1) * 100))
    print("\nGates (each level): size geomean <= %.3f, no picture over +%.1f %%, time geomean <= %.2fx: %s"
          % (SIZE_GEOMEAN_GATE, (SIZE_EACH_GATE - 1) * 100, TIME_GEOMEAN_GATE,
             "all hold" if not failed else "%d failed" % len(failed)))
    return 1 if failed else 0


def shorten(text, width):
    return text if len(text) <= width else "..." + text[-(width - 3):]


if __name__ == "__main__":
    sys.exit(main())
