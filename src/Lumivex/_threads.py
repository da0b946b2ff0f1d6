"""Converting a batch's jobs on threads, and stopping at once when interrupted."""
from __future__ import annotations

import queue
import threading
from collections import deque

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Optional, Sequence, Tuple

from Lumivex._atomic import Interrupted, TempFiles
from Lumivex._batch import Job, Options, Result, convert_file

__all__ = ["WORKER_NAME", "run_threads"]

#: The name of the threads run_threads starts.
WORKER_NAME = "lumivex-convert"


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
