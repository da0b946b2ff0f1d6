"""Lumivex on Dask: folders of PNG and BMP files as one lazy array, and the
batch conversion of the command line as Dask tasks, on one machine's threads
or on a cluster.

    import Lumivex.dask
    stack = Lumivex.dask.read_stack("frames/*.png")      # (n, height, width, 3) uint8, one chunk per file
    masks = Lumivex.dask.read_stack("masks/*.png", mode=None, depth=None)  # as the first file stores them
    results = Lumivex.dask.convert(["shots/"], "converted", format="png")

Needs the `dask` extra (``pip install 'Lumivex[dask]'``). Tasks pass paths,
options and plain results, never a SimpleImage (which cannot be pickled).
"""
from __future__ import annotations

import glob
import os
import uuid
from typing import Any, List, Optional, Sequence, Tuple, Union

import dask
import dask.array
import dask.array.core
import dask.base
import numpy

from Lumivex import _batch
from Lumivex._atomic import leftovers
from Lumivex._batch import Job, Options, Result
from Lumivex._plan import plan
from Lumivex._capped import DEFAULT_MAX_PIXELS, PixelLimitError
from Lumivex._capped import open as _open
from Lumivex._imread import DEPTHS, MODES, _choice, imread
from Lumivex._metadata import read_metadata
from Lumivex.compact import DEFAULT_LEVEL

TYPE_CHECKING = False
if TYPE_CHECKING:
    from Lumivex._imread import Depth, Mode

__all__ = ["Result", "convert", "read_stack"]

# Dask's own annotations are partial; its calls are taken as untyped here.
_dask: Any = dask

Path = Union[str, "os.PathLike[str]"]
#: A glob pattern or one path, or a sequence of paths.
Paths = Union[Path, Sequence[Path]]

#: Each conversion task's key: this, the call's tag, then the input's index.
KEY_PREFIX = "lumivex-convert-"


def _paths(paths: Paths) -> List[str]:
    """A glob pattern's matches, sorted; a path without wildcards as it is; or the paths given."""
    if isinstance(paths, os.PathLike):
        paths = os.fspath(paths)
    if isinstance(paths, str):
        return sorted(glob.glob(paths)) if glob.has_magic(paths) else [paths]
    return [os.fspath(path) for path in paths]


def _load(path: str, shape: Tuple[int, ...], dtype: str, mode: Mode, depth: Depth,
          max_pixels: Optional[int]) -> "numpy.ndarray[Any, Any]":
    """One file's pixels as a block of `shape` and `dtype` with a leading axis
    of 1, or an error naming the file."""
    try:
        if mode == "RGB" and depth == 8:  # Lumivex.open's pixels, as before imread
            image = _open(path, max_pixels)
            pixels = image._pixels
            assert pixels is not None
            array = numpy.frombuffer(pixels, numpy.uint8).reshape(image.height, image.width, 3)
        else:
            array = imread(path, mode, depth=depth, max_pixels=max_pixels)
    except (OSError, ValueError, MemoryError) as error:
        raise ValueError(f"{path}: {_batch.describe(error)}") from error
    if array.shape[:2] != shape[:2]:
        raise ValueError(f"{path}: {array.shape[1]} x {array.shape[0]} pixels, where the stack's first file has "
                         f"{shape[1]} x {shape[0]}")
    if array.shape != shape or str(array.dtype) != dtype:
        raise ValueError(f"{path}: {_layout_name(array.shape, str(array.dtype))}, where the stack's first file is "
                         f"{_layout_name(shape, dtype)}")
    return array[numpy.newaxis]


def _layout_name(shape: Tuple[int, ...], dtype: str) -> str:
    return ("L" if len(shape) == 2 else ("", "", "LA", "RGB", "RGBA")[shape[2]]) + " " + dtype


def _layout(path: str, mode: Mode, depth: Depth) -> Tuple[Tuple[int, ...], str]:
    """The first file's block shape and dtype: its headers checked as
    `Lumivex.open` checks them but nothing decoded (a cap of no pixels stops
    the decoder right after them); what it stores read from its chunks."""
    try:
        image = _open(path, 0)
        width, height = image.width, image.height
    except PixelLimitError as over:
        width, height = over.width, over.height
    except (OSError, ValueError, MemoryError) as error:
        raise ValueError(f"{path}: {_batch.describe(error)}") from error
    stored = read_metadata(path) if mode is None or depth is None else {}
    channels = len(mode or stored.get("mode", "RGB"))
    dtype = {8: "uint8", 16: "uint16"}.get(depth or 0) or stored.get("dtype", "uint8")
    return ((height, width) if channels == 1 else (height, width, channels)), dtype


def read_stack(paths: Paths, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS, mode: Mode = "RGB",
               depth: Depth = 8) -> "dask.array.core.Array":
    """A lazy (n, height, width[, channels]) array of the images at `paths` (a
    list of paths, or a glob pattern whose matches are taken in sorted
    order), one chunk per file, each read as `Lumivex.imread` reads it with
    `mode` and `depth`: by default 8-bit RGB, as `Lumivex.open` gives it;
    with None, as the first file stores it. The shape and dtype come from the
    first file's headers and chunks, checked as `Lumivex.open` checks them (a
    ValueError naming the file) without decoding it; a file of another size,
    layout or depth, or one that fails to open, raises a ValueError naming it
    when its chunk is computed."""
    files = _paths(paths)
    if not files:
        raise ValueError(f"no files to stack: {paths!r}")
    checked = _choice(MODES, mode, "mode"), _choice(DEPTHS, depth, "depth")
    shape, dtype = _layout(files[0], mode, depth)
    name = "lumivex-read-" + _dask.base.tokenize(files, max_pixels, shape, dtype, checked)
    graph = {(name, index) + (0,) * len(shape): (_load, path, shape, dtype, mode, depth, max_pixels)
             for index, path in enumerate(files)}
    chunks = ((1,) * len(files),) + tuple((size,) for size in shape)
    stack: "dask.array.core.Array" = _dask.array.Array(graph, name, chunks, dtype=numpy.dtype(dtype))
    return stack


def _convert(job: Job, options: Options, temp_tag: str) -> Result:
    return _batch.convert_file(job, options, temp_tag=temp_tag)


def convert(paths: Paths, out_dir: Path, format: str = "png", *, level: Union[int, str] = DEFAULT_LEVEL,
            exact: bool = False, max_pixels: Optional[int] = DEFAULT_MAX_PIXELS, recursive: bool = False,
            colour: str = "auto") -> List[Result]:
    """Converts the files at `paths` (files and folders, or a glob pattern) into
    `out_dir` as `lumivex convert ... --out-dir` does: the same outputs, each
    replacing its file atomically, with the same options. Each file is a Dask
    task on the scheduler in use: a `distributed.Client`'s cluster when one is
    active, else the local threads.

    Returns one Result per input file, in order: its output (`target`), or the
    error and the path it is about. A task may run more than once (a worker
    lost and its tasks rerun): the output is the same, and the temporary files
    of writes a lost worker never finished are removed at the end.
    """
    if format not in _batch.FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, _batch.FORMATS))}, not {format!r}")
    if exact and level != DEFAULT_LEVEL:
        raise ValueError("exact=True writes PNG as SimpleImage.save does: it takes no level")
    if exact and colour != "auto":
        raise ValueError("exact=True writes PNG as SimpleImage.save does, in 8-bit RGB: it takes no colour")
    options = Options(format, level, exact, max_pixels, colour)
    planned = plan(_paths(paths), os.fspath(out_dir), format, recursive)
    # Names the temporary files of this call, so that a lost worker's can be found.
    tag = uuid.uuid4().hex[:12] + "-"
    tasks = {index: _dask.delayed(_convert, pure=False)(entry, options, tag, dask_key_name=f"{KEY_PREFIX}{tag}{index}")
             for index, entry in enumerate(planned) if isinstance(entry, Job)}
    try:
        done = dict(zip(tasks, _dask.compute(*tasks.values())))
    finally:
        for folder in {os.path.dirname(entry.target) for entry in planned if isinstance(entry, Job)}:
            for path in leftovers(folder or ".", tag):
                _remove(path)
    return [done[index] if isinstance(entry, Job) else entry for index, entry in enumerate(planned)]


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
