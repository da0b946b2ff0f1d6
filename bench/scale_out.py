"""Rows for Lumivex.dask (when Dask is installed): `read_stack(...).compute()`
on the local threaded scheduler against a plain loop of `Lumivex.open`,
`to_numpy` and `numpy.stack`, and `convert` on a two-process LocalCluster
(started before the timing) against the command line's `--jobs 2` on the
same files, as throughput.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

import Lumivex
from batch import input_folder

STACK_FILES = 200
STACK_OVER_LOOP = 1.2
CLUSTER_THROUGHPUT = 0.8  # of the command line's, at least
CONVERT_COPIES = 8  # of each bench picture


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def stack_row(bench, pictures, folder, rounds):
    import dask
    import numpy

    import Lumivex.dask

    source = pictures[0]
    stack_dir = os.path.join(folder, "stack")
    os.makedirs(stack_dir, exist_ok=True)
    small = source.rgb_picture.resize((640, 360))
    small.save(os.path.join(stack_dir, "000.png"))
    for index in range(1, STACK_FILES):
        shutil.copyfile(os.path.join(stack_dir, "000.png"), os.path.join(stack_dir, f"{index:03}.png"))
    paths = sorted(os.path.join(stack_dir, name) for name in os.listdir(stack_dir))

    def loop():
        return numpy.stack([Lumivex.to_numpy(Lumivex.open(path)) for path in paths])

    def lazy():
        with dask.config.set(scheduler="threads", num_workers=2):
            return Lumivex.dask.read_stack(paths).compute()

    ours, theirs = [], []
    for _ in range(rounds):
        ours.append(seconds(lazy))
        theirs.append(seconds(loop))
    bench.add(f"Lumivex.dask.read_stack({STACK_FILES} PNGs 640×360).compute(), 2 threads",
              statistics.median(ours) * 1e3, "loop of open + to_numpy, numpy.stack", statistics.median(theirs) * 1e3,
              statistics.median(a / b for a, b in zip(ours, theirs)), STACK_OVER_LOOP, "<=")


def cluster_row(bench, pictures, folder, rounds):
    from distributed import Client, LocalCluster

    import Lumivex.dask

    inputs = input_folder(pictures, folder, "scale-in", CONVERT_COPIES)
    count = len(os.listdir(inputs))
    command = [sys.executable, "-m", "Lumivex", "convert", inputs, "--out-dir", os.path.join(folder, "scale-cli"),
               "--format", "bmp", "--jobs", "2"]
    cli, cluster_times = [], []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        Lumivex.dask.convert([inputs], os.path.join(folder, "scale-warm"), format="bmp")  # workers import Lumivex
        for _ in range(rounds):
            cli.append(seconds(lambda: subprocess.run(command, check=True, stderr=subprocess.DEVNULL)))
            cluster_times.append(seconds(lambda: Lumivex.dask.convert([inputs], os.path.join(folder, "scale-dask"),
                                                                       format="bmp")))
    # Throughput: files per second, ours over the command line's (higher is better).
    bench.add(f"Lumivex.dask.convert, {count} PNGs to BMP, LocalCluster of 2 processes: throughput",
              count / statistics.median(cluster_times), "lumivex convert --jobs 2", count / statistics.median(cli),
              statistics.median(b / a for a, b in zip(cluster_times, cli)), CLUSTER_THROUGHPUT, ">=", "files/s")


def table_rows(context):
    try:
        import dask  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        print("(Lumivex.dask rows not run: Dask is not installed)", file=sys.stderr)
        return ()
    rounds = max(3, min(context["repeat"], 5))
    stack_row(context["bench"], context["pictures"], context["folder"], rounds)
    cluster_row(context["bench"], context["pictures"], context["folder"], rounds)
    return ()
