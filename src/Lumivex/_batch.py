"""Converting many files: which output each input gets, and the conversion of
one file, shared by the command line and the Dask integration.

Every result is a plain tuple of paths, numbers and messages, so that it can
travel between processes; an image never does.
"""
import builtins
import errno
import os
import queue
import stat
import sys
import threading
from collections import deque
from typing import BinaryIO, Callable, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple, Union

from Lumivex._atomic import TEMP_PREFIX, Interrupted, TempFiles, replace_atomically
from Lumivex._capped import DEFAULT_MAX_PIXELS, Header, open_file_with_header, open_with_header, read_header
from Lumivex.compact import COLOURS, DEFAULT_LEVEL, encode_png, write_all
from Lumivex.rasterCore_ext import SimpleImage

__all__ = ["COLOURS", "FORMATS", "Interrupted", "Job", "Options", "PlanError", "Result", "convert_file", "plan",
           "plan_in_place", "run_threads"]

#: The formats a batch writes, by name, and the suffixes read from folders.
FORMATS = ("png", "bmp")
READ_SUFFIXES = (".png", ".bmp")

#: The name of the threads run_threads starts.
WORKER_NAME = "lumivex-convert"

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


class PlanError(ValueError):
    """A batch whose output would replace one of its inputs."""

    def __init__(self, source: str, target: str, replaced: str) -> None:
        super().__init__(f"the output {target} of {source} would replace the input {replaced}")
        self.source = source
        self.target = target
        self.replaced = replaced


# Every failure that bad input or a bad path can cause; anything else is a bug.
USER_ERRORS = (OSError, ValueError, TypeError, OverflowError, MemoryError)


def describe(error: BaseException) -> str:
    """An error as one line for a person."""
    if isinstance(error, MemoryError):
        return "not enough memory to decode the image"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def unknown_suffix(suffix: str) -> str:
    return f"cannot tell the output format from the suffix {suffix or '(none)'!r}: use .bmp or .png"


Identity = Tuple[int, int]  # a file's (device, inode)

# What a folder holds that a batch takes: (path relative to the folder, why it cannot be read or None).
Found = List[Tuple[str, Optional[str]]]


def plan(inputs: Sequence[str], out_dir: str, format: str, recursive: bool = False) -> List[Union[Job, Result]]:
    """A job for each file of `inputs` (files, or folders whose regular .png
    and .bmp files are taken, in sorted order, descending with `recursive` but
    never through a linked folder nor into `out_dir`), each output under
    `out_dir` at its input's path relative to the folder argument it came from
    (a file argument: its name), with the format's suffix; in their place, as
    failed results, the inputs that cannot be converted: a missing input, a
    FIFO, socket or device found in a folder, or a second input whose output
    another already has. Raises PlanError, before anything is written, when
    an output would replace an input."""
    planned: List[Union[Job, Result]] = []
    owners: Dict[str, str] = {}
    skipped = _identity(out_dir)
    for source, relative, problem, in_folder in _inputs(inputs, recursive, skipped):
        if problem is not None:
            planned.append(Result(source, None, problem, source))
            continue
        target = os.path.join(out_dir, os.path.splitext(relative)[0] + "." + format)
        key = os.path.normpath(target)
        if key in owners:
            planned.append(Result(source, None, f"its output {target} is already that of {owners[key]}", source))
            continue
        owners[key] = source
        planned.append(Job(source, target, make_folder=True, regular_only=in_folder))
    _refuse_outputs_over_inputs(planned)
    return planned


def plan_in_place(inputs: Sequence[str], recursive: bool = False) -> List[Union[Job, Result]]:
    """A job for each file `plan` would take from `inputs` that replaces it
    with its own conversion, in the format its suffix names; a linked file's
    target is replaced (the link stays), once however many links lead to it."""
    planned: List[Union[Job, Result]] = []
    seen: Set[Identity] = set()
    for source, _, problem, _ in _inputs(inputs, recursive, None):
        if problem is not None:
            planned.append(Result(source, None, problem, source))
            continue
        identity = _identity(source)
        if identity is not None and identity in seen:
            continue
        if identity is not None:
            seen.add(identity)
        target = os.path.realpath(source) if os.path.islink(source) else source
        suffix = os.path.splitext(source)[1].lower()
        if suffix[1:] not in FORMATS:
            planned.append(Result(source, None, unknown_suffix(suffix), source))
            continue
        # Only a regular file can be replaced by its conversion, a named one too.
        planned.append(Job(source, target, regular_only=True, format=suffix[1:]))
    return planned


def _inputs(inputs: Sequence[str], recursive: bool, skipped: Optional[Identity],
            ) -> List[Tuple[str, str, Optional[str], bool]]:
    """(path, path relative to its argument, why it cannot be read or None,
    whether it was found in a folder) of each input file."""
    found: List[Tuple[str, str, Optional[str], bool]] = []
    for argument in inputs:
        if os.path.isdir(argument):
            found.extend((os.path.join(argument, relative), relative, problem, True)
                         for relative, problem in _images_in(argument, recursive, skipped))
        elif os.path.lexists(argument):
            found.append((argument, os.path.basename(argument), None, False))
        else:
            found.append((argument, argument, describe(FileNotFoundError(2, os.strerror(2), argument)), False))
    return found


def _images_in(folder: str, recursive: bool, skipped: Optional[Identity]) -> Found:
    """The files of `folder` with a .png or .bmp suffix in any case, sorted.
    Linked folders are not entered, nor the folder `skipped` (the batch's
    output folder, which a rerun would otherwise read as input). Only regular
    files (or links to them) are read: opening a FIFO would wait for a writer
    forever."""
    found: Found = []
    pending = [""]
    while pending:
        relative_root = pending.pop()
        try:
            with os.scandir(os.path.join(folder, relative_root)) as entries:
                listed = list(entries)
        except OSError:
            continue  # a folder that cannot be listed holds nothing to read, as os.walk has it
        for entry in listed:
            relative = os.path.normpath(os.path.join(relative_root, entry.name))
            if entry.is_dir(follow_symlinks=False):
                if recursive and _identity(entry.path) != skipped:
                    pending.append(relative)
            elif os.path.splitext(entry.name)[1].lower() in READ_SUFFIXES:
                found.append((relative, _not_regular(entry.path)))
    return sorted(found)


def _identity(path: str) -> Optional[Identity]:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _not_regular(path: str) -> Optional[str]:
    """Why the file at `path` (a link followed) cannot be read as an image file, or None."""
    try:
        info = os.stat(path)
    except OSError as error:
        return describe(error)
    return None if stat.S_ISREG(info.st_mode) else "not a regular file"


def _refuse_outputs_over_inputs(planned: Sequence[Union[Job, Result]]) -> None:
    """Raises PlanError when an output is an input, by identity (so that
    links and case-insensitive file systems count) or by path."""
    inputs: Dict[object, str] = {}
    for entry in planned:
        identity = _identity(entry.source)
        inputs[identity if identity is not None else os.path.abspath(entry.source)] = entry.source
    for entry in planned:
        if isinstance(entry, Job):
            identity = _identity(entry.target)
            replaced = inputs.get(identity if identity is not None else os.path.abspath(entry.target))
            if replaced is not None:
                raise PlanError(entry.source, entry.target, replaced)


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


def run_threads(jobs: Sequence[Job], options: Options, threads: int, done: Callable[[Result], None],
                stop: threading.Event, temps: Optional[TempFiles] = None) -> None:
    """Converts `jobs` on `threads` threads (the codec releases the GIL),
    calling `done` with each result as it comes. An interrupt (any exception
    raised in the waiting thread: KeyboardInterrupt, or a signal handler's)
    sets `stop`, closes `temps` (removing the temporary files of every write
    in progress, whatever it is blocked on) and is raised again at once: the
    threads are daemons, never waited for."""
    pending = deque(jobs)
    results: "queue.Queue[Tuple[Optional[Result], Optional[BaseException]]]" = queue.Queue()

    def work() -> None:
        while not stop.is_set():
            try:
                job = pending.popleft()
            except IndexError:
                return
            try:
                results.put((convert_file(job, options, stop, temps=temps), None))
            except Interrupted:
                return
            except BaseException as error:  # a bug: raised again in the waiting thread
                results.put((None, error))

    count = len(pending)
    for _ in range(max(1, min(threads, count))):
        threading.Thread(target=work, name=WORKER_NAME, daemon=True).start()
    try:
        for _ in range(count):
            result, error = _next(results)
            if error is not None:
                raise error
            assert result is not None
            done(result)
    except BaseException:
        stop.set()
        if temps is not None:
            temps.close()
        _report_landed(results, done)
        raise


def _report_landed(results: "queue.Queue[Tuple[Optional[Result], Optional[BaseException]]]",
                   done: Callable[[Result], None]) -> None:
    """Reports the results already come in, so that an interrupted batch's
    summary counts every output it put in place."""
    while True:
        try:
            result, _ = results.get_nowait()
        except queue.Empty:
            return
        if result is not None:
            done(result)


def _next(results: "queue.Queue[Tuple[Optional[Result], Optional[BaseException]]]",
          ) -> Tuple[Optional[Result], Optional[BaseException]]:
    # Waits a little at a time, so that a signal's handler runs promptly.
    while True:
        try:
            return results.get(timeout=0.2)
        except queue.Empty:
            continue
