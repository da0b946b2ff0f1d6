"""What the command line prints, and where: result lines on stdout, error
lines on stderr (lost quietly when stderr fails), file names as the streams
can print them, and a batch conversion's progress and summary."""
from __future__ import annotations

import errno
import importlib
import os
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Optional, TextIO

from Lumivex._batch import Result, describe
from Lumivex._cli_version import PROGRAM as PROGRAM


def shown(name: str, stream: Optional[TextIO]) -> str:
    """`name` as `stream` can print it: the name's bytes in the file system
    decoded in the stream's encoding, each byte that does not decode as \\xNN."""
    try:
        raw = os.fsencode(name)
    except UnicodeEncodeError:  # no file system name: a lone surrogate passed to main()
        raw = name.encode("utf-8", "backslashreplace")
    return raw.decode(getattr(stream, "encoding", None) or "utf-8", "backslashreplace")


def say(line: str) -> None:
    """Prints a line of results on stdout."""
    if sys.stdout is None:  # started with stdout closed (`>&-`): the results have nowhere to go
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    print(line)


def complain(line: str) -> None:
    """Prints an error line on stderr. With stderr closed or failing the line is
    lost, quietly: the exit status still tells."""
    if sys.stderr is None:  # print(file=None) would write it on stdout
        return
    try:
        print(f"{PROGRAM}: {line}", file=sys.stderr, flush=True)
    except OSError:
        silence(sys.stderr)


def silence(stream: Optional[TextIO]) -> None:
    """Points a failed stream's descriptor at /dev/null, so that the
    interpreter's last flush of what it still holds cannot fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    try:
        if stream is not None:
            os.dup2(null, stream.fileno())
    except (OSError, ValueError):
        pass  # no descriptor of its own (a stream set up by a caller of main)
    finally:
        os.close(null)


def report(path: str, error: BaseException) -> None:
    if sys.stdout is not None:
        sys.stdout.flush()  # earlier results first, on a terminal shared by both
    complain(f"{shown(path, sys.stderr)}: {describe(error)}")



class BatchReport:
    """A conversion's reporting: one line per failure, a note on dropped
    alpha, a progress bar on a terminal, the summary at the end."""

    def __init__(self, total: int, progress: bool) -> None:
        self.total = total
        self.converted = self.failed = self.bytes_in = self.bytes_out = self.dropped_alpha = 0
        self.started = time.monotonic()
        self.bar = progress_bar(total) if progress else None
        if progress and self.bar is None and total >= LONG_BATCH and _is_terminal(sys.stderr):
            complain(f"converting {total} files; the summary comes at the end "
                     f"(pip install 'Lumivex[cli]' adds a progress bar)")

    def done(self, result: Result) -> None:
        if result.ok:
            self.converted += 1
            self.bytes_in += result.bytes_in
            self.bytes_out += result.bytes_out
            if result.dropped_alpha:
                self.dropped_alpha += 1
            if self.dropped_alpha == 1 and result.dropped_alpha:
                self.say(f"note: the alpha channel is dropped: outputs are RGB (first in "
                         f"{shown(result.source, sys.stderr)})")
        else:
            self.failed += 1
            self.say(f"{shown(result.error_path or result.source, sys.stderr)}: {result.error}")
        if self.bar is not None:
            self.bar.update(1)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.clear()
        complain(line)
        if self.bar is not None:
            self.bar.refresh()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()

    def summary(self, interrupted: bool = False) -> str:
        counts = f"converted {self.converted}, failed {self.failed}"
        if interrupted:
            left = self.total - self.converted - self.failed
            counts = f"interrupted: {counts}; {left} not converted (stopped, or never started)"
        alpha = ""
        if self.dropped_alpha:
            alpha = (f"; alpha dropped from {self.dropped_alpha} file{'s' if self.dropped_alpha > 1 else ''} "
                     f"(outputs are RGB)")
        return (f"{counts}; {size_text(self.bytes_in)} in, {size_text(self.bytes_out)} out; "
                f"{time.monotonic() - self.started:.2f} s{alpha}")


# A batch of this many files or more may run for a while without a word.
LONG_BATCH = 20


def _is_terminal(stream: Optional[TextIO]) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


def size_text(count: int) -> str:
    """A byte count in decimal units, to three significant figures or so."""
    for unit, size in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if count >= size:
            return f"{count / size:.1f} {unit}"
    return f"{count} bytes"


def progress_bar(total: int) -> Any:
    """tqdm's bar on stderr, which tqdm leaves off when stderr is not a
    terminal; None without tqdm (the `cli` extra)."""
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file", file=sys.stderr, disable=None, leave=False, dynamic_ncols=True)
