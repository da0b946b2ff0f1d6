"""Rows for many files: the package's import against Pillow's, and
`lumivex convert --out-dir` on two threads against one, and on one thread
against a process per file (what a shell loop over `convert IN OUT` costs).

Commands are timed whole, process start included, interleaved round by round.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

IMPORT_OVER_PILLOW = 0.25
IMPORT_ROUNDS = 15
COPIES = 8  # of each bench picture, as PNG: the batch's input folder


def timed(command, cwd=None):
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def import_time(module):
    """Seconds the import takes in a fresh interpreter, measured inside it."""
    code = f"import time; s = time.perf_counter(); import {module}; print(time.perf_counter() - s)"
    output = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return float(output)


def import_row(bench):
    ours, pillow = [], []
    for _ in range(IMPORT_ROUNDS):
        ours.append(import_time("Lumivex"))
        pillow.append(import_time("PIL.Image"))
    ratio = statistics.median(a / b for a, b in zip(ours, pillow))
    bench.add("import Lumivex (fresh interpreter)", statistics.median(ours) * 1e3, "import PIL.Image",
              statistics.median(pillow) * 1e3, ratio, IMPORT_OVER_PILLOW, "<=")


def input_folder(pictures, folder, name, copies=COPIES):
    """A folder of `copies` copies of each bench picture's PNG, for a batch to convert."""
    inputs = os.path.join(folder, name)
    os.makedirs(inputs, exist_ok=True)
    for item in pictures:
        for copy in range(copies):
            shutil.copyfile(item.png_path, os.path.join(inputs, f"{item.name} {copy}.png"))
    return inputs


def batch_rows(bench, pictures, folder, rounds):
    inputs = input_folder(pictures, folder, "batch-in")
    names = sorted(os.listdir(inputs))
    out = os.path.join(folder, "batch-out")
    lumivex = [sys.executable, "-m", "Lumivex", "convert"]

    def batch(jobs, format):
        return lambda: timed(lumivex + [inputs, "--out-dir", out, "--format", format, "--jobs", str(jobs)])

    def loop():
        for name in names:
            timed(lumivex + [os.path.join(inputs, name), os.path.join(out, name[:-4] + ".bmp")])

    for format in ("bmp", "png"):
        work = f"lumivex convert --out-dir, {len(names)} PNGs to {format.upper()}, --jobs 2"
        compare(bench, work, batch(2, format), [("--jobs 1", batch(1, format))], rounds)
    compare(bench, f"lumivex convert --out-dir, {len(names)} PNGs to BMP, --jobs 1", batch(1, "bmp"),
            [("a process per file (convert IN OUT)", loop)], rounds)


def compare(bench, work, ours, rivals, rounds):
    our_times, their_times = [], [[] for _ in rivals]
    for _ in range(rounds):
        start = time.perf_counter()
        ours()
        our_times.append(time.perf_counter() - start)
        for times, (_, rival) in zip(their_times, rivals):
            start = time.perf_counter()
            rival()
            times.append(time.perf_counter() - start)
    for (label, _), times in zip(rivals, their_times):
        ratio = statistics.median(a / b for a, b in zip(our_times, times))
        bench.add(work, statistics.median(our_times) * 1e3, label, statistics.median(times) * 1e3, ratio, None, "<=")


def table_rows(context):
    import_row(context["bench"])
    batch_rows(context["bench"], context["pictures"], context["folder"], max(3, min(context["repeat"], 5)))
    return ()
