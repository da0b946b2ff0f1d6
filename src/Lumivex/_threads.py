"""Converting a batch's jobs on threads, and stopping at once when interrupted."""
from __future__ import annotations

import threading
from collections import deque

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Deque, Optional, Sequence, Tuple

    Results = Deque[Tuple[Optional["Result"], Optional[BaseException]]]

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
    # The results come through a deque and an event, not a queue.Queue: an
    # interrupt is raised wherever the waiting thread stands, and one raised
    # inside Queue.get could leave the queue's lock held by this thread, which
    # then hung reporting the results already in (seen under load on SIGTERM).
    # Appending and popping a deque take no lock that an interrupt can strand.
    results: "Results" = deque()
    arrived = threading.Event()

    def work() -> None:
        while not stop.is_set():
            try:
                job = pending.popleft()
            except IndexError:
                return
            try:
                results.append((convert_file(job, options, stop, temps=temps), None))
            except Interrupted:
                return
            except BaseException as error:  # a bug: raised again in the waiting thread
                results.append((None, error))
            arrived.set()

    count = len(pending)
    for _ in range(max(1, min(threads, count))):
        threading.Thread(target=work, name=WORKER_NAME, daemon=True).start()
    try:
        for _ in range(count):
            result, error = _next(results, arrived)
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


def _report_landed(results: "Results", done: Callable[[Result], None]) -> None:
    """Reports the results already come in, so that an interrupted batch's
    summary counts every output it put in place."""
    while results:
        result, _ = results.popleft()
        if result is not None:
            done(result)


def _next(results: "Results", arrived: threading.Event) -> Tuple[Optional[Result], Optional[BaseException]]:
    # Waits a little at a time, so that a signal's handler runs promptly. A
    # result appended after the deque was found empty sets the event, or is
    # found on the next look, whichever comes first.
    while True:
        try:
            return results.popleft()
        except IndexError:
            arrived.wait(0.2)
            arrived.clear()
