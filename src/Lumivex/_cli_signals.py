"""How the command line ends on a signal: SIGTERM and SIGHUP raise as SIGINT
does, each with its own exit status, and a command whose worker threads are
still in native code ends without finalizing the interpreter."""
from __future__ import annotations

import os
import signal
import sys
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List

__all__ = ["SignalsAsInterrupts", "exit_now"]


class _Terminated(KeyboardInterrupt):
    """A SIGTERM or SIGHUP, handled as Ctrl-C is, with its own exit status."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.status = 128 + number


def _terminate(number: int, frame: object) -> None:
    raise _Terminated(number)


class SignalsAsInterrupts:
    """While the command runs, SIGTERM and SIGHUP raise as SIGINT does (only
    in the command line: the library installs no handler)."""

    def __enter__(self) -> None:
        self.kept: List[Any] = []
        if threading.current_thread() is not threading.main_thread():
            return  # only the main thread may set handlers
        for name in ("SIGTERM", "SIGHUP"):
            number = getattr(signal, name, None)
            if number is not None and signal.getsignal(number) == signal.SIG_DFL:
                self.kept.append((number, signal.signal(number, _terminate)))

    def __exit__(self, *exc: object) -> None:
        for number, handler in self.kept:
            signal.signal(number, handler)


def exit_now(status: int) -> None:
    """Ends the process without finalizing the interpreter: a thread still
    in native code would be stopped there as it took the GIL back, which
    aborts the process on some versions."""
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)
