"""Lumivex.dask: image stacks as lazy arrays, and the batch conversion as
Dask tasks, on threads and on a cluster of worker processes that loses one."""
import os
import pathlib
import signal
import subprocess
import sys

import numpy
import pytest

import Lumivex
from Lumivex import _batch
from bmpbytes import bmp
from pngbytes import rgb_png
from test_cli import PACKAGE_ROOT

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import Lumivex.dask as lumivex_dask  # noqa: E402  (after the skip: it needs dask)

WIDTH, HEIGHT = 5, 3


def picture(seed):
    return bytes((seed * 37 + i * 11) % 256 for i in range(WIDTH * HEIGHT * 3))


def made_folder(folder, count=6):
    """count PNGs and BMPs of one size, a broken one, another size, and a note."""
    folder.mkdir()
    for index in range(count):
        data = rgb_png(WIDTH, HEIGHT, picture(index)) if index % 2 else bmp(WIDTH, HEIGHT, picture(index))
        (folder / f"{index:02}.{'png' if index % 2 else 'bmp'}").write_bytes(data)
    return folder


def test_read_stack_is_lazy_and_its_chunks_are_the_images(tmp_path):
    folder = made_folder(tmp_path / "in")
    (folder / "07.png").write_bytes(rgb_png(WIDTH, HEIGHT, picture(7))[:40])  # its IHDR whole, its data cut
    stack = lumivex_dask.read_stack(str(folder / "*"))
    assert (stack.shape, stack.dtype, stack.chunks[0]) == ((7, HEIGHT, WIDTH, 3), numpy.uint8, (1,) * 7)
    expected = [Lumivex.to_numpy(Lumivex.open(str(path))) for path in sorted(folder.iterdir())[:6]]
    assert numpy.array_equal(stack[:6].compute(), numpy.stack(expected))
    with pytest.raises(ValueError, match=r"07\.png: "):
        stack[6].compute()
    (folder / "08.bmp").write_bytes(bmp(WIDTH + 1, HEIGHT, bytes((WIDTH + 1) * HEIGHT * 3)))
    other = lumivex_dask.read_stack([str(folder / "00.bmp"), str(folder / "08.bmp")])
    with pytest.raises(ValueError, match=r"08\.bmp: 6 x 3 pixels, where the stack's first file has 5 x 3"):
        other.compute()


def command_line_outputs(tmp_path, folder):
    subprocess.run([sys.executable, "-m", "Lumivex", "convert", str(folder), "--out-dir", str(tmp_path / "cli"),
                    "--format", "png"], env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), capture_output=True)
    return {path.name: path.read_bytes() for path in (tmp_path / "cli").iterdir()}


def check_conversion(tmp_path, folder, results):
    """Each input has one result; the outputs are the command line's; no temporary file is left."""
    out = tmp_path / "out"
    assert [result.source for result in results] == [str(path) for path in sorted(folder.iterdir())
                                                     if path.suffix in (".png", ".bmp")]
    failed = {os.path.basename(result.source): result.error for result in results if not result.ok}
    assert failed == {"broken.png": "Unsupported image format"}
    assert {path.name: path.read_bytes() for path in out.iterdir()} == command_line_outputs(tmp_path, folder)


def test_convert_on_threads_gives_the_command_lines_outputs(tmp_path):
    folder = made_folder(tmp_path / "in")
    (folder / "broken.png").write_bytes(b"not an image")
    check_conversion(tmp_path, folder, lumivex_dask.convert([str(folder)], str(tmp_path / "out")))


class KillOnceWhileWriting(distributed.WorkerPlugin):
    """Kills the worker process writing `name` the first time, with its
    temporary file written in full but not yet in place (`marker` records it)."""

    def __init__(self, name, marker):
        self.name, self.marker = name, marker

    def setup(self, worker):
        replace = _batch.replace_atomically

        def replace_or_die(path, write, *options):
            def write_then_die(temp):
                write(temp)
                if os.path.basename(path) == self.name and not os.path.exists(self.marker):
                    open(self.marker, "w").close()
                    temp.flush()
                    os.kill(os.getpid(), signal.SIGKILL)
            replace(path, write_then_die, *options)

        _batch.replace_atomically = replace_or_die


@pytest.mark.skipif(bool(os.environ.get("LUMIVEX_SANITIZED")), reason="worker processes without the sanitizer")
def test_convert_on_a_cluster_survives_a_lost_worker(tmp_path):
    folder = made_folder(tmp_path / "in", count=8)
    (folder / "broken.png").write_bytes(b"not an image")
    marker = tmp_path / "killed"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        register = getattr(client, "register_plugin", None) or client.register_worker_plugin
        register(KillOnceWhileWriting("03.png", str(marker)))
        results = lumivex_dask.convert(str(folder / "*"), str(tmp_path / "out"))
    assert marker.exists()  # the worker writing 03.png was lost, and the task ran again
    check_conversion(tmp_path, folder, results)


def test_read_stack_as_stored_takes_the_first_files_layout():
    suite = pathlib.Path(__file__).parent / "data" / "pngsuite"
    files = [str(suite / "basn0g16.png"), str(suite / "basn4a16.png")]
    stack = lumivex_dask.read_stack(files[:1] * 2, mode=None, depth=None)
    assert (stack.shape, stack.dtype) == ((2, 32, 32), numpy.uint16)
    assert numpy.array_equal(stack[1].compute(), Lumivex.imread(files[0]))
    with pytest.raises(ValueError, match=r"basn4a16\.png: LA uint16, where the stack's first file is L uint16"):
        lumivex_dask.read_stack(files, mode=None, depth=None).compute()
