"""Converting many files: which output each input gets, and the conversion of
one file, shared by the command line and the Dask integration.

Every result is a plain tuple of paths, numbers and messages, so that it can
travel between processes; an image never does.
"""
import os
import threading
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Union

from Lumivex._atomic import replace_atomically
from Lumivex._capped import DEFAULT_MAX_PIXELS, open_with_header, read_header
from Lumivex.compact import COLOURS, DEFAULT_LEVEL, encode_png
from Lumivex.rasterCore_ext import SimpleImage

__all__ = ["COLOURS", "FORMATS", "Job", "Options", "Result", "convert_file", "plan", "run_threads"]

#: The formats a batch writes, by name, and the suffixes read from folders.
FORMATS = ("png", "bmp")
READ_SUFFIXES = (".png", ".bmp")


class Options(NamedTuple):
    """How each file is converted."""

    format: str = "png"  # "png" or "bmp"
    level: Union[int, str] = DEFAULT_LEVEL  # the compact PNG writer's level
    exact: bool = False  # PNG as SimpleImage.save writes it, instead of the compact writer
    max_pixels: Optional[int] = DEFAULT_MAX_PIXELS
    colour: str = "auto"  # the compact writer's colour choice: "auto" or "rgb"


class Job(NamedTuple):
    """One file to convert: where from, where to."""

    source: str
    target: str
    make_folder: bool = False  # create the target's folder first (batch outputs)


class Result(NamedTuple):
    """What became of one input: its output, or the error and the path it is about."""

    source: str
    target: Optional[str]
    error: Optional[str] = None
    error_path: Optional[str] = None
    bytes_in: int = 0
    bytes_out: int = 0
    dropped_alpha: bool = False

    @property
    def ok(self) -> bool:
        return self.error is None


class Interrupted(BaseException):
    """Raised in a conversion asked to stop before its output is put in place."""


# Every failure that bad input or a bad path can cause; anything else is a bug.
USER_ERRORS = (OSError, ValueError, TypeError, OverflowError, MemoryError)


def describe(error: BaseException) -> str:
    """An error as one line for a person."""
    if isinstance(error, MemoryError):
        return "not enough memory to decode the image"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def plan(inputs: Sequence[str], out_dir: str, format: str, recursive: bool = False) -> List[Union[Job, Result]]:
    """A job for each file of `inputs` (files, or folders whose .png and .bmp
    files are taken, in sorted order, descending with `recursive` but never
    through a linked folder), each output under `out_dir` at its input's path
    relative to the folder argument it came from (a file argument: its name),
    with the format's suffix; in their place, as failed results, the inputs
    that cannot be converted: a missing input, or a second input whose output
    another already has."""
    planned: List[Union[Job, Result]] = []
    owners: Dict[str, str] = {}
    for argument in inputs:
        if os.path.isdir(argument):
            found = [(os.path.join(argument, relative), relative) for relative in _images_in(argument, recursive)]
        elif os.path.lexists(argument):
            found = [(argument, os.path.basename(argument))]
        else:
            error = FileNotFoundError(2, os.strerror(2), argument)
            planned.append(Result(argument, None, describe(error), argument))
            continue
        for source, relative in found:
            target = os.path.join(out_dir, os.path.splitext(relative)[0] + "." + format)
            key = os.path.normpath(target)
            if key in owners:
                planned.append(Result(source, None, f"its output {target} is already that of {owners[key]}", source))
                continue
            owners[key] = source
            planned.append(Job(source, target, make_folder=True))
    return planned


def _images_in(folder: str, recursive: bool) -> List[str]:
    """Paths relative to `folder` of its files with a .png or .bmp suffix in any case, sorted."""
    found = []
    for root, folders, files in os.walk(folder):  # linked folders are listed, not entered
        relative_root = os.path.relpath(root, folder)
        for name in files:
            if os.path.splitext(name)[1].lower() in READ_SUFFIXES:
                found.append(os.path.normpath(os.path.join(relative_root, name)))
        if not recursive:
            folders.clear()
    return sorted(found)


def _writer(image: SimpleImage, options: Options) -> Callable[[object], object]:
    """What writes `image` into the open temporary file it is given."""
    if options.format == "bmp":
        return lambda temp: image.saveBmp(os.fsdecode(temp.name))  # type: ignore[attr-defined]
    if options.exact:
        return lambda temp: image.save(os.fsdecode(temp.name))  # type: ignore[attr-defined]
    data = encode_png(image, options.level, colour=options.colour)  # type: ignore[arg-type]
    return lambda temp: temp.write(data)  # type: ignore[attr-defined]


def convert_file(job: Job, options: Options, stop: Optional[threading.Event] = None, temp_tag: str = "") -> Result:
    """Reads job.source and writes it to job.target as options say, replacing
    the target atomically (its temporary file's name carrying `temp_tag`).
    Failures come back as a result; with `stop` set before the output is in
    place, its temporary file is removed and Interrupted raised."""
    source, target = job.source, job.target
    try:
        bytes_in = os.path.getsize(source)
        image, header = open_with_header(source, options.max_pixels)
        alpha = _has_alpha(source, header.channels)
    except USER_ERRORS as error:
        return Result(source, None, describe(error), source)
    try:
        if job.make_folder:
            os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        write = _writer(image, options)

        def write_unless_stopped(temp: object) -> None:
            write(temp)
            if stop is not None and stop.is_set():
                raise Interrupted

        replace_atomically(target, write_unless_stopped, temp_tag)
        bytes_out = os.path.getsize(target)
    except USER_ERRORS as error:
        return Result(source, None, describe(error), target)
    return Result(source, target, None, None, bytes_in, bytes_out, alpha)


def _has_alpha(path: str, channels: str) -> bool:
    if channels in ("RGBA", "grey+alpha"):
        return True
    if channels in ("grey", "RGB", "palette") and path.lower().endswith(".png"):
        return False
    try:
        return read_header(path).alpha
    except USER_ERRORS:
        return False


def run_threads(jobs: Iterable[Job], options: Options, threads: int, done: Callable[[Result], None],
                stop: threading.Event) -> None:
    """Converts `jobs` on `threads` threads (the codec releases the GIL),
    calling `done` with each result as it comes. A KeyboardInterrupt sets
    `stop`: the conversions in progress end without their outputs, the rest
    never start, and the interrupt is raised again once all have stopped."""
    from concurrent.futures import ThreadPoolExecutor, as_completed

    pool = ThreadPoolExecutor(max_workers=max(1, threads))
    futures = [pool.submit(convert_file, job, options, stop) for job in jobs]
    try:
        for future in as_completed(futures):
            done(future.result())
    except KeyboardInterrupt:
        stop.set()
        for future in futures:
            future.cancel()
        raise
    finally:
        pool.shutdown(wait=True)
