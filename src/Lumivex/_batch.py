"""Converting files: the options, jobs and results a batch passes around, and
the conversion of one file, shared by the command line and the Dask
integration (which outputs the inputs get: `_plan.py`; threads: `_threads.py`).

Every result is a plain tuple of paths, numbers and messages, so that it can
travel between processes; an image never does.
"""
import builtins
import errno
import os
import stat
import sys
import threading
from typing import BinaryIO, Callable, NamedTuple, Optional, Tuple, Union

from Lumivex._atomic import TEMP_PREFIX, Interrupted, TempFiles, replace_atomically
from Lumivex._capped import DEFAULT_MAX_PIXELS, Header, open_file_with_header, open_with_header, read_header
from Lumivex.compact import COLOURS, DEFAULT_LEVEL, encode_png, write_all
from Lumivex.rasterCore_ext import SimpleImage

__all__ = ["COLOURS", "FORMATS", "Interrupted", "Job", "Options", "Result", "convert_file"]

#: The formats a batch writes, by name, and the suffixes read from folders.
FORMATS = ("png", "bmp")
READ_SUFFIXES = (".png", ".bmp")

#: The path that stands for standard input (as IN) or standard output (as OUT).
STANDARD_STREAM = "-"


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
    regular_only: bool = False  # found in a folder: refuse anything but a regular file
    format: Optional[str] = None  # the output's format, when not the options' (in place)


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


# Every failure that bad input or a bad path can cause; anything else is a bug.
USER_ERRORS = (OSError, ValueError, TypeError, OverflowError, MemoryError)


def describe(error: BaseException) -> str:
    """An error as one line for a person."""
    if isinstance(error, MemoryError):
        return "not enough memory to decode the image"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _writer(image: SimpleImage, format: str, options: Options) -> Callable[[BinaryIO], object]:
    """What writes `image` into the open temporary file it is given."""
    if format == "bmp":
        return lambda temp: image.saveBmp(os.fsdecode(temp.name))
    if options.exact:
        return lambda temp: image.save(os.fsdecode(temp.name))
    data = encode_png(image, options.level, colour=options.colour)  # type: ignore[arg-type]
    return lambda temp: write_all(temp, data)


def convert_file(job: Job, options: Options, stop: Optional[threading.Event] = None, temp_tag: str = "",
                 temps: Optional[TempFiles] = None) -> Result:
    """Reads job.source and writes it to job.target as options say, replacing
    the target atomically (its temporary file's name carrying `temp_tag`,
    made through `temps` when given); "-" as source reads standard input and
    as target writes standard output. Failures come back as a result; with
    `stop` set before the output is in place, its temporary file is removed
    and Interrupted raised."""
    source, target = job.source, job.target
    format = job.format or options.format
    try:
        bytes_in, image, header = _read(source, job.regular_only, options.max_pixels)
        alpha = _has_alpha(source, header.channels)
    except USER_ERRORS as error:
        return Result(source, None, describe(error), source)
    try:
        if target == STANDARD_STREAM:
            bytes_out = _write_standard_output(image, format, options)
            return Result(source, target, None, None, bytes_in, bytes_out, alpha)
        if job.make_folder:
            os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        write = _writer(image, format, options)

        def write_unless_stopped(temp: BinaryIO) -> None:
            write(temp)
            if stop is not None and stop.is_set():
                raise Interrupted

        replace_atomically(target, write_unless_stopped, temp_tag, temps)
        bytes_out = os.path.getsize(target)
    except USER_ERRORS as error:
        return Result(source, None, describe(error), target)
    return Result(source, target, None, None, bytes_in, bytes_out, alpha)


def _read(source: str, regular_only: bool, max_pixels: Optional[int]) -> Tuple[int, SimpleImage, Header]:
    """(bytes read, image, header) of the file at `source`, or of standard input for "-"."""
    if source == STANDARD_STREAM:
        data = sys.stdin.buffer.read()
        return (len(data),) + open_with_header(data, max_pixels)
    # Opened without waiting for a writer, so that a FIFO put where a regular
    # file was found is refused instead of blocking.
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | (os.O_NONBLOCK if regular_only else 0)
    descriptor = os.open(source, flags)
    with builtins.open(descriptor, "rb") as stream:
        info = os.fstat(descriptor)
        if regular_only:
            if not stat.S_ISREG(info.st_mode):
                raise OSError(errno.EINVAL, "not a regular file", source)
            os.set_blocking(descriptor, True)
        return (info.st_size,) + open_file_with_header(stream, max_pixels)


def _write_standard_output(image: SimpleImage, format: str, options: Options) -> int:
    """Writes the output to standard output as it is made (not atomically); its size."""
    if sys.stdout is None:  # started with standard output closed
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    stream = sys.stdout.buffer
    if format == "png" and not options.exact:
        data = encode_png(image, options.level, colour=options.colour)  # type: ignore[arg-type]
    else:  # the module's writers take a path: a private temporary file, then copied
        import tempfile
        with tempfile.TemporaryDirectory(prefix=TEMP_PREFIX) as folder:
            path = os.path.join(folder, "out." + format)
            image.saveBmp(path) if format == "bmp" else image.save(path)
            with builtins.open(path, "rb") as made:
                data = made.read()
    write_all(stream, data)
    stream.flush()
    return len(data)


def _has_alpha(path: str, channels: str) -> bool:
    if channels in ("RGBA", "grey+alpha"):
        return True
    if channels in ("grey", "RGB", "palette") and path.lower().endswith(".png"):
        return False
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False  # a pipe is read once
        return read_header(path).alpha
    except USER_ERRORS:
        return False
